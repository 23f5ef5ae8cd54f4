"""Boots the installation environment in QEMU and drives it through the
serial console, as a user at a headless machine would."""

import os
import re
import shutil
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "image"))

from serial_console import Console, Timeout  # noqa: E402

MEDIA = os.environ.get("E2E_MEDIA", os.path.join(TOP, "build", "host", "e2e"))
RUN_QEMU = os.path.join(TOP, "image", "run-qemu")
# the kernel's crypto self-tests and ISA PnP probing only cost boot time here
FAST = "cryptomgr.notests noisapnp"
SERIAL = "console=ttyS0 panic=-1 quiet loglevel=1 " + FAST


def machine(name, *args):
    return Console([RUN_QEMU, *args], os.path.join(MEDIA, name + ".log"))


def press_until(con, key, text, timeout, every=2.0):
    """Sends key until text appears: the installer flushes keys typed before
    it reads, so one early key can be lost."""
    waited = 0.0
    while True:
        con.send(key)
        try:
            return con.expect(text, every)
        except Timeout:
            waited += every
            if waited >= timeout:
                raise


class BootTest(unittest.TestCase):
    def reboot_after_enter(self, con):
        con.expect("Press ENTER to reboot", 60)
        press_until(con, "\r", "Rebooting...", 30)
        self.assertEqual(con.wait_exit(30), 0)

    def test_unknown_type(self):
        with machine("unknown_type",
                     "--kernel", os.path.join(MEDIA, "vmlinuz"),
                     "--initrd", os.path.join(MEDIA, "initrd-cdrom.gz"),
                     "--append", SERIAL + " medium=x") as con:
            con.expect("FATAL ERROR: internal error", 60)
            self.reboot_after_enter(con)

    def test_cd_without_disk(self):
        with machine("cd_without_disk", "--cd", os.path.join(MEDIA, "installer.iso")) as con:
            con.expect("boot:", 30)
            con.send("serial panic=-1 noisapnp\r")
            con.expect("installation environment: boot entry serial, medium cdrom: the installer works on this "
                       "serial port", 60)
            con.expect("Loading drivers", 60)
            con.expect(re.compile(r"Looking for harddrives\.\.\.\.+"), 60)
            con.expect("FATAL ERROR: no harddrives found", 60)
            self.assertNotIn("Found harddrive", con.output())
            self.reboot_after_enter(con)

    def test_the_menu_and_the_entry_that_started_reach_the_serial_line(self):
        # Someone at the serial line reads the menu and hears which entry
        # started, also when the installer then works on the screen alone.
        # (This CD's default entry is serial.)
        said = {"serial": "the installer works on this serial port",
                "vga": "the installer works on the screen and keyboard; to install through this port, restart "
                       "and type serial at the boot: prompt"}
        for name, typed, entry in (("timeout", None, "serial"), ("enter", "\r", "serial"),
                                   ("typed", "vgx\ba panic=-1 noisapnp\r", "vga")):
            with self.subTest(name), machine("cd_entry_" + name, "--cd", os.path.join(MEDIA, "installer.iso")) as con:
                con.expect("Router system installation.\nPress ENTER to install with screen and keyboard,", 30)
                con.expect("boot: ", 30)
                if typed:
                    con.send(typed)
                con.expect(f"installation environment: boot entry {entry}, medium cdrom: {said[entry]}", 60)

    def test_ctrl_c_on_the_serial_port_aborts(self):
        # Only the controlling terminal turns Ctrl-C into SIGINT; without a
        # screen the installer reopens its streams on the serial port itself.
        with machine("ctrl_c", "--cd", os.path.join(MEDIA, "installer.iso")) as con:
            con.expect("boot:", 30)
            con.send("serial panic=-1 noisapnp serialonly\r")
            con.expect(re.compile(r"Looking for harddrives\.\.\.\."), 60)
            con.send("\x03")
            con.expect("Installation aborted", 30)
            con.expect("Press ENTER to reboot", 30)
            self.assertNotIn("no harddrives found", con.output())
            for _ in range(15):
                con.send("\r")
                try:
                    self.assertEqual(con.wait_exit(2), 0)
                    break
                except Timeout:
                    pass
            else:
                self.fail("ENTER did not reboot after the abort")

    def test_hdd_medium_starts_the_hard_disk_flow(self):
        disk = os.path.join(MEDIA, "hdd-medium-run.img")
        shutil.copyfile(os.path.join(MEDIA, "hdd-medium.img"), disk)
        with machine("hdd_medium", "--disk", disk) as con:
            con.expect("Router system installation from this disk. It will be overwritten.", 30)
            con.expect("boot:", 30)
            con.send("serial panic=-1 noisapnp\r")
            con.expect("Press ENTER to reboot", 150)
            self.assertNotIn("internal error", con.output())
            press_until(con, "\r", "Rebooting...", 30)
            self.assertEqual(con.wait_exit(30), 0)
        os.remove(disk)


if __name__ == "__main__":
    unittest.main()
