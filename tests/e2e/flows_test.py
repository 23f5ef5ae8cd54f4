"""The CD installation with the sample packages, end to end: QEMU boots the CD
against a virtual disk, the test chooses packages in the menu through the
serial console, and then reads the installed disk from the host."""

import hashlib
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "image"))

import diskcheck  # noqa: E402
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

    def install(self, name, keep="n", disk_size=200 * MB, new_disk=True):
        if new_disk:
            blank_disk(self.disk, disk_size)
        with machine(name, self.disk) as con:
            boot_to_menu(con)
            con.send(CHOICE + "i")
            answer(con, "Do you want to keep old configuration? ", keep)
            con.expect("Warning: all data on the disk will be erased!", 30)
            answer(con, "Continue?", "y")
            con.expect("Software installed.", 600)
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
        """More than 1023 cylinders: a boot partition of its own."""
        cylinder = 255 * 63 * 512
        transcript = self.install("cd_large", disk_size=1030 * cylinder)
        parts = diskcheck.partitions(self.disk)
        self.assertEqual([p["number"] for p in parts], [1, 2], transcript[-2000:])
        self.assertEqual(diskcheck.root_partition(self.disk), 2)
        lilo, fstab = self.check_installed(2, transcript)
        self.assertIn("/boot", fstab)
        self.assertNotIn("Checking disk integrity...", transcript)


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

    def build_medium(self, *extra):
        files = [os.path.join(SAMPLES, p + ".vpk") for p in MEDIUM_PACKAGES]
        subprocess.run([os.path.join(TOP, "image", "build-hdd-medium"), *files, "-o", self.disk,
                        *self.medium_args, "--development-key", *extra], check=True, stdout=subprocess.DEVNULL)
        with open(self.disk, "rb") as f:
            return f.read(512)

    def boot(self, name):
        con = Console([RUN_QEMU, "--disk", self.disk], os.path.join(MEDIA, name + ".log"))
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
        self.build_medium()
        with self.boot("hdd_unattended") as con:
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

    def test_hdd_choose(self):
        self.build_medium("--choose")
        # With the menu the medium's "mbr" is not used: a useless one does not matter.
        with open(self.mbr, "wb") as f:
            f.write(b"short")
        subprocess.run(["mcopy", "-o", "-i", self.disk, self.mbr, "::/mbr"], check=True)
        with self.boot("hdd_choose") as con:
            con.expect(re.compile(r"system \(depends on nothing\):"), 120)
            con.send("nn i")  # system and dhcp
            con.expect("Software installed.", 600)
            self.assertEqual(con.wait_exit(60), 0)
            transcript = con.output()
        self.check_common(transcript)
        self.assertNotIn("mbr file", transcript)
        self.assertEqual(set(diskcheck.list_dir(self.disk, 1, "/var/pdb")), {"system", "dhcp"})


if __name__ == "__main__":
    unittest.main()
