#!/usr/bin/env python3
"""The Debian packages of ./run package: made by CPack from the host build,
checked by lintian, installed offline into a scratch folder (dpkg --root) and
used from there: the tools' --help, router-installer-cd on the sample packages,
the installation server with only the capability its unit grants, and the unit
through systemd-analyze verify."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("BUILD_DIR", os.path.join(TOP, "build", "host"))
UNIT = "lib/systemd/system/castdeploy-server.service"


def read(path):
    with open(path) as f:
        return f.read()


def run(command, **kw):
    return subprocess.run(command, capture_output=True, text=True, timeout=600, **kw)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="package-test-")
        cls.debs = os.path.join(cls.tmp, "debs")
        r = run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.debs])
        assert r.returncode == 0, r.stdout + r.stderr
        cls.files = sorted(glob.glob(os.path.join(cls.debs, "*.deb")))
        cls.root = os.path.join(cls.tmp, "root")
        admin = os.path.join(cls.root, "var", "lib", "dpkg")
        for d in ("info", "updates", "triggers"):
            os.makedirs(os.path.join(admin, d))
        for f in ("status", "available"):
            open(os.path.join(admin, f), "w").close()
        # the scratch folder has none of the libraries the tools need: they are the host's
        r = run(["dpkg", f"--root={cls.root}", "--force-depends", "-i", *cls.files])
        assert r.returncode == 0, r.stdout + r.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def installed(self, path):
        return os.path.join(self.root, path)

    def test_lintian_finds_no_errors(self):
        self.assertEqual([os.path.basename(f) for f in self.files],
                         ["router-installer-media_0.1_amd64.deb", "router-installer-tools_0.1_amd64.deb"])
        r = run(["lintian", "--fail-on", "error", *self.files])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_the_tools_run_and_their_manual_pages_are_their_usage_texts(self):
        for program, page in (("usr/bin/vpk", "usr/share/man/man1/vpk.1.gz"),
                              ("usr/sbin/castdeploy-server", "usr/share/man/man8/castdeploy-server.8.gz"),
                              ("usr/sbin/cylpart", "usr/share/man/man8/cylpart.8.gz"),
                              ("usr/sbin/router-installer-cd", "usr/share/man/man8/router-installer-cd.8.gz")):
            r = run([self.installed(program), "--help"])
            self.assertEqual(r.returncode, 0, program + r.stderr)
            self.assertTrue(r.stdout.startswith("usage: " + os.path.basename(program)), r.stdout)
            shown = run(["man", "-l", self.installed(page)], env=dict(os.environ, MANWIDTH="200", MAN_KEEP_FORMATTING=""))
            self.assertEqual(shown.returncode, 0, shown.stderr)
            # every line of the option help appears in the page
            text = " ".join(shown.stdout.split())
            for line in r.stdout.splitlines()[1:]:
                self.assertIn(" ".join(line.split()), text, program)

    def test_router_installer_cd_builds_the_cd_from_the_sample_packages(self):
        work = os.path.join(self.tmp, "media")
        os.makedirs(work)
        # the downloaded Debian packages of the checkout: no network needed
        os.symlink(os.path.join(TOP, "build", "image-cache"), os.path.join(work, "image-cache"))
        env = dict(os.environ, IMAGE_BUILD_DIR=work, VPK=self.installed("usr/bin/vpk"))
        env.pop("I386_BUILD_DIR", None)
        samples = os.path.join(self.tmp, "samples")
        r = run([os.path.join(TOP, "image", "samples", "build"), samples], env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        packages = sorted(glob.glob(os.path.join(samples, "*.vpk")))
        iso = os.path.join(self.tmp, "installer.iso")
        r = run([self.installed("usr/sbin/router-installer-cd"), *packages, "-o", iso, "--development-key"], env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        listing = run(["xorriso", "-indev", iso, "-find", "/", "-type", "f"])
        files = sorted(line.strip("'") for line in listing.stdout.split())
        self.assertEqual(files, sorted(["/boot/initrd.gz", "/boot/vmlinuz",
                                        "/isolinux/boot.msg", "/isolinux/isolinux.bin", "/isolinux/isolinux.cfg",
                                        "/isolinux/ldlinux.c32"] + ["/" + os.path.basename(p) for p in packages]))
        # the environment was built from the installed i386 programs, in IMAGE_BUILD_DIR
        initrd = os.path.join(work, "image-env", "base.cpio.gz")
        self.assertTrue(os.path.getsize(initrd) > 1000000)
        inputs = read(os.path.join(work, "image-env", "base.tools")).split()
        self.assertIn("sfdisk", inputs)

    def test_the_unit_is_valid_and_its_one_capability_suffices(self):
        # the scratch folder gets the host's own units, which the service's defaults name
        os.makedirs(self.installed("usr/lib/systemd"), exist_ok=True)
        if not os.path.exists(self.installed("usr/lib/systemd/system")):
            shutil.copytree("/lib/systemd/system", self.installed("usr/lib/systemd/system"), symlinks=True)
        r = run(["systemd-analyze", "verify", "--man=no", f"--root={self.root}", "castdeploy-server.service"])
        self.assertEqual((r.returncode, r.stderr), (0, ""))

        unit = read(self.installed(UNIT))
        self.assertIn("CapabilityBoundingSet=CAP_NET_RAW\n", unit)
        self.assertIn("AmbientCapabilities=CAP_NET_RAW\n", unit)
        # As the unit runs it: an unprivileged user with CAP_NET_RAW alone, here
        # in a network namespace of its own on one end of a veth pair.
        drivers = os.path.join(self.tmp, "drivers.vpk")
        with open(drivers, "w") as f:
            f.write("stand-in\n")
        os.chmod(drivers, 0o644)
        os.chmod(self.tmp, 0o755)
        script = ("ip link add lan0 type veth peer name lan1 && ip link set lan0 up && ip link set lan1 up && "
                  "exec setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all,+net_raw "
                  "--ambient-caps=-all,+net_raw --bounding-set=-all,+net_raw "
                  f"timeout -s INT --preserve-status 2 {self.installed('usr/sbin/castdeploy-server')} --interface lan0 --drivers {drivers}")
        r = run(["unshare", "--net", "sh", "-c", script])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("serving 0 files on lan0", r.stdout)
        self.assertIn("done: 0 installations completed", r.stdout)


if __name__ == "__main__":
    unittest.main()
