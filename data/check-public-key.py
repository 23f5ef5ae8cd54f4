#!/usr/bin/env python3
"""Refuses a package public key that the signature check cannot use.

The key is the u-coordinate (32 bytes, little-endian hex) of a point of the
curve v^2 = u^3 + 486662 u^2 + u mod 2^255 - 19. It must be a canonical
encoding of such a u, and it must not be 9: for P = +-G the difference points
of the verification ladder degenerate. Exit status 0 = usable.
"""
import re
import sys

P = 2**255 - 19


def problem(text):
    if not re.fullmatch(r"[0-9a-fA-F]{64}", text):
        return "is not 64 hexadecimal digits"
    u = int.from_bytes(bytes.fromhex(text), "little")
    if u >= 2**255:
        return "has bit 255 set"
    if u >= P:
        return "is not reduced modulo 2^255-19"
    if u == 9:
        return "is the base point (u = 9)"
    r = (u * u * u + 486662 * u * u + u) % P
    if r != 0 and pow(r, (P - 1) // 2, P) != 1:
        return "is not the u-coordinate of a curve point"
    return None


def main():
    key = sys.argv[1].strip() if len(sys.argv) > 1 else ""
    why = problem(key)
    if why:
        print(f"package public key {key!r} {why}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
