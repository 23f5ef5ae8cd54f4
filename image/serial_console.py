"""Drives a machine through its serial console: waits for texts, sends keys,
and records everything the machine printed.

    from serial_console import Console
    with Console(["image/run-qemu", "--cd", "installer.iso"], "boot.log") as con:
        con.expect("boot:", timeout=60)
        con.send("serial\\r")
        con.expect("Press ENTER to reboot", timeout=90)

Kernel messages ("[    1.234567] ...") can appear anywhere, even in the middle
of a line of the installer; they are left out of what expect() searches, but
kept in the transcript. With strip_codes, terminal control sequences are left
out too (the BIOS screen reaches the serial port through the serial graphics
adapter with cursor moves around every character).

From other programs (the output goes to standard output; exit status 0 when
the text appeared, 1 when it did not in time):

    python3 image/serial_console.py --expect TEXT [--timeout S] [--strip-codes]
        [--transcript FILE] -- COMMAND...
"""

import os
import re
import subprocess
import sys
import threading
import time

KERNEL_LINE = re.compile(rb"\[ *\d+\.\d+\][^\n]*(?:\n|$)")
CONTROL_CODE = re.compile(rb"\x1b\[[^@-~]*[@-~]")


class Timeout(AssertionError):
    """An expected text did not arrive in time."""


class Console:
    def __init__(self, command, transcript=None, echo=False, env=None, strip_codes=False):
        self.command = list(command)
        self._strip_codes = strip_codes
        self._raw = bytearray()
        self._cond = threading.Condition()
        self._closed = False
        self._pos = 0  # in the filtered text: where the next search starts
        self._echo = echo
        self._log = open(transcript, "wb") if transcript else None
        self.proc = subprocess.Popen(
            self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, env=env, start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            with self._cond:
                if not chunk:
                    self._closed = True
                    self._cond.notify_all()
                    return
                self._raw += chunk
                self._cond.notify_all()
            if self._log:
                self._log.write(chunk)
                self._log.flush()
            if self._echo:
                os.write(2, chunk)

    def output(self):
        """Everything printed so far, without kernel messages and carriage returns."""
        with self._cond:
            raw = bytes(self._raw)
        if self._strip_codes:
            raw = CONTROL_CODE.sub(b"", raw)
        text = KERNEL_LINE.sub(b"", raw).replace(b"\r", b"")
        return text.decode("utf-8", "replace")

    def expect(self, pattern, timeout):
        """Waits until pattern (a text or a compiled regular expression) appears
        after the previous match; returns the match. Raises Timeout otherwise."""
        regex = pattern if isinstance(pattern, re.Pattern) else re.compile(re.escape(pattern))
        wanted = regex.pattern if isinstance(pattern, re.Pattern) else pattern
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                text = self.output()
                m = regex.search(text, self._pos)
                if m:
                    self._pos = m.end()
                    return m
                left = deadline - time.monotonic()
                if left <= 0 or self._closed:
                    why = "the machine stopped" if self._closed else f"{timeout} s passed"
                    raise Timeout(f"{why} before {wanted!r} appeared; "
                                  f"output after the last match:\n{text[self._pos:][-3000:]}")
                self._cond.wait(min(left, 1.0))

    def send(self, keys):
        """Types keys (a text or bytes); ENTER is "\\r"."""
        data = keys.encode() if isinstance(keys, str) else keys
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass  # the machine has stopped; expect() and wait_exit() say so

    def wait_exit(self, timeout):
        """Waits for the machine to stop on its own; returns QEMU's exit status."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Timeout(f"the machine still runs after {timeout} s; last output:\n"
                          f"{self.output()[-2000:]}") from None
        self._reader.join(5)
        return status

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(5)
        for f in (self.proc.stdin, self.proc.stdout):
            try:
                f.close()
            except OSError:
                pass
        if self._log:
            self._log.close()
            self._log = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def main(argv):
    if argv in (["-h"], ["--help"]):
        print(__doc__.strip())
        return 0
    if "--" not in argv:
        print("serial_console: no \"-- COMMAND\" given (see serial_console.py --help)", file=sys.stderr)
        return 2
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    expect, timeout, strip, transcript = None, 60.0, False, None
    while options:
        name = options.pop(0)
        if name == "--strip-codes":
            strip = True
        elif name in ("--expect", "--timeout", "--transcript") and options:
            value = options.pop(0)
            if name == "--expect":
                expect = value
            elif name == "--timeout":
                timeout = float(value)
            else:
                transcript = value
        else:
            print(f"serial_console: unknown option {name}", file=sys.stderr)
            return 2
    if expect is None or not command:
        print("serial_console: --expect TEXT and a COMMAND are needed (see serial_console.py --help)",
              file=sys.stderr)
        return 2
    with Console(command, transcript, strip_codes=strip) as con:
        try:
            con.expect(expect, timeout)
            found = True
        except Timeout:
            found = False
        sys.stdout.write(con.output())
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
