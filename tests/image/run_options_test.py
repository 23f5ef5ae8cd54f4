"""./run build's key options: a key file or digest table that is missing or
holds something else ends the command with status 2 and a line that names the
file and shows what it held, before anything is built. Runs a copy of ./run
with stand-ins for dpkg-query, apt-get and cmake (which records its
arguments), so nothing is installed or built."""

import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
KEY = "4f" * 32


class RunBuildOptionsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="run-options-")
        self.checkout = os.path.join(self.dir, "checkout")
        os.makedirs(os.path.join(self.checkout, "data"))
        shutil.copy(os.path.join(TOP, "run"), self.checkout)
        for name in ("package-public-key.hex", "known-package-digests.txt", "no-known-digests.txt"):
            shutil.copy(os.path.join(TOP, "data", name), os.path.join(self.checkout, "data"))
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        self.cmake_log = os.path.join(self.dir, "cmake.log")
        stubs = {"dpkg-query": "printf 'install ok installed'", "apt-get": "exit 0",
                 "cmake": f'echo "$*" >> {self.cmake_log}'}
        for name, body in stubs.items():
            path = os.path.join(self.bin, name)
            with open(path, "w") as f:
                f.write(f"#!/bin/sh\n{body}\n")
            os.chmod(path, 0o755)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def run_build(self, *args):
        env = dict(os.environ, PATH=self.bin + ":" + os.environ["PATH"])
        return subprocess.run([os.path.join(self.checkout, "run"), "build", *args], cwd=self.dir, env=env,
                              capture_output=True, text=True, timeout=60)

    def test_bad_key_options_end_the_command_before_the_build(self):
        self.write("good.pub", f"{KEY}\n")
        self.write("private", "# vpk signing key: private, keep it secret\n" + "1a" * 32 + "\n")
        self.write("garbage.pub", "hello world, no key here\nsecond line\n")
        self.write("short.pub", "# a comment\n\n" + "ab" * 20 + "\n")
        self.write("empty.pub", "")
        self.write("digests.txt", "# fine\n" + "0" * 40 + "  # a package\n\nnot a digest\n")
        cases = [
            (["--public-key", "missing.pub"], "--public-key missing.pub: no such file"),
            (["--public-key", "good.pub", "--known-digests", "missing.txt"], "--known-digests missing.txt: no such file"),
            (["--public-key", "."], "--public-key .: not a readable file"),
            (["--public-key", "private"], "private is a private key: give the public one (private.pub)"),
            (["--public-key", "garbage.pub"],
             "--public-key garbage.pub holds no public key (a line of 64 hex digits, as vpk keygen's FILE.pub); "
             "it holds:\n    | hello world, no key here\n    | second line\n"),
            (["--public-key", "short.pub"], "it holds:\n    | # a comment\n    | \n    | " + "ab" * 20 + "\n"),
            (["--public-key", "empty.pub"], "it holds:\n    (nothing: the file is empty)"),
            (["--public-key", "good.pub", "--known-digests", "digests.txt"],
             "--known-digests digests.txt: line 4 is not a digest (40 hex digits, '#' comments); "
             "it holds:\n    | not a digest\n"),
            (["--development-key", "--public-key", "good.pub"], "--development-key goes alone"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                r = self.run_build(*args)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn(expected, r.stderr)
                self.assertNotIn("==", r.stdout, "nothing was built")
                self.assertFalse(os.path.exists(self.cmake_log), "cmake never ran")

    def test_good_options_reach_the_i386_build(self):
        self.write("good.pub", f"# my key\n  {KEY}  \n")
        table = self.write("digests.txt", "0" * 40 + "\n")
        self.run_build("--public-key", "good.pub", "--known-digests", "digests.txt")
        with open(self.cmake_log) as f:
            configures = [line for line in f if "i386-static.cmake" in line]
        self.assertEqual(len(configures), 1)
        self.assertIn(f"-DPACKAGE_PUBLIC_KEY={KEY} -DKNOWN_PACKAGE_DIGESTS={table}", configures[0])

if __name__ == "__main__":
    unittest.main()
