"""Tests of the harness itself, without QEMU: the console driver and the
host-side reading of an installed disk image."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "image"))

import diskcheck  # noqa: E402
from serial_console import Console, Timeout  # noqa: E402

BUILD = os.environ.get("BUILD_DIR", os.path.join(TOP, "build", "host"))
SANDBOX_RUN = os.path.join(BUILD, "tests", "sandbox-run")


def fake_machine(script):
    """A "machine" whose serial output is what the shell script prints."""
    return Console(["/bin/sh", "-c", script])


class ConsoleTest(unittest.TestCase):
    def test_kernel_messages_are_not_part_of_the_text(self):
        # A kernel line may cut a line of the installer in two.
        script = (r"printf 'Looking for harddrives...'; "
                  r"printf '[    3.141592] ata1: SATA link down\r\n'; "
                  r"printf '..\r\nFATAL ERROR: no harddrives found\r\n'")
        with fake_machine(script) as con:
            con.expect("Looking for harddrives.....", 10)
            con.expect("FATAL ERROR: no harddrives found", 10)
            self.assertNotIn("ata1", con.output())
            self.assertNotIn("\r", con.output())

    def test_each_wait_starts_after_the_previous_match(self):
        with fake_machine("echo one; echo two; echo one") as con:
            con.expect("two", 10)
            con.expect("one", 10)
            with self.assertRaises(Timeout):
                con.expect("two", 0.5)

    def test_keys_reach_the_machine_and_the_exit_is_seen(self):
        with fake_machine("read line; echo got:$line; exit 3") as con:
            con.send("abc\r\n")
            con.expect("got:abc", 10)
            self.assertEqual(con.wait_exit(10), 3)

    def test_timeouts_say_what_was_missing(self):
        with fake_machine("echo Loading drivers; sleep 30") as con:
            with self.assertRaises(Timeout) as caught:
                con.expect("Press ENTER to reboot", 0.5)
            self.assertIn("Press ENTER to reboot", str(caught.exception))
            self.assertIn("Loading drivers", str(caught.exception))
            with self.assertRaises(Timeout):
                con.wait_exit(0.5)

    def test_a_stopped_machine_ends_the_wait_at_once(self):
        with fake_machine("echo bye") as con:
            with self.assertRaises(Timeout):
                con.expect("never", 60)


LAYOUT = r"""
set -e
cd /work
truncate -s 64M disk.img
printf '2048,20480,83,*\n22528,,83\n' | sfdisk -q disk.img
mkdir -p boot/boot root/etc root/var/pdb root/var/log root/rw
printf 'installing\npackage key: 0123456789abcdef\ndone\n' > root/var/log/install.log
echo 'image=/boot/vmlinuz' > root/etc/lilo.conf
printf '/dev/hda2 / ext3 defaults 0 1\n' > root/etc/fstab
echo base > root/var/pdb/base
echo vmlinuz > boot/vmlinuz
mke2fs -q -F -t ext2 -d boot -E offset=1048576 disk.img 10240
mke2fs -q -F -j -d root -E offset=11534336 disk.img 43008
"""


@unittest.skipUnless(os.path.exists(SANDBOX_RUN), "needs the sandbox runner of the host build")
class DiskCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        # Partitioning and formatting, even of an image file, stay in the sandbox.
        subprocess.run([SANDBOX_RUN, "--rw-bind", f"{cls.dir}=/work", "--timeout", "60", "--",
                        "/bin/sh", "-c", LAYOUT], check=True)
        cls.image = os.path.join(cls.dir, "disk.img")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_table_and_file_systems(self):
        parts = diskcheck.partitions(self.image)
        self.assertEqual([(p["number"], p["start"], p["size"], p["type"], p["bootable"]) for p in parts],
                         [(1, 2048, 20480, "83", True), (2, 22528, 131072 - 22528, "83", False)])
        self.assertEqual(diskcheck.root_partition(self.image), 2)
        self.assertIn("start=        2048", diskcheck.partition_dump(self.image))
        for n in (1, 2):
            clean, out = diskcheck.fsck(self.image, n)
            self.assertTrue(clean, out)
        self.assertFalse(diskcheck.has_journal(self.image, 1))
        self.assertTrue(diskcheck.has_journal(self.image, 2))

    def test_files(self):
        self.assertEqual(diskcheck.read_file(self.image, 2, "/etc/lilo.conf"), b"image=/boot/vmlinuz\n")
        self.assertEqual(diskcheck.read_file(self.image, 1, "/vmlinuz"), b"vmlinuz\n")
        self.assertEqual(diskcheck.list_dir(self.image, 2, "/var/pdb"), ["base"])
        with self.assertRaises(FileNotFoundError):
            diskcheck.read_file(self.image, 2, "/etc/missing")
        with self.assertRaises(FileNotFoundError):
            diskcheck.list_dir(self.image, 2, "/nothing")
        r = subprocess.run([os.path.join(TOP, "image", "check-disk"), self.image],
                           stdout=subprocess.PIPE, text=True)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn("/dev/hda2 / ext3 defaults 0 1", r.stdout)
        self.assertIn("== package key (/var/log/install.log)\npackage key: 0123456789abcdef\n", r.stdout)

    def test_a_damaged_file_system_is_reported(self):
        damaged = os.path.join(self.dir, "damaged.img")
        shutil.copyfile(self.image, damaged)
        # the root's /etc loses its inode while its directory entry stays
        subprocess.run([SANDBOX_RUN, "--rw-bind", f"{self.dir}=/work", "--timeout", "60", "--",
                        "/usr/sbin/debugfs", "-w", "-R", "clri /etc",
                        "/work/damaged.img?offset=11534336"], check=True)
        clean, out = diskcheck.fsck(damaged, 2)
        self.assertFalse(clean)
        self.assertTrue(diskcheck.fsck(damaged, 1)[0])
        r = subprocess.run([os.path.join(TOP, "image", "check-disk"), damaged],
                           stdout=subprocess.PIPE, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("partition 2: ext3, NOT CLEAN", r.stdout)


if __name__ == "__main__":
    unittest.main()
