"""The package key of the media: every builder says which key the medium's
installer trusts, refuses the development key unless asked for it, and checks
every package it would put on the medium with that key before it writes
anything. Uses the media of the e2e_media fixture: build/i386 (development
key) and own-key/ (a key of the test's own, an i386 build that trusts it, and
the samples signed with it); no QEMU."""

import glob
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
MEDIA = os.environ.get("E2E_MEDIA", os.path.join(TOP, "build", "host", "e2e"))
BUILD = os.environ.get("BUILD_DIR", os.path.join(TOP, "build", "host"))
OWN = os.path.join(MEDIA, "own-key")
SAMPLES = os.path.join(os.path.dirname(BUILD), "samples")


def fingerprint(public_key_file):
    with open(public_key_file) as f:
        hex_key = next(line.strip() for line in f if line.strip() and not line.startswith("#"))
    return hashlib.sha256(bytes.fromhex(hex_key)).hexdigest()[:16]


DEVELOPMENT_KEY = fingerprint(os.path.join(TOP, "data", "package-public-key.hex"))


class MediaKeyTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="media-key-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def build(self, builder, *args, own=False):
        out = os.path.join(self.dir, "medium")
        env = dict(os.environ)
        env.pop("I386_BUILD_DIR", None)
        if own:
            env["I386_BUILD_DIR"] = os.path.join(OWN, "i386")
        r = subprocess.run([os.path.join(TOP, "image", builder), *args, "-o", out], env=env,
                           capture_output=True, text=True, timeout=300)
        return r, out

    def tampered(self, name):
        path = os.path.join(self.dir, name)
        shutil.copy(os.path.join(OWN, "packages", name), path)
        with open(path, "r+b") as f:
            f.seek(20)  # inside the Header part: covered by the signed digest
            byte = f.read(1)
            f.seek(20)
            f.write(bytes([byte[0] ^ 1]))
        return path

    def test_builders_refuse_what_the_installer_would_refuse(self):
        development = [r"refusing to build: the installer in \S+/build/i386 trusts\nthe development key",
                       r"./run build --public-key", r"--development-key builds this medium anyway"]
        dev_signed = os.path.join(SAMPLES, "system.vpk")
        script = os.path.join(self.dir, "site.scr")
        with open(script, "w") as f:
            f.write("set hostname r1\n")
        cases = [
            # builder, arguments, with the own key's environment, what the refusal says
            ("build-cd", [dev_signed], False, development),
            ("build-hdd-medium", ["--size", "64M"], False, development),
            ("build-netboot", [], False, development),
            ("build-cd", [os.path.join(OWN, "packages", "ppp.vpk"), dev_signed], True,
             [re.escape(f"on this medium (package key {fingerprint(OWN + '/signing-key.pub')}) would refuse:"),
              r"\n  \S+/system\.vpk: system: FAILED: signature does not match the public key"]),
            ("build-hdd-medium", [self.tampered("ppp.vpk")], True,
             [r"\n  \S+/ppp\.vpk: ppp: FAILED: package changed after signing"]),
            ("build-cd", [os.path.join(SAMPLES, "manuals.vpk")], True,
             [r"manuals\.vpk: manuals: FAILED: unsigned, and its digest is not a known one"]),
            # --development-key permits a development environment; it does not
            # make one that trusts another key accept the development key's packages
            ("build-cd", [dev_signed, "--development-key"], True, [r"system: FAILED: signature does not match"]),
            ("build-netboot", ["--development-key"], True, [r"\n  drivers\.vpk: disk-drivers: FAILED: signature does not"]),
            ("build-netboot", [], True, [r"--key PRIVATE-KEY-FILE is needed to sign the driver package"]),
            # an installer with a key of its own places only signed configuration scripts
            ("build-hdd-medium", ["--autorun", script], True,
             [r"places only\nconfiguration scripts signed with that key, and would refuse:\n  \S+/site\.scr: "
              r"FAILED: no signature"]),
            # webadmin needs httpd, and nothing on this medium provides it
            ("build-cd", [os.path.join(OWN, "packages", p + ".vpk") for p in ("system", "firewall", "webadmin")],
             True, [r"refusing to build: these packages can never be installed from this medium:\n"
                    r"  \S+/webadmin\.vpk: webadmin-2\.0: can never be installed from these files: it needs httpd,",
                    r"give --allow-uninstallable to build the medium anyway"]),
        ]
        for builder, args, own, expected in cases:
            with self.subTest(builder=builder, args=[os.path.basename(a) for a in args], own=own):
                r, out = self.build(builder, *args, own=own)
                self.assertEqual(r.returncode, 1, r.stderr)
                for pattern in expected:
                    self.assertRegex(r.stderr, pattern)
                self.assertFalse(os.path.exists(out), "nothing is written")
                self.assertEqual(r.stdout, "")

    def test_the_cd_trusts_the_users_key(self):
        # The fixture built the CD that the CD tests install from with the
        # own key's environment and packages signed with that key.
        own = fingerprint(os.path.join(OWN, "signing-key.pub"))
        self.assertNotEqual(own, DEVELOPMENT_KEY)
        with open(os.path.join(OWN, "keygen.txt")) as f:
            self.assertIn(f"package key: {own} (its fingerprint)", f.read())
        with open(os.path.join(OWN, "build-cd.log")) as f:
            log = f.read()
        self.assertIn(f"== package key: {own} (the installer on this medium accepts packages signed with this key",
                      log)
        self.assertRegex(log, r"== checked \d+ package file\(s\): the installer accepts every package in them")
        self.assertNotIn(DEVELOPMENT_KEY, log)
        # The development key's medium says what it is.
        r, out = self.build("build-cd", os.path.join(SAMPLES, "system.vpk"), "--development-key")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(f"== package key: {DEVELOPMENT_KEY}: the development key", r.stderr)
        self.assertIn("never install a real machine from this medium", r.stderr)
        self.assertTrue(os.path.exists(out))

    def test_an_uninstallable_package_goes_on_only_when_asked(self):
        packages = [os.path.join(OWN, "packages", p + ".vpk") for p in ("system", "firewall", "webadmin")]
        r, out = self.build("build-hdd-medium", *packages, "--size", "64M", "--allow-uninstallable", own=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stderr, r"built anyway as --allow-uninstallable asks; the installer will refuse:\n"
                                   r"  \S+/webadmin\.vpk: webadmin-2\.0: can never be installed")
        self.assertTrue(os.path.exists(out))

    def test_vpk_verify_judges_as_the_builders_and_the_server(self):
        # The same packages, judged by vpk verify with the key (and no table),
        # by the builders' check against the environment built with that key,
        # and by the installation server given that key.
        own_key = os.path.join(OWN, "signing-key.pub")
        packages = {
            os.path.join(OWN, "packages", "ppp.vpk"): True,
            os.path.join(SAMPLES, "system.vpk"): False,      # the development key's signature
            os.path.join(SAMPLES, "manuals.vpk"): False,     # unsigned, in the development table only
            self.tampered("dhcp.vpk"): False,
        }
        vpk = os.path.join(BUILD, "tools", "vpk", "vpk")
        server = os.path.join(BUILD, "tools", "server", "castdeploy-server")
        check = '. "$1/image/common.sh"; shift; medium_trust "$1" >/dev/null; shift; check_packages "$@"'
        trusts = [
            # vpk verify's options, the environment, the builders' permission, the server's options
            (["--public-key", own_key], os.path.join(OWN, "i386"), "0", ["--public-key", own_key]),
            ([], os.path.join(os.path.dirname(BUILD), "i386"), "1", None),
        ]
        for verify_args, environment, development, server_args in trusts:
            for package, accepted_with_own_key in packages.items():
                with self.subTest(package=os.path.basename(package), environment=environment):
                    v = subprocess.run([vpk, "verify", *verify_args, package], capture_output=True, text=True)
                    b = subprocess.run(["bash", "-c", check, "check", TOP, development, package],
                                       env=dict(os.environ, I386_BUILD_DIR=environment),
                                       capture_output=True, text=True, timeout=60)
                    self.assertEqual(v.returncode == 0, b.returncode == 0, v.stdout + b.stderr)
                    if server_args:
                        self.assertEqual(v.returncode == 0, accepted_with_own_key, v.stdout)
                        s = subprocess.run([server, "--interface", "none-such0", "--drivers", package, *server_args],
                                           capture_output=True, text=True, timeout=60)
                        self.assertEqual("not starting" not in s.stderr, accepted_with_own_key, s.stderr)
                        self.assertIn(f"trust: package key {fingerprint(own_key)}, from --public-key", v.stdout)
                        self.assertIn("known digests: none", v.stdout)

    def test_inspect_medium_shows_what_a_medium_holds(self):
        inspect = os.path.join(TOP, "image", "inspect-medium")
        own = fingerprint(os.path.join(OWN, "signing-key.pub"))
        folder = os.path.join(self.dir, "net")
        shutil.copytree(os.path.join(MEDIA, "net"), folder)
        shutil.copy(os.path.join(SAMPLES, "webadmin.vpk"), folder)
        cases = [
            # medium, exit status, what it says
            (os.path.join(MEDIA, "installer.iso"), 0,
             ["(CD image)\nenvironment: boot/initrd.gz, for the cdrom installation\n  installer: sha256 ",
              f"\npackage key: {own}\nknown digests: 0 (", "\npackage files: 10\n",
              "\n  system.vpk: system-1.0: installable from this medium\n    system: ok: signature good [sha1 ",
              "\n  pptp.vpk: pptp-0.9: installable from this medium (never together with vpn-1.1)\n"]),
            (os.path.join(MEDIA, "hdd-medium.img"), 0,
             ["(hard-disk medium image (FAT))\nenvironment: initrd.gz, for the hdd installation\n",
              f"\npackage key: {DEVELOPMENT_KEY} (the development key", "\nknown digests: 1 (",
              "\npackage files: 0\n"]),
            (folder, 1,
             ["(folder)\nenvironment: initrd-net.gz, for the net installation\n", "\npackage files: 2\n",
              "\n  drivers.vpk: disk-drivers-1.0: installable from this medium\n",
              "\n  webadmin.vpk: webadmin-2.0: can never be installed from these files: it needs system >= 1.0,"]),
        ]
        for medium, status, expected in cases:
            with self.subTest(medium=os.path.basename(medium)):
                r = subprocess.run([inspect, medium], capture_output=True, text=True, timeout=120)
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                for text in expected:
                    self.assertIn(text, r.stdout)
        r = subprocess.run([inspect, os.path.join(self.dir, "none.iso")], capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stderr), (2, f"inspect-medium: no such file or folder: {self.dir}/none.iso\n"))

    def test_the_key_comes_from_the_installer_itself(self):
        # A digest table beside the build that is not the one built in is refused.
        build = os.path.join(self.dir, "i386")
        os.makedirs(os.path.join(build, "src"))
        shutil.copy(os.path.join(OWN, "i386", "src", "installer"), os.path.join(build, "src"))
        shutil.copytree(os.path.join(OWN, "i386", "data", "package-trust"),
                        os.path.join(build, "data", "package-trust"))
        with open(os.path.join(build, "data", "package-trust", "known-digests.txt"), "a") as f:
            f.write("0123456789012345678901234567890123456789\n")
        env = dict(os.environ, I386_BUILD_DIR=build)
        r = subprocess.run([os.path.join(TOP, "image", "build-cd"), os.path.join(SAMPLES, "manuals.vpk"),
                            "-o", os.path.join(self.dir, "x.iso")],
                           env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertIn("is not the digest table built into", r.stderr)


if __name__ == "__main__":
    unittest.main()
