"""The CD installation with the sample packages, end to end: QEMU boots the CD
against a virtual disk, the test chooses packages in the menu through the
serial console, reads the installed disk from the host, and then boots that
disk on its own (no CD) up to the router's banner."""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "image"))

import diskcheck  # noqa: E402
import router  # noqa: E402
from serial_console import Console, Timeout  # noqa: E402

MEDIA = os.environ.get("E2E_MEDIA", os.path.join(TOP, "build", "host", "e2e"))
BUILD = os.environ.get("BUILD_DIR", os.path.join(TOP, "build", "host"))
RUN_QEMU = os.path.join(TOP, "image", "run-qemu")
SANDBOX_RUN = os.path.join(BUILD, "tests", "sandbox-run")
ISO = os.path.join(MEDIA, "installer.iso")

# The menu of the samples: rows = 4.
#   0 system   4 firewall    8 vpn
#   1 ppp      5 manuals     9 webadmin
#   2 dhcp     6 minihttpd
#   3 extras   7 pptp
# extras (a bundle of ntp and snmp), manuals (unsigned, known digest),
# minihttpd (provides httpd) and webadmin (needs httpd, brings firewall). The
# database records a bundle and each of its members.
CHOICE = "nnn " + "nn " + "n " + "nnn "
CHOSEN = {"system", "firewall", "webadmin", "minihttpd", "manuals", "extras", "ntp", "snmp"}
MB = 1024 * 1024


def machine(name, disk, *args):
    return Console([RUN_QEMU, "--cd", ISO, "--disk", disk, *args], os.path.join(MEDIA, name + ".log"))


def boot_to_menu(con):
    con.expect("boot:", 60)
    con.send("serial panic=-1\r")
    con.expect("Found harddrive", 120)
    # The menu is in raw mode once its details line is drawn.
    con.expect(re.compile(r"system \(depends on nothing\):"), 120)


def answer(con, question, key):
    con.expect(question + " [y/n]:", 60)
    con.send(key)


def reboot(con):
    con.expect("Press ENTER to reboot", 60)
    con.send("\r")
    con.expect("Rebooting...", 30)
    return con.wait_exit(30)


def blank_disk(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def sha1(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def boot_program():
    """The installer's first-stage boot program, as the host build assembled it."""
    obj = os.path.join(BUILD, "src", "CMakeFiles", "installer_disk.dir", "disk", "bootprogram.S.o")
    with tempfile.NamedTemporaryFile() as out:
        subprocess.run(["objcopy", "-O", "binary", "-j", ".rodata.bootprogram", obj, out.name], check=True)
        with open(out.name, "rb") as f:
            return f.read()


def figure(text):
    """A timing or size figure for the e2e log (never asserted)."""
    print(f"\n[figure] {text}", file=sys.stderr, flush=True)


def boot_router(disk, name, disk_if="ide"):
    """Boots the installed disk alone; the banner (router.boot)."""
    banner = router.boot(disk, os.path.join(MEDIA, name + ".log"), disk_if=disk_if)
    # the router's start is clean: no missing command, no error on the way
    problems = re.findall(r"^.*(?:not found|[Ee]rror|can't |cannot ).*$", banner.transcript, re.M)
    assert not problems, f"{name}: the router's boot says:\n" + "\n".join(problems)
    figure(f"{name}: disk power-on to the router's banner: {banner.seconds:.1f} s")
    return banner


def check_install_log(test, img, root, transcript):
    """/var/log/install.log: date, key, the post-install step's success, and
    the console's lines without control sequences. Returns the log."""
    log = diskcheck.read_file(img, root, "/var/log/install.log").decode()
    test.assertRegex(log, r"^installed: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\n")
    test.assertRegex(log, r"\npackage key: [0-9a-f]{16}\n")
    if "\npost-install step /etc/rc.d/rc.postinstall: exit status 0\n" not in log:
        try:
            reason = diskcheck.read_file(img, root, "/var/log/postinstall.log").decode(errors="replace")
        except FileNotFoundError:
            reason = "(no /var/log/postinstall.log)"
        test.fail(f"the post-install step failed:\n{log}\n{reason}")
    test.assertNotIn("\x1b", log)
    test.assertRegex(log, r"\nFormatting disk\.\.\.+\n")
    for line in ("Loading drivers", "installed system"):
        test.assertIn(line, log)
        test.assertIn(line, transcript)
    return log


def check_banner(test, banner, img, root):
    """What every router shows; the test checks the rest."""
    test.assertEqual(banner.title, "Tarnwick router")
    test.assertEqual(banner["system"], "system 1.0")
    log = diskcheck.read_file(img, root, "/var/log/install.log").decode()
    test.assertEqual("installed: " + banner["installed"], log.splitlines()[0])


def debugfs_write(image, number, files):
    """Puts files (path -> bytes) into partition `number` of image. Writing a
    file system, even in an image file, stays in the sandbox."""
    folder = tempfile.mkdtemp()
    requests = []
    for i, (path, data) in enumerate(files.items()):
        with open(os.path.join(folder, str(i)), "wb") as f:
            f.write(data)
        parts = path.strip("/").split("/")
        for depth in range(1, len(parts)):
            requests.append("mkdir /" + "/".join(parts[:depth]))
        requests.append(f"write /work/{i} {path}")
    with open(os.path.join(folder, "requests"), "w") as f:
        f.write("\n".join(requests) + "\n")
    os.link(image, os.path.join(folder, "disk.img"))
    offset = diskcheck.partition(image, number)["start"] * diskcheck.SECTOR
    subprocess.run([SANDBOX_RUN, "--rw-bind", f"{folder}=/work", "--timeout", "60", "--",
                    "/usr/sbin/debugfs", "-w", "-f", "/work/requests", f"/work/disk.img?offset={offset}"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.unlink(os.path.join(folder, "disk.img"))


class CdInstallTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=MEDIA)
        self.disk = os.path.join(self.dir, "disk.img")

    def tearDown(self):
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)

    def install(self, name, keep="n", disk_size=200 * MB, new_disk=True, disk_if="ide"):
        if new_disk:
            blank_disk(self.disk, disk_size)
        start = time.monotonic()
        with machine(name, self.disk, "--disk-if", disk_if) as con:
            boot_to_menu(con)
            con.send(CHOICE + "i")
            answer(con, "Do you want to keep old configuration? ", keep)
            # the disk and its size, then the warning as it always was
            con.expect(re.compile(r"\nThe disk: [^\n]*\(/dev/\w+\), [\d.]+ [MG]iB\r?\n"
                                  r"Warning: all data on the disk will be erased!"), 30)
            answer(con, "Continue?", "y")
            con.expect("Software installed.", 600)
            figure(f"{name}: power-on to \"Software installed.\": {time.monotonic() - start:.1f} s")
            self.assertEqual(reboot(con), 0)
            return con.output()

    def check_installed(self, root, transcript):
        img = self.disk
        self.assertEqual(set(diskcheck.list_dir(img, root, "/var/pdb")), CHOSEN, transcript[-3000:])
        for p in diskcheck.partitions(img):
            clean, out = diskcheck.fsck(img, p["number"])
            self.assertTrue(clean, out)
        # what the chosen packages brought, and nothing of the others
        self.assertTrue(diskcheck.exists(img, root, "/srv/www/index.html"))
        self.assertTrue(diskcheck.exists(img, root, "/etc/httpd.conf"))
        self.assertTrue(diskcheck.exists(img, root, "/etc/firewall/origin"))  # its install script ran
        self.assertTrue(diskcheck.exists(img, root, "/etc/ntp.conf"))
        self.assertTrue(diskcheck.exists(img, root, "/usr/share/doc/router.txt"))
        self.assertTrue(diskcheck.exists(img, root, "/bin/bash"))
        for absent in ("/etc/ppp/options", "/etc/dhcpd.conf", "/etc/vpn/tunnels", "/etc/pptp.conf"):
            self.assertFalse(diskcheck.exists(img, root, absent), absent)
        self.assertTrue(diskcheck.exists(img, root, "/CDINSTALL"))
        marker = diskcheck.read_file(img, root, "/etc/postinstall.done").decode()
        self.assertTrue(marker.startswith("post-install done:"), marker)
        self.assertEqual(set(marker.split(":", 1)[1].split()), CHOSEN)
        check_install_log(self, img, root, transcript)
        lilo = diskcheck.read_file(img, root, "/etc/lilo.conf").decode()
        fstab = diskcheck.read_file(img, root, "/etc/fstab").decode()
        self.assertIn("image", lilo)
        self.assertIn(" / ", fstab)
        with open(img, "rb") as f:
            sector = f.read(512)
        program = boot_program()
        self.assertEqual(sector[:len(program)], program)
        self.assertEqual(sector[510:], b"\x55\xaa")
        return lilo, fstab

    def test_cd_install_keep_and_stop(self):
        """A chosen set on a blank disk; then "n" to "Continue?" leaves the disk
        as it is; then a reinstallation that keeps the configuration store."""
        transcript = self.install("cd_install")
        self.assertIn("Loading drivers", transcript)
        parts = diskcheck.partitions(self.disk)
        self.assertEqual([p["number"] for p in parts], [1])
        self.assertTrue(diskcheck.has_journal(self.disk, 1))
        self.assertTrue(diskcheck.exists(self.disk, 1, "/.nofsck"))
        self.check_installed(1, transcript)
        self.assertIn("Checking disk integrity...", transcript)

        # A store of the router's settings, then a run that stops at "Continue?".
        debugfs_write(self.disk, 1, {"/rw/store/settings": b"hostname=kept\n"})
        before = sha1(self.disk)
        with machine("cd_stop", self.disk) as con:
            boot_to_menu(con)
            con.send("i")
            answer(con, "Do you want to keep old configuration? ", "y")
            answer(con, "Continue?", "n")
            self.assertEqual(reboot(con), 0)
            self.assertNotIn("Software installed.", con.output())
        self.assertEqual(sha1(self.disk), before)

        transcript = self.install("cd_keep", keep="y", new_disk=False)
        self.check_installed(1, transcript)
        self.assertEqual(diskcheck.read_file(self.disk, 1, "/rw/store/settings"), b"hostname=kept\n")
        figure(f"size of the system package: {os.path.getsize(os.path.join(SAMPLES, 'system.vpk'))} bytes")

        # The router comes up from its one partition with what it kept.
        banner = boot_router(self.disk, "cd_keep_boot")
        check_banner(self, banner, self.disk, 1)
        self.assertEqual(banner["root device"], "/dev/sda1")
        self.assertEqual(banner["kept configuration"], "/rw/store (hostname=kept)")
        self.assertEqual(banner["hostname"], "kept")
        self.assertEqual(banner["configuration script"], "none")

    def test_cd_cancel(self):
        blank_disk(self.disk, 64 * MB)
        with machine("cd_cancel", self.disk) as con:
            boot_to_menu(con)
            con.send("q")
            con.expect("Installation canceled", 30)
            self.assertEqual(reboot(con), 0)
        with open(self.disk, "rb") as f:
            self.assertEqual(f.read(1 << 20), bytes(1 << 20))

    def test_cd_large_disk(self):
        """More than 1023 cylinders: a boot partition of its own. The disk is
        on an AHCI controller (SATA), which gives the same geometry as IDE."""
        cylinder = 255 * 63 * 512
        transcript = self.install("cd_large", disk_size=1030 * cylinder, disk_if="sata")
        parts = diskcheck.partitions(self.disk)
        self.assertEqual([p["number"] for p in parts], [1, 2], transcript[-2000:])
        self.assertEqual(diskcheck.root_partition(self.disk), 2)
        lilo, fstab = self.check_installed(2, transcript)
        self.assertIn("/boot", fstab)
        self.assertNotIn("Checking disk integrity...", transcript)
        # The loader sits in the boot partition and finds the kernel there.
        self.assertTrue(diskcheck.exists(self.disk, 1, "/ldlinux.sys"))
        banner = boot_router(self.disk, "cd_large_boot", disk_if="sata")
        check_banner(self, banner, self.disk, 2)
        self.assertEqual(banner["root device"], "/dev/sda2")
        self.assertIn("/boot", banner["mounted"].split())
        self.assertEqual(banner["kept configuration"], "no kept configuration")

    def test_cd_virtio_large_disk(self):
        """A virtio disk, to which QEMU gives 16 heads of 63 sectors: at 600 MiB
        it has more than 1023 cylinders and gets a boot partition of its own."""
        transcript = self.install("cd_virtio", disk_size=600 * MB, disk_if="virtio")
        self.assertIn("Found harddrive as VIRTIO 1", transcript)
        parts = diskcheck.partitions(self.disk)
        self.assertEqual([p["number"] for p in parts], [1, 2], transcript[-2000:])
        self.assertEqual(parts[0]["start"], 63)
        lilo, fstab = self.check_installed(2, transcript)
        self.assertIn("boot=/dev/vda1\n", lilo)
        self.assertIn("  root=/dev/vda2\n", lilo)
        self.assertTrue(fstab.startswith("/dev/vda2  /     ext3 defaults 1 1\n"
                                         "/dev/vda1  /boot ext2 defaults 1 2\n"), fstab)
        log = diskcheck.read_file(self.disk, 2, "/var/log/install.log").decode()
        cylinders = int(re.search(r"\ndisk: /dev/vda, (\d+) cylinders, boot partition 1, root partition 2\n",
                                  log).group(1))
        self.assertEqual(cylinders, 600 * MB // (16 * 63 * 512))
        banner = boot_router(self.disk, "cd_virtio_boot", disk_if="virtio")
        check_banner(self, banner, self.disk, 2)
        self.assertEqual(banner["root device"], "/dev/vda2")
        self.assertIn("/boot", banner["mounted"].split())

    def test_cd_nvme(self):
        """An NVMe disk: its partitions are named with a "p", and the disk gets
        the 63 sectors per track that the BIOS reads it with."""
        transcript = self.install("cd_nvme", disk_if="nvme")
        self.assertIn("Found harddrive as NVME 1", transcript)
        parts = diskcheck.partitions(self.disk)
        self.assertEqual([p["number"] for p in parts], [1], transcript[-2000:])
        self.assertEqual(parts[0]["start"], 63)
        lilo, fstab = self.check_installed(1, transcript)
        self.assertIn("boot=/dev/nvme0n1p1\n", lilo)
        self.assertIn("  root=/dev/nvme0n1p1\n", lilo)
        self.assertTrue(fstab.startswith("/dev/nvme0n1p1  /     ext3 defaults 1 1\n"), fstab)
        log = diskcheck.read_file(self.disk, 1, "/var/log/install.log").decode()
        self.assertIn("\ndisk: /dev/nvme0n1, 25 cylinders, one partition\n", log)
        banner = boot_router(self.disk, "cd_nvme_boot", disk_if="nvme")
        check_banner(self, banner, self.disk, 1)
        self.assertEqual(banner["root device"], "/dev/nvme0n1p1")


SAMPLES = os.path.join(os.path.dirname(BUILD), "samples")
# Everything but pptp, which conflicts with vpn: an unattended installation
# takes every package of its medium.
MEDIUM_PACKAGES = ["system", "ppp", "dhcp", "extras", "firewall", "manuals", "minihttpd", "vpn", "webadmin"]
AUTORUN = b"# configuration of the router\nset hostname gateway\nset lan 192.168.1.1/24\n"


class HardDiskInstallTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=MEDIA)
        self.disk = os.path.join(self.dir, "medium.img")
        self.mbr = os.path.join(self.dir, "mbr")
        # A first sector of our own: its code area is recognisable.
        with open(self.mbr, "wb") as f:
            f.write((b"MEDIUM-MBR" * 51)[:510] + b"\x55\xaa")
        autorun = os.path.join(self.dir, "autorun.scr")
        with open(autorun, "wb") as f:
            f.write(AUTORUN)
        self.medium_args = ["--mbr", self.mbr, "--autorun", autorun, "--size", "128M", "--default", "serial"]

    def tearDown(self):
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)

    def build_medium(self, *extra, more=()):
        files = [os.path.join(SAMPLES, p + ".vpk") for p in MEDIUM_PACKAGES] + list(more)
        subprocess.run([os.path.join(TOP, "image", "build-hdd-medium"), *files, "-o", self.disk,
                        *self.medium_args, "--development-key", *extra], check=True, stdout=subprocess.DEVNULL)
        with open(self.disk, "rb") as f:
            return f.read(512)

    def boot(self, name, disk_if="ide"):
        con = Console([RUN_QEMU, "--disk", self.disk, "--disk-if", disk_if], os.path.join(MEDIA, name + ".log"))
        con.expect("boot:", 60)
        con.send("serial panic=-1\r")
        con.expect("Welcome to Tarnwick Router Software hard disk installation", 120)
        return con

    def check_common(self, transcript):
        parts = diskcheck.partitions(self.disk)
        self.assertEqual([p["number"] for p in parts], [1], transcript[-2000:])
        clean, out = diskcheck.fsck(self.disk, 1)
        self.assertTrue(clean, out)
        self.assertEqual(diskcheck.read_file(self.disk, 1, "/rw/autorun.scr"), AUTORUN)
        self.assertTrue(diskcheck.exists(self.disk, 1, "/etc/lilo.conf"))
        self.assertFalse(diskcheck.exists(self.disk, 1, "/CDINSTALL"))
        with open(self.disk, "rb") as f:
            sector = f.read(512)
        program = boot_program()
        self.assertEqual(sector[:len(program)], program)
        return sector

    def test_hdd_unattended(self):
        """From a medium on a virtio disk, which is also the disk installed."""
        self.build_medium()
        with self.boot("hdd_unattended", disk_if="virtio") as con:
            con.expect("Software installed.", 600)
            self.assertEqual(con.wait_exit(60), 0)  # no ENTER after a success
            transcript = con.output()
        self.assertNotIn("(depends on", transcript)
        for p in MEDIUM_PACKAGES:
            self.assertRegex(transcript, r"Reading: " + p + r"-[0-9.]+\.\.\.")
        self.check_common(transcript)
        expected = set(MEDIUM_PACKAGES) | {"ntp", "snmp"}
        self.assertEqual(set(diskcheck.list_dir(self.disk, 1, "/var/pdb")), expected)
        self.assertTrue(diskcheck.exists(self.disk, 1, "/etc/postinstall.done"))
        log = check_install_log(self, self.disk, 1, transcript)
        self.assertIn("\ndisk: /dev/vda, ", log)
        # The medium is gone; the router starts with its configuration script.
        banner = boot_router(self.disk, "hdd_unattended_boot", disk_if="virtio")
        check_banner(self, banner, self.disk, 1)
        self.assertEqual(banner["root device"], "/dev/vda1")
        self.assertEqual(banner["configuration script"],
                         "/rw/autorun.scr (hostname gateway, lan 192.168.1.1/24)")
        self.assertEqual(banner["hostname"], "gateway")

    def bad_boot_package(self):
        """A signed package whose lilo.conf names a boot partition that the
        machine does not have: the system's boot loader cannot be installed."""
        root = os.path.join(self.dir, "badboot-root")
        os.makedirs(os.path.join(root, "etc"))
        with open(os.path.join(root, "etc", "lilo.conf"), "w") as f:
            f.write("boot=/dev/sdz1\nimage=/boot/vmlinuz\n  label=System\n  root=/dev/sda1\n  read-only\n")
        manifest = os.path.join(self.dir, "badboot.manifest")
        with open(manifest, "w") as f:
            f.write("name: badboot\nversion: 1.0\nbuild-time: 1767225600\n"
                    "description: Names a boot partition that is not there.\nowners: root\n")
        out = os.path.join(self.dir, "badboot.vpk")
        vpk = os.path.join(BUILD, "tools", "vpk", "vpk")
        key = os.path.join(TOP, "tests", "data", "development-signing-key.tests-and-demos-only.hex")
        subprocess.run([vpk, "build", "-o", out, "--root", root, manifest], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([vpk, "sign", "--key", key, out], check=True, stdout=subprocess.DEVNULL)
        shutil.rmtree(root)
        os.unlink(manifest)
        return out

    def test_hdd_choose(self):
        """The menu on a hard-disk medium; the chosen badboot package breaks
        the boot loader's installation: the disk does not boot and its
        install log says why."""
        self.build_medium("--choose", more=[self.bad_boot_package()])
        # With the menu the medium's "mbr" is not used: a useless one does not matter.
        with open(self.mbr, "wb") as f:
            f.write(b"short")
        subprocess.run(["mcopy", "-o", "-i", self.disk, self.mbr, "::/mbr"], check=True)
        with self.boot("hdd_choose") as con:
            con.expect(re.compile(r"system \(depends on nothing\):"), 120)
            con.send("nn ")  # system and dhcp
            con.expect(re.compile(r"dhcp \(depends on [^)\n]*\):"), 30)
            # badboot stands where the medium's directory put it: the cursor
            # goes on until the details line names it.
            for _ in MEDIUM_PACKAGES:
                con.send("n")
                if con.expect(re.compile(r"([a-z][a-z0-9_-]*) \(depends on [^)\n]*\):"), 30).group(1) == "badboot":
                    break
            con.send(" i")
            con.expect("Software installed.", 600)
            self.assertEqual(con.wait_exit(60), 0)
            transcript = con.output()
        self.check_common(transcript)
        self.assertNotIn("mbr file", transcript)
        self.assertEqual(set(diskcheck.list_dir(self.disk, 1, "/var/pdb")), {"system", "dhcp", "badboot"})
        log = diskcheck.read_file(self.disk, 1, "/var/log/install.log").decode()
        reason = diskcheck.read_file(self.disk, 1, "/var/log/postinstall.log").decode()
        self.assertIn("\npost-install step /etc/rc.d/rc.postinstall: exit status 1\n", log)
        self.assertIn("boot loader not installed: the boot partition /dev/sdz1 does not exist", reason)
        with self.assertRaisesRegex(router.NotBooted, "Missing operating system"):
            router.boot(self.disk, os.path.join(MEDIA, "hdd_choose_boot.log"), timeout=60)
        print("\n[hdd_choose] the disk does not boot, as its logs say:\n" + log.split("----")[0] + reason,
              file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
