"""The network installation, end to end: QEMU boots the network environment
(which has no disk drivers) with its card on a tap device in a network
namespace of the test's own, castdeploy-server serves the driver package, the
sample packages and a configuration script on that tap device, and the test
reads the installed disk from the host afterwards."""

import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "image"))

import diskcheck  # noqa: E402
from boot_test import press_until  # noqa: E402
from flows_test import (blank_disk, boot_program, boot_router, check_banner,  # noqa: E402
                        check_install_log, debugfs_write)
from serial_console import Console  # noqa: E402

MEDIA = os.environ.get("E2E_MEDIA", os.path.join(TOP, "build", "host", "e2e"))
BUILD = os.environ.get("BUILD_DIR", os.path.join(TOP, "build", "host"))
NET = os.path.join(MEDIA, "net")
# The network environment built for the tests' own key (build-media): it
# places only configuration scripts signed with that key.
OWN = os.path.join(MEDIA, "own-key")
VPK = os.path.join(BUILD, "tools", "vpk", "vpk")
RUN_QEMU = os.path.join(TOP, "image", "run-qemu")
SERVER = os.path.join(BUILD, "tools", "server", "castdeploy-server")
SAMPLES = os.path.join(os.path.dirname(BUILD), "samples")
# Served in this order, each after what it needs; pptp conflicts with vpn.
PACKAGES = ["system", "minihttpd", "manuals", "firewall", "webadmin", "extras", "dhcp", "ppp", "vpn"]
INSTALLED = set(PACKAGES) | {"ntp", "snmp"}
SCRIPT = b"# settings of this router\nset hostname edge-7\nset lan 10.7.0.1/24\n"
TAP = "tap0"
SERVER_MAC = "02:5e:00:00:00:01"
MB = 1024 * 1024
# WTRM in a datagram to port 5000: the 4 bytes behind the UDP header (8) and
# the message header (20).
DROP_WTRM = "udp dport 5000 @th,224,32 0x5754524d drop"


def ip(*args):
    subprocess.run(["ip", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class NetInstallTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=MEDIA)
        self.addCleanup(self.remove_files)
        self.server = None
        self.disk = os.path.join(self.dir, "disk.img")
        self.script = os.path.join(self.dir, "site.scr")
        with open(self.script, "wb") as f:
            f.write(SCRIPT)
        # A LAN of the test's own: a namespace that holds the tap device of
        # the machine's card, and the server on it.
        self.ns = f"netinstall{os.getpid()}"
        ip("netns", "add", self.ns)
        self.addCleanup(self.remove_namespace)
        subprocess.run(["ip", "netns", "exec", self.ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                        "net.ipv6.conf.default.disable_ipv6=1"], check=True)
        ip("-n", self.ns, "link", "set", "lo", "up")
        ip("-n", self.ns, "tuntap", "add", "dev", TAP, "mode", "tap")
        ip("-n", self.ns, "link", "set", TAP, "address", SERVER_MAC, "up")

    def remove_namespace(self):
        self.stop_server()
        subprocess.run(["ip", "-n", self.ns, "link", "del", TAP], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "del", self.ns], stderr=subprocess.DEVNULL)

    def remove_files(self):
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)

    def start_server(self, name, *options, files=None, net=NET):
        if files is None:
            files = [os.path.join(SAMPLES, p + ".vpk") for p in PACKAGES] + [self.script]
        self.server_log = os.path.join(MEDIA, name + "-server.log")
        with open(self.server_log, "wb") as log:
            self.server = subprocess.Popen(
                ["ip", "netns", "exec", self.ns, SERVER, "--interface", TAP, "--drivers",
                 os.path.join(net, "drivers.vpk"), "--label", "rack-7*", *options, *files],
                stdout=log, stderr=subprocess.STDOUT)

    def stop_server(self):
        """The server's log; it has ended (by itself with --once, or stopped here)."""
        if self.server:
            if self.server.poll() is None:
                self.server.terminate()
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server = None
        if not hasattr(self, "server_log"):
            return ""
        with open(self.server_log) as f:
            return f.read()

    def machine(self, name, net=NET, disk_if="ide", nic="e1000"):
        return Console([RUN_QEMU, "--kernel", os.path.join(net, "vmlinuz"),
                        "--initrd", os.path.join(net, "initrd-net.gz"),
                        "--floppy", os.path.join(net, "floppy.img"), "--disk", self.disk,
                        "--disk-if", disk_if, "--tap", TAP, "--nic", nic, "--netns", self.ns],
                       os.path.join(MEDIA, name + ".log"))

    def find_server(self, con, disk_name="SATA 1"):
        con.expect("remote installation", 60)
        con.expect("Waiting for drivers...", 60)
        con.expect("Retrieving drivers...", 60)
        con.expect("Loading drivers", 60)
        con.expect("Found harddrive as " + disk_name, 60)
        con.expect("disk label: rack-7east", 30)
        con.expect("Found server at " + SERVER_MAC.upper(), 60)

    def install(self, con, disk_name="SATA 1"):
        """Up to the end of the installation; returns the transcript."""
        self.find_server(con, disk_name)
        con.expect("Software installed.", 300)
        con.expect("Press ENTER to reboot", 30)
        return con.output()

    def check_disk(self, transcript):
        img = self.disk
        self.assertEqual([p["number"] for p in diskcheck.partitions(img)], [1], transcript[-3000:])
        clean, out = diskcheck.fsck(img, 1)
        self.assertTrue(clean, out)
        self.assertEqual(set(diskcheck.list_dir(img, 1, "/var/pdb")), INSTALLED, transcript[-3000:])
        self.assertEqual(diskcheck.read_file(img, 1, "/site.scr"), SCRIPT)
        self.assertTrue(diskcheck.exists(img, 1, "/CDINSTALL"))
        self.assertTrue(diskcheck.exists(img, 1, "/bin/bash"))
        self.assertTrue(diskcheck.exists(img, 1, "/etc/httpd.conf"))
        self.assertTrue(diskcheck.exists(img, 1, "/etc/firewall/origin"))  # its install script ran
        self.assertFalse(diskcheck.exists(img, 1, "/etc/pptp.conf"))
        # The driver package went into the running environment only.
        self.assertFalse(diskcheck.exists(img, 1, "/lib/modules"))
        marker = diskcheck.read_file(img, 1, "/etc/postinstall.done").decode()
        self.assertEqual(set(marker.split(":", 1)[1].split()), INSTALLED)
        check_install_log(self, img, 1, transcript)
        with open(img, "rb") as f:
            sector = f.read(512)
        program = boot_program()
        self.assertEqual(sector[:len(program)], program)
        self.assertEqual(sector[510:], b"\x55\xaa")

    def test_net_install_and_keep(self):
        """A blank disk, ended by the server's TERM; then a reinstallation that
        keeps the configuration store, ended by a key while TERM is lost, on
        a machine whose card and disk are virtio ones (the disk moved there:
        the same partitions, now /dev/vda1)."""
        # The disk's drivers come from the server, not from the environment.
        listing = subprocess.run(f"gzip -dc {os.path.join(NET, 'initrd-net.gz')} | cpio -it --quiet",
                                 shell=True, check=True, capture_output=True, text=True).stdout
        for module in ("e1000.ko", "virtio_net.ko", "virtio_pci.ko"):
            self.assertIn(module, listing)
        for module in ("ata_piix.ko", "libata.ko", "scsi_mod.ko", "sd_mod.ko", "virtio_blk.ko", "nvme.ko"):
            self.assertNotIn(module, listing)
        blank_disk(self.disk, 200 * MB)
        self.start_server("net_install", "--once")
        with self.machine("net_install") as con:
            transcript = self.install(con)
            self.assertEqual(con.wait_exit(60), 0)  # TERM: no key needed
        log = self.stop_server()
        self.assertIn("installation finished", log)
        for f in ["drivers.vpk", "site.scr"] + [p + ".vpk" for p in PACKAGES]:
            self.assertIn("sending " + f, log)
        self.assertNotIn("ERROR", transcript)
        self.check_disk(transcript)

        debugfs_write(self.disk, 1, {"/rw/store/settings": b"hostname=kept\n"})
        self.start_server("net_keep", "--keep")
        subprocess.run(["ip", "netns", "exec", self.ns, "nft",
                        f"add table netdev lost; add chain netdev lost in {{ type filter hook ingress "
                        f"device {TAP} priority 0; }}; add rule netdev lost in {DROP_WTRM}"], check=True)
        with self.machine("net_keep", disk_if="virtio", nic="virtio") as con:
            transcript = self.install(con, disk_name="VIRTIO 1")
            time.sleep(3)  # WTRM goes out each second and is lost: the machine waits
            self.assertIsNone(con.proc.poll(), "ended without TERM or key")
            con.send("\r")
            self.assertEqual(con.wait_exit(60), 0)
        log = self.stop_server()
        self.assertNotIn("installation finished", log)
        self.check_disk(transcript)
        self.assertEqual(diskcheck.read_file(self.disk, 1, "/rw/store/settings"), b"hostname=kept\n")

        # The router starts with what it kept and what the server sent.
        banner = boot_router(self.disk, "net_keep_boot", disk_if="virtio")
        check_banner(self, banner, self.disk, 1)
        self.assertEqual(banner["root device"], "/dev/vda1")
        self.assertEqual(banner["kept configuration"], "/rw/store (hostname=kept)")
        self.assertEqual(banner["configuration script"], "/site.scr (hostname edge-7, lan 10.7.0.1/24)")
        self.assertEqual(banner["hostname"], "edge-7")

    def test_net_install_own_key_scripts(self):
        """An environment built for a key of the tests' own: an unsigned script
        is refused before anything of it is written; a signed one is placed and
        the router applies it."""
        own_net = os.path.join(OWN, "net")
        system = os.path.join(OWN, "packages", "system.vpk")
        blank_disk(self.disk, 200 * MB)
        # Served first, so that the refusal comes before any package.
        self.start_server("net_own_unsigned", files=[self.script, system], net=own_net)
        with self.machine("net_own_unsigned", own_net) as con:
            self.find_server(con)
            con.expect("Writing configuration...", 120)
            con.expect("FATAL ERROR: configuration script site.scr is not signed with the package key "
                       "(no signature)", 60)
            con.expect("Press ENTER to reboot", 30)
            transcript = con.output()
            press_until(con, "\r", "Rebooting...", 30)
            self.assertEqual(con.wait_exit(30), 0)
        log = self.stop_server()
        self.assertRegex(log.splitlines()[0], r"^no --public-key: no signature is checked; machines built with a "
                         r"key of their own refuse every package and configuration script not signed with it$")
        self.assertNotIn("Software installed.", transcript)
        self.assertEqual([p["number"] for p in diskcheck.partitions(self.disk)], [1], transcript[-3000:])
        self.assertFalse(diskcheck.exists(self.disk, 1, "/site.scr"))
        self.assertFalse(diskcheck.exists(self.disk, 1, "/var/pdb/system"))

        subprocess.run([VPK, "sign", "--key", os.path.join(OWN, "signing-key"), self.script], check=True,
                       stdout=subprocess.DEVNULL)
        with open(self.script, "rb") as f:
            signed = f.read()
        self.assertTrue(signed.startswith(SCRIPT))
        self.start_server("net_own_signed", "--once", "--public-key", os.path.join(OWN, "signing-key.pub"),
                          files=[system, self.script], net=own_net)
        with self.machine("net_own_signed", own_net) as con:
            transcript = self.install(con)
            self.assertEqual(con.wait_exit(60), 0)
        log = self.stop_server()
        # (the driver package is one of the two package files)
        self.assertIn("the machines accept every package of the 2 package files and the 1 configuration script", log)
        self.assertNotIn("ERROR", transcript)
        self.assertEqual(diskcheck.read_file(self.disk, 1, "/site.scr"), signed)
        banner = boot_router(self.disk, "net_own_signed_boot")
        check_banner(self, banner, self.disk, 1)
        self.assertEqual(banner["configuration script"], "/site.scr (hostname edge-7, lan 10.7.0.1/24)")
        self.assertEqual(banner["hostname"], "edge-7")


if __name__ == "__main__":
    unittest.main()
