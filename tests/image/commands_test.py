#!/usr/bin/env python3
"""Every command an administrator meets (./run, image/, the tools and vpk's
subcommands): --help prints the usage on standard output and exits 0; a wrong
argument or a missing file is said on standard error, naming it, with a
non-zero status and nothing on standard output. Nothing here builds, boots or
needs root: each case ends at the argument check."""

import os
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("BUILD_DIR", os.path.join(TOP, "build", "host"))
IMAGE = os.path.join(TOP, "image")
VPK = os.path.join(BUILD, "tools", "vpk", "vpk")
SERVER = os.path.join(BUILD, "tools", "server", "castdeploy-server")
CYLPART = os.path.join(BUILD, "tools", "cylpart", "cylpart")
MISSING = "/nonexistent/missing"


def image(name):
    return os.path.join(IMAGE, name)


# command, what its --help must show
HELP = [
    ([os.path.join(TOP, "run")], "./run package"),
    ([os.path.join(TOP, "run"), "build"], "build it with the development key."),
    ([image("fetch")], "image/fetch [--refresh]"),
    ([image("build-env")], "image/build-env [--medium"),
    ([image("build-cd")], "image/build-cd PACKAGE-FILE... -o"),
    ([image("build-hdd-medium")], "image/build-hdd-medium [PACKAGE-FILE...] -o disk.img"),
    ([image("build-netboot")], "image/build-netboot -o DIR"),
    ([image("run-qemu")], "--cd ISO"),
    ([image("check-disk")], "image/check-disk DISK.img"),
    ([image("demo")], "./run demo --interactive"),
    ([image("samples/build")], "image/samples/build [OUT-DIR]"),
    ([sys.executable, image("serial_console.py")], "--expect TEXT"),
    ([VPK], "usage: vpk COMMAND"),
    ([SERVER], "usage: castdeploy-server --interface IF"),
    ([CYLPART], "usage: cylpart -g"),
] + [([VPK, command], f"usage: vpk {command}")
     for command in ("build", "bundle", "info", "install", "list", "keygen", "sign", "verify", "help")]

# command and arguments, what standard error must say
WRONG = [
    ([os.path.join(TOP, "run"), "bogus"], "./run: unknown command bogus"),
    ([os.path.join(TOP, "run"), "build", "--bogus"], "./run build: unknown option --bogus"),
    ([image("fetch"), "--bogus"], "fetch: unknown argument: --bogus"),
    ([image("build-env"), "--bogus"], "build-env: unknown argument: --bogus"),
    ([image("build-cd"), "--bogus", "-o", "x.iso"], "build-cd: unknown option --bogus"),
    ([image("build-cd"), MISSING, "-o", "x.iso"], f"no such package file: {MISSING}"),
    ([image("build-cd"), "-o", "x.iso"], "build-cd: no package files given"),
    ([image("build-cd"), "p.vpk"], "build-cd: no -o OUT.iso given"),
    ([image("build-cd"), "p.vpk", "-o", "x.iso", "--default", "vt100"], "--default is vga or serial"),
    ([image("build-hdd-medium"), "--bogus"], "build-hdd-medium: unknown option --bogus"),
    ([image("build-hdd-medium"), "-o", "d.img", "--mbr", MISSING], f"no such file: {MISSING}"),
    ([image("build-netboot"), "--bogus"], "build-netboot: unknown argument --bogus"),
    ([image("build-netboot"), "-o", "net", "--key", MISSING], f"no such key file: {MISSING}"),
    ([image("run-qemu"), "--bogus"], "run-qemu: unknown argument --bogus"),
    ([image("run-qemu"), "--cd", MISSING], f"run-qemu: no such file: {MISSING}"),
    ([image("run-qemu"), "--kernel", MISSING], f"run-qemu: no such file: {MISSING}"),
    ([image("check-disk")], "check-disk: give one disk image"),
    ([image("check-disk"), "--bogus"], "check-disk: unknown option --bogus"),
    ([image("check-disk"), MISSING], f"check-disk: cannot read {MISSING}: No such file or directory"),
    ([image("demo"), "--bogus"], "demo: unknown argument --bogus"),
] + [([image(script), option], f"{script}: {option} needs a value")
     for script, option in (("build-env", "--medium"), ("build-cd", "-o"), ("build-hdd-medium", "--autorun"),
                            ("build-netboot", "--label"), ("run-qemu", "--disk"), ("run-qemu", "--memory"))] + [
    ([image("samples/build"), "--bogus"], "samples/build: unknown option --bogus"),
    ([sys.executable, image("serial_console.py"), "--expect", "x"], "serial_console: no \"-- COMMAND\""),
    ([VPK], "usage: vpk COMMAND"),
    ([VPK, "bogus"], "vpk: unknown command \"bogus\""),
    ([VPK, "help", "bogus"], "vpk help: unknown command \"bogus\""),
    ([VPK, "info", MISSING], f"vpk: cannot open {MISSING}"),
    ([VPK, "verify", MISSING], f"vpk: cannot read {MISSING}"),
    ([VPK, "verify", "--known-digests", MISSING, "p.vpk"], MISSING),
    ([VPK, "sign", "--key", MISSING, "p.vpk"], f"vpk: cannot read {MISSING}"),
    ([VPK, "build", "-o", "p.vpk", MISSING], f"cannot read {MISSING}"),
    ([VPK, "list", "--root", MISSING], MISSING),
    ([SERVER, "--bogus"], "castdeploy-server: unknown option --bogus"),
    ([SERVER, "--interface", "lo", "--drivers", MISSING], f"castdeploy-server: cannot read {MISSING}"),
    ([CYLPART, "-x"], "cylpart: unknown option -x"),
    ([CYLPART, "-d", "-uC", MISSING], f"cylpart: {MISSING}: No such file or directory"),
] + [([VPK, command, "--bogus"], f"vpk {command}: unknown option --bogus")
     for command in ("build", "bundle", "info", "keygen", "sign", "verify")]


def run(command, cwd, env=None):
    return subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60)


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="commands-test-")

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.dir])

    def test_help_is_usage_on_standard_output(self):
        for command, shows in HELP:
            for option in ("--help", "-h"):
                with self.subTest(command=command[1:] if command[0] == sys.executable else command, option=option):
                    r = run(command + [option], self.dir)
                    self.assertEqual((r.returncode, r.stderr), (0, ""), r.stdout)
                    self.assertIn(shows, r.stdout)

    def test_a_wrong_argument_is_said_and_fails(self):
        for command, says in WRONG:
            with self.subTest(command=command):
                r = run(command, self.dir)
                self.assertNotEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertIn(says, r.stderr)
                self.assertEqual(r.stdout, "")
                # a refusal leaves nothing behind
                self.assertEqual(os.listdir(self.dir), [])

    def test_run_qemu_says_which_accelerator_and_why(self):
        # A stand-in for QEMU that shows its arguments; the machine's processor
        # flags and /dev/kvm are files of the test's own.
        fake = os.path.join(self.dir, "bin")
        os.makedirs(fake)
        with open(os.path.join(fake, "qemu-system-i386"), "w") as f:
            f.write("#!/bin/sh\necho \"$@\"\n")
        os.chmod(os.path.join(fake, "qemu-system-i386"), 0o755)
        device, plain, vmx = (os.path.join(self.dir, n) for n in ("kvm", "cpuinfo-plain", "cpuinfo-vmx"))
        for path, text in ((device, ""), (plain, "flags\t\t: fpu sse2\n"), (vmx, "flags\t\t: fpu vmx sse2\n")):
            with open(path, "w") as f:
                f.write(text)
        cases = [
            (vmx, device, "kvm", f"run-qemu: using KVM ({device})"),
            (plain, device, "tcg", "run-qemu: using TCG, QEMU's emulation of the processor (slower): "
                                   "the processor has no virtualization extensions"),
            (vmx, MISSING, "tcg", f"run-qemu: using TCG, QEMU's emulation of the processor (slower): "
                                  f"there is no {MISSING}"),
        ]
        for cpuinfo, kvm, accel, says in cases:
            with self.subTest(cpuinfo=os.path.basename(cpuinfo), kvm=kvm):
                env = dict(os.environ, PATH=fake + ":" + os.environ["PATH"], RUN_QEMU_CPUINFO=cpuinfo,
                           RUN_QEMU_KVM=kvm)
                r = run([image("run-qemu"), "--memory", "64"], self.dir, env)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertTrue(r.stderr.startswith(says), r.stderr)
                self.assertIn(f"-accel {accel} ", r.stdout)
                self.assertNotIn("-accel " + ("tcg" if accel == "kvm" else "kvm"), r.stdout)
        self.assertFalse(os.path.exists(MISSING))


if __name__ == "__main__":
    unittest.main()
