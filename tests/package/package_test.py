#!/usr/bin/env python3
"""The Debian packages of ./run package: made by CPack from the host build,
checked by lintian, installed offline into a scratch folder (dpkg --root) and
used from there: the tools' and the media commands' --help and manual pages,
the maintainer scripts (run by dpkg in the scratch folder, with stand-ins for
systemd's helpers that note each call), router-installer-cd on the sample
packages, the key the media package trusts, the installation server with only
the capability its unit grants, and the unit through systemd-analyze verify."""

import glob
import gzip
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("BUILD_DIR", os.path.join(TOP, "build", "host"))
UNIT = "lib/systemd/system/castdeploy-server.service"
BUSYBOX = os.path.join(TOP, "build", "image-cache", "root", "busybox", "bin", "busybox")
TOOLS = ["usr/bin/vpk", "usr/sbin/castdeploy-server", "usr/sbin/cylpart"]
MEDIA = ["usr/sbin/router-installer-" + n for n in ("cd", "hdd", "netboot", "qemu", "check-disk")]
# What systemd's helpers are asked, one line per call (see scratch_root).
HELPER = """#!/bin/sh
echo "${0##*/} $*" >> /var/log/systemd-calls
case "$*" in *was-enabled*) [ ! -e /etc/disabled-by-the-administrator ] ;; esac
"""


def read(path):
    with open(path) as f:
        return f.read()


def run(command, **kw):
    return subprocess.run(command, capture_output=True, text=True, timeout=600, **kw)


def scratch_root(root, systemd=True):
    """An empty dpkg installation at root, with what its maintainer scripts need
    when dpkg runs them there: a shell (busybox, as the environment's), and
    stand-ins for systemctl, deb-systemd-helper and deb-systemd-invoke; with
    systemd, /run/systemd/system says that systemd runs."""
    admin = os.path.join(root, "var", "lib", "dpkg")
    for d in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(admin, d))
    for f in ("status", "available"):
        open(os.path.join(admin, f), "w").close()
    for d in ("bin", "usr/bin", "dev", "etc", "var/log", "tmp"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy(BUSYBOX, os.path.join(root, "bin", "busybox"))
    for applet in ("sh", "rm"):
        os.symlink("busybox", os.path.join(root, "bin", applet))
    for helper in ("systemctl", "deb-systemd-helper", "deb-systemd-invoke"):
        path = os.path.join(root, "usr", "bin", helper)
        with open(path, "w") as f:
            f.write(HELPER)
        os.chmod(path, 0o755)
    if systemd:
        os.makedirs(os.path.join(root, "run", "systemd", "system"))


def manual_page(path):
    with gzip.open(path, "rt") as f:
        return f.read()


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="package-test-")
        cls.debs = os.path.join(cls.tmp, "debs")
        r = run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.debs])
        assert r.returncode == 0, r.stdout + r.stderr
        cls.files = sorted(glob.glob(os.path.join(cls.debs, "*.deb")))
        cls.root = os.path.join(cls.tmp, "root")
        scratch_root(cls.root)
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
        r = run(["lintian", "--fail-on", "error,warning", *self.files])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def page_of(self, program):
        section = "1" if program.startswith("usr/bin/") else "8"
        return self.installed(f"usr/share/man/man{section}/{os.path.basename(program)}.{section}.gz")

    def test_the_tools_run_and_their_manual_pages_are_their_usage_texts(self):
        for program in TOOLS + MEDIA:
            page = self.page_of(program)
            r = run([self.installed(program), "--help"])
            self.assertEqual(r.returncode, 0, program + r.stderr)
            self.assertTrue(r.stdout.startswith("usage: " + os.path.basename(program)), r.stdout)
            shown = run(["man", "-l", page], env=dict(os.environ, MANWIDTH="200", MAN_KEEP_FORMATTING=""))
            self.assertEqual(shown.returncode, 0, shown.stderr)
            # every line of the option help appears in the page
            text = " ".join(shown.stdout.split())
            for line in r.stdout.splitlines()[1:]:
                self.assertIn(" ".join(line.split()), text, program)

    def test_the_media_commands_say_what_is_wrong_in_their_own_name(self):
        missing = os.path.join(self.tmp, "missing")
        for command, arguments, says in (
                ("cd", ["-o", "x.iso"], "no package files given"),
                ("hdd", ["--bogus"], "unknown option --bogus"),
                ("netboot", ["-o", "net", "--key", missing], f"no such key file: {missing}"),
                ("qemu", ["--cd", missing], f"no such file: {missing}"),
                ("check-disk", [missing], f"cannot read {missing}")):
            with self.subTest(command=command):
                name = "router-installer-" + command
                r = run([self.installed("usr/sbin/" + name), *arguments], cwd=self.tmp)
                self.assertNotEqual(r.returncode, 0)
                self.assertEqual(r.stdout, "")
                self.assertTrue(r.stderr.startswith(f"{name}: {says}"), r.stderr)

    def test_the_manual_pages_have_their_sections_and_fit_a_terminal(self):
        common = ["NAME", "SYNOPSIS", "DESCRIPTION"]
        wanted = {"castdeploy-server": common + ["OPTIONS", "FILES", "EXIT STATUS", "SEE ALSO"],
                  "vpk": common + ["COMMANDS", "EXIT STATUS", "SEE ALSO"],
                  "cylpart": common + ["OPTIONS", "EXIT STATUS", "SEE ALSO"]}
        for program in TOOLS + MEDIA:
            name = os.path.basename(program)
            with self.subTest(page=name):
                source = manual_page(self.page_of(program))
                sections = re.findall(r'^\.SH "?([^"\n]*)"?$', source, re.M)
                self.assertEqual(sections, wanted.get(name, common + ["OPTIONS", "SEE ALSO"]))
                shown = run(["man", "--warnings", "-l", self.page_of(program)],
                            env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
                self.assertEqual((shown.returncode, shown.stderr), (0, ""))
                self.assertEqual([line for line in shown.stdout.splitlines() if len(line) > 80], [])
                text = " ".join(shown.stdout.split())
                # vpk is also used outside a source tree, and the server's unit
                # does not run it as root
                self.assertEqual(re.findall(r"(?<!source tree: )\./run", text), [])
                self.assertNotIn("run it as root", text)
        page = " ".join(run(["man", "-l", self.page_of("usr/sbin/castdeploy-server")],
                            env=dict(os.environ, MANWIDTH="80")).stdout.split())
        for path in ("/lib/systemd/system/castdeploy-server.service", "/etc/default/castdeploy-server",
                     "/var/lib/castdeploy-server"):
            self.assertIn(path, page[page.index("FILES"):page.index("EXIT STATUS")])

    def test_the_maintainer_scripts_handle_the_unit_as_debian_does(self):
        root = os.path.join(self.tmp, "scripts-root")
        scratch_root(root)
        tools = next(f for f in self.files if "router-installer-tools" in f)
        calls_file = os.path.join(root, "var", "log", "systemd-calls")
        unit = "castdeploy-server.service"
        helper, invoke = "deb-systemd-helper", "deb-systemd-invoke"
        reload = "systemctl --system daemon-reload"
        enabled = [f"{helper} unmask {unit}", f"{helper} --quiet was-enabled {unit}"]

        def disabled_by_the_administrator(root):
            open(os.path.join(root, "etc", "disabled-by-the-administrator"), "w").close()

        def without_systemd(root):
            os.unlink(os.path.join(root, "etc", "disabled-by-the-administrator"))
            os.rmdir(os.path.join(root, "run", "systemd", "system"))
        cache = os.path.join(root, "var", "cache", "router-installer")
        steps = [
            # what is done before, dpkg's arguments, the calls, in order
            ("install", None, ["-i", *self.files],
             enabled + [f"{helper} enable {unit}", reload, f"{invoke} start {unit}"]),
            # an upgrade restarts the service, and keeps it disabled if the administrator disabled it
            ("upgrade, disabled", disabled_by_the_administrator, ["-i", tools],
             enabled + [f"{helper} update-state {unit}", reload, f"{invoke} restart {unit}"]),
            ("remove", None, ["-r", "router-installer-media", "router-installer-tools"],
             [f"{invoke} stop {unit}", reload, f"{helper} mask {unit}"]),
            ("purge", lambda root: os.makedirs(os.path.join(cache, "image-env")),
             ["-P", "router-installer-media", "router-installer-tools"],
             [f"{helper} purge {unit}", f"{helper} unmask {unit}"]),
            ("install without systemd", without_systemd, ["-i", tools], enabled + [f"{helper} enable {unit}"]),
        ]
        for name, before, arguments, calls in steps:
            with self.subTest(step=name):
                if before:
                    before(root)
                if os.path.exists(calls_file):
                    os.unlink(calls_file)
                r = run(["dpkg", f"--root={root}", "--force-depends", *arguments])
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(read(calls_file).splitlines() if os.path.exists(calls_file) else [], calls)
                self.assertEqual(os.path.exists(os.path.join(root, "etc", "default", "castdeploy-server")),
                                 name != "purge")
        self.assertFalse(os.path.exists(cache), "the purge removes what the media builders kept")

    def test_the_media_package_says_which_key_its_installer_trusts(self):
        with open(self.installed("usr/lib/router-installer/i386/src/installer"), "rb") as f:
            key = re.search(rb"package trust: key ([0-9a-f]{64})", f.read()).group(1).decode()
        self.assertEqual(read(self.installed("usr/share/router-installer/package-key.pub")), key + "\n")
        fingerprint = hashlib.sha256(bytes.fromhex(key)).hexdigest()[:16]
        media = next(f for f in self.files if "router-installer-media" in f)
        description = run(["dpkg-deb", "-f", media, "Description"]).stdout
        self.assertIn(f"package key {fingerprint} (/usr/share/router-installer/package-key.pub)",
                      " ".join(description.split()))
        # the development key and table, which the builders refuse, are apart
        refused = self.installed("usr/share/router-installer/refused")
        self.assertEqual(sorted(os.listdir(refused)),
                         ["README", "development-known-digests.txt", "development-package-key.hex"])
        self.assertEqual(read(os.path.join(refused, "development-package-key.hex")),
                         read(os.path.join(TOP, "data", "package-public-key.hex")))
        self.assertFalse(os.path.exists(self.installed("usr/share/router-installer/data")))
        # no file of either package names a folder of the machine that built them
        for folder, _, names in os.walk(self.root):
            for name in names:
                path = os.path.join(folder, name)
                if os.path.islink(path) or path.startswith(os.path.join(self.root, "var")):
                    continue
                with open(path, "rb") as f:
                    data = f.read()
                self.assertNotIn(TOP.encode(), data, path)

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
        # the package's installer trusts the development key: refused, with
        # advice that fits an installed command
        r = run([self.installed("usr/sbin/router-installer-cd"), *packages, "-o", iso], env=env)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("router-installer-cd: refusing to build", r.stderr)
        self.assertIn("./run build --public-key ~/keys/packages.pub; ./run package   (in the source tree), and install it",
                      r.stderr)
        self.assertNotIn(TOP, r.stderr)
        r = run([self.installed("usr/sbin/router-installer-cd"), *packages, "-o", iso, "--development-key"], env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        listing = run(["xorriso", "-indev", iso, "-find", "/", "-type", "f"])
        files = sorted(line.strip("'") for line in listing.stdout.split())
        self.assertEqual(files, sorted(["/boot/initrd.gz", "/boot/vmlinuz",
                                        "/isolinux/boot.msg", "/isolinux/isolinux.bin", "/isolinux/isolinux.cfg",
                                        "/isolinux/ldlinux.c32", "/isolinux/libcom32.c32",
                                        "/isolinux/liblua.c32", "/isolinux/lua.c32", "/isolinux/prompt.lua",
                                        "/isolinux/syslinux.c32"] + ["/" + os.path.basename(p) for p in packages]))
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
        # As installed, the settings name no interface: the unit's condition
        # skips the start (status 1 to 254), rather than the server failing.
        condition = shlex.split(re.search(r"^ExecCondition=(.*)$", unit, re.M).group(1).replace("$$", "$"))
        settings = dict(re.findall(r"^([A-Z]+)=(.*)$", read(self.installed("etc/default/castdeploy-server")), re.M))
        self.assertEqual(sorted(settings), ["DRIVERS", "FILES", "INTERFACE", "OPTIONS"])
        for given, status in (({}, 1), ({"INTERFACE": "eth1"}, 1), ({"INTERFACE": "eth1", "DRIVERS": "d.vpk"}, 0)):
            r = run(condition, env={**os.environ, **settings, **given})
            self.assertEqual(r.returncode, status, given)
            if status:
                self.assertIn("not started: set INTERFACE and DRIVERS in /etc/default/castdeploy-server", r.stderr)
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
