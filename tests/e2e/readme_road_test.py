"""Follows the README's road for a key of one's own word for word: the
commands of its sections "First: your package key" and "A CD from your own
package files", taken from README.md itself and run in a scratch HOME with a
key of the test's own; then installs the CD in QEMU as that section says and
boots the installed router to its banner. So the README cannot drift from
what works.

Two commands are stood in for: `./run build` (the tools are built already:
the test checks that vpk is where the README says), and `./run build
--public-key FILE`, which builds the installer of the environment that trusts
FILE, as ./run build does, but into a folder of the test's own (kept between
runs, so that a new key costs a relink), so that build/i386 stays as the
other tests need it."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "image"))

import router  # noqa: E402
from serial_console import Console  # noqa: E402

MEDIA = os.environ.get("E2E_MEDIA", os.path.join(TOP, "build", "host", "e2e"))
SECTIONS = ("### First: your package key", "### A CD from your own package files")
COMMANDS = re.compile(r"^(\./run|export|vpk|image/)")

# The stand-in of ./run (see above); I386 is the folder of its i386 build.
RUN = r"""#!/usr/bin/env bash
set -euo pipefail
[ "$1" = build ] || { echo "the README test's ./run knows only build" >&2; exit 2; }
shift
if (($# == 0)); then
  [ -x "$TOP/build/host/tools/vpk/vpk" ] || { echo "no vpk in build/host: ./run build it first" >&2; exit 1; }
  exit 0
fi
[ "$1" = --public-key ] && (($# == 2)) || { echo "the README test's ./run: unexpected $*" >&2; exit 2; }
key=$(grep -v '^#' "$2" | head -n1)
cmake -S "$TOP" -B "$I386_BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$TOP/cmake/i386-static.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DPACKAGE_PUBLIC_KEY="$key" \
  -DKNOWN_PACKAGE_DIGESTS="$TOP/data/no-known-digests.txt" >/dev/null
cmake --build "$I386_BUILD_DIR" -j "$(nproc)" --target installer cylpart >/dev/null
"""


def readme_commands():
    """The command lines of the sections' code blocks (indented by four
    spaces), in order; other code (a manifest, a synopsis) is not a command."""
    with open(os.path.join(TOP, "README.md")) as f:
        text = f.read()
    commands = []
    for title in SECTIONS:
        body = re.split(r"\n##", text.split("\n" + title + "\n", 1)[1], maxsplit=1)[0]
        for line in body.splitlines():
            # ("[...]" marks a synopsis with optional parts, not a command)
            if line.startswith("    ") and COMMANDS.match(line[4:]) and "[" not in line:
                commands.append(line[4:])
    return commands


class ReadmeRoadTest(unittest.TestCase):
    def test_the_key_section_word_for_word(self):
        commands = readme_commands()
        # the road as the README gives it (a README without it fails here)
        self.assertIn("vpk keygen ~/keys/packages", commands)
        self.assertIn("./run build --public-key ~/keys/packages.pub", commands)
        qemu = [c for c in commands if c.startswith("image/run-qemu --cd ")]
        self.assertEqual(len(qemu), 1, commands)
        before = commands[:commands.index(qemu[0])]
        self.assertTrue(any(c.startswith("image/build-cd ") for c in before), commands)

        scratch = tempfile.mkdtemp(prefix="readme-road-", dir=MEDIA)
        try:
            self.follow(scratch, before, qemu[0])
        finally:
            shutil.rmtree(scratch)

    def follow(self, scratch, commands, qemu):
        home, work = os.path.join(scratch, "home"), os.path.join(scratch, "checkout")
        os.makedirs(home)
        os.makedirs(work)
        # the checkout as the README's reader has it, with ./run stood in for
        for name in ("image", "data", "build", "tests", "cmake"):
            os.symlink(os.path.join(TOP, name), os.path.join(work, name))
        with open(os.path.join(work, "run"), "w") as f:
            f.write(RUN)
        os.chmod(os.path.join(work, "run"), 0o755)
        env = dict(os.environ, HOME=home, TOP=TOP, I386_BUILD_DIR=os.path.join(MEDIA, "readme-road-i386"))
        env.pop("VPK", None)
        script = "set -euo pipefail\n" + "".join(f"echo '+ {c}'\n{c}\n" for c in commands)
        r = subprocess.run(["bash", "-c", script], cwd=work, env=env, capture_output=True, text=True, timeout=1500)
        with open(os.path.join(MEDIA, "readme_road.log"), "w") as f:
            f.write(r.stdout + r.stderr)
        self.assertEqual(r.returncode, 0, (r.stdout + r.stderr)[-3000:])
        self.assertEqual(oct(os.stat(os.path.join(home, "keys")).st_mode & 0o777), "0o700")
        fingerprint = re.search(r"package key: ([0-9a-f]{16}) \(its fingerprint\)", r.stdout).group(1)
        self.assertIn(f"== package key: {fingerprint} (the installer on this medium accepts packages signed "
                      "with this key", r.stderr)

        # "Type serial at the boot: prompt": the installer's menu, two
        # questions, and it installs onto the blank disk it was given.
        with Console(["bash", "-c", f"cd {work} && exec {qemu}"], os.path.join(MEDIA, "readme_road_install.log"),
                     env=env) as con:
            con.expect("boot:", 60)
            con.send("serial panic=-1\r")
            con.expect(re.compile(r"system \(depends on nothing\):"), 180)
            con.send("i")
            con.expect("Do you want to keep old configuration?  [y/n]:", 60)
            con.send("n")
            con.expect("Continue? [y/n]:", 60)
            con.send("y")
            con.expect("Software installed.", 900)
            con.expect("Press ENTER to reboot", 60)
            con.send("\r")
            self.assertEqual(con.wait_exit(60), 0)
        disk = re.search(r"--disk (\S+):", qemu).group(1)
        banner = router.boot(os.path.join(work, disk), os.path.join(MEDIA, "readme_road_boot.log"))
        self.assertEqual(banner.title, "Tarnwick router")
        self.assertEqual(banner["hostname"], "router")


if __name__ == "__main__":
    unittest.main()
