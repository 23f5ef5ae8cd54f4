"""Faults of the real machine in QEMU: a CD whose package file cannot be read
to its end. QEMU's error-injecting block layer fails every read of a few
sectors inside the file, as a scratched disc would."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "image"))

from serial_console import Console  # noqa: E402

MEDIA = os.environ.get("E2E_MEDIA", os.path.join(TOP, "build", "host", "e2e"))
RUN_QEMU = os.path.join(TOP, "image", "run-qemu")
ISO = os.path.join(MEDIA, "installer.iso")
MB = 1024 * 1024


def file_extent(iso, path):
    """(first 2048-byte block, size in bytes) of a file on the ISO image."""
    out = subprocess.run(["xorriso", "-indev", iso, "-find", path, "-exec", "report_lba", "--"],
                         check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        m = re.match(r"File data lba:\s*\d+\s*,\s*(\d+)\s*,\s*\d+\s*,\s*(\d+)\s*,\s*'(.*)'", line)
        if m and m.group(3) == path:
            return int(m.group(1)), int(m.group(2))
    raise AssertionError(f"{path} not found on {iso}: {out}")


def unreadable(config, sectors):
    """A configuration of QEMU's blkdebug driver that fails every read of
    the given 512-byte sectors with EIO."""
    with open(config, "w") as f:
        for sector in sectors:
            f.write(f'[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "{sector}"\nonce = "off"\n\n')


class CdFaultTest(unittest.TestCase):
    def test_corrupted_cd(self):
        """The package file is read well past its header (the menu shows it),
        then a block in its last quarter fails: "corrupted CD-ROM", no
        installation reported, reboot after ENTER."""
        with tempfile.TemporaryDirectory(dir=MEDIA) as work:
            lba, size = file_extent(ISO, "/system.vpk")
            self.assertGreater(size, 256 * 1024, "the test needs a package file larger than the readahead")
            block = lba + (size * 3 // 4) // 2048
            config = os.path.join(work, "errors.conf")
            unreadable(config, range(block * 4, block * 4 + 4))
            disk = os.path.join(work, "disk.img")
            with open(disk, "wb") as f:
                f.truncate(64 * MB)
            with Console([RUN_QEMU, "--cd", f"blkdebug:{config}:{ISO}", "--disk", disk],
                         os.path.join(MEDIA, "corrupted_cd.log")) as con:
                con.expect("boot:", 60)
                con.send("serial panic=-1\r")
                con.expect(re.compile(r"system \(depends on nothing\):"), 240)
                con.send("i")  # the preselected minimum: system
                con.expect("Do you want to keep old configuration?  [y/n]:", 60)
                con.send("n")
                con.expect("Continue? [y/n]:", 60)
                con.send("y")
                con.expect("FATAL ERROR: corrupted CD-ROM", 300)
                con.expect("Press ENTER to reboot", 60)
                con.send("\r")
                con.expect("Rebooting...", 30)
                self.assertEqual(con.wait_exit(30), 0)
                transcript = con.output()
            self.assertNotIn("Software installed.", transcript)
            self.assertNotIn("installed system", transcript)


if __name__ == "__main__":
    unittest.main()
