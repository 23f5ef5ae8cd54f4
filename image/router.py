"""Boots an installed disk in QEMU the way a router starts: no CD, no kernel
given from outside, boot order disk. The BIOS loads the disk's first sector
(the installer's boot program), which loads the active partition's first
sector (the boot loader the system installed), which loads the kernel. The
BIOS's and the loader's own texts reach the serial port through the serial
graphics adapter, so a disk that does not boot says why.

    from router import boot
    banner = boot("disk.img", "boot.log")   # raises NotBooted
    banner["hostname"], banner.seconds
"""

import os
import re
import time

from serial_console import Console, Timeout

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_QEMU = os.path.join(HERE, "run-qemu")

READY = "==== router ready ===="
# What ends a boot early: the boot program's and the loader's complaints, a
# kernel that gives up, a root that does not mount.
STUCK = re.compile(r"Missing operating system|Error loading operating system|Boot error|"
                   r"Could not find kernel image[^\n]*|Kernel panic[^\n]*|cannot mount the root[^\n]*")
BANNER = re.compile(r"==== ([^\n]*) ====\n(.*?)" + re.escape(READY), re.S)


class NotBooted(AssertionError):
    """The disk did not reach the router's banner."""


class Banner(dict):
    """The banner's "name: value" lines; title, seconds, text and transcript besides."""


def boot(disk, transcript, timeout=120, disk_if="ide"):
    """Boots disk (attached as run-qemu's --disk-if says) until the banner,
    then stops the router with ENTER. Returns the Banner; raises NotBooted
    with the reason otherwise."""
    start = time.monotonic()
    command = [RUN_QEMU, "--disk", disk, "--disk-if", disk_if, "--boot", "c", "--", "-device", "sga"]
    with Console(command, transcript, strip_codes=True) as con:
        try:
            m = con.expect(re.compile(BANNER.pattern + "|" + STUCK.pattern, re.S), timeout)
        except Timeout as e:
            raise NotBooted(f"no banner from {disk}: {str(e).splitlines()[0]}") from None
        if not m.group(0).endswith(READY):
            raise NotBooted(f"{disk} does not boot: {m.group(0)}")
        banner = Banner()
        banner.seconds = time.monotonic() - start
        banner.title = m.group(1)
        banner.text = m.group(0)
        banner.transcript = con.output()  # power-on to the banner
        for line in m.group(2).splitlines():
            name, colon, value = line.partition(":")
            if colon:
                banner[name.strip()] = value.strip()
        con.send("\r")
        try:
            con.expect("Stopping the router.", 30)
            con.wait_exit(60)
        except Timeout:
            pass  # the banner is what counts; close() ends the machine
    return banner
