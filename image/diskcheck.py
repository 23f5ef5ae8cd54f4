"""Reads an installed disk image from the host, without mounting it: the
partition table (sfdisk), a read-only check of each ext2/ext3 file system
(e2fsck -fn) and the files inside (debugfs). File systems inside the image
are reached through e2fsprogs' "IMAGE?offset=BYTES" device names."""

import json
import subprocess

SECTOR = 512
LINUX = "83"


def run(args, check=True):
    r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if check and r.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({r.returncode}): {r.stderr.decode(errors='replace')}")
    return r


def partition_dump(image):
    """The table as "sfdisk -d" prints it; empty when there is none."""
    r = run(["sfdisk", "-d", image], check=False)
    return r.stdout.decode() if r.returncode == 0 else ""


def partitions(image):
    """Partitions 1-4 in table order: dicts with number, start and size (sectors),
    type (hex text, e.g. "83") and bootable. Empty entries are left out."""
    r = run(["sfdisk", "-J", image], check=False)
    if r.returncode != 0:
        return []
    table = json.loads(r.stdout)["partitiontable"]
    result = []
    for p in table.get("partitions", []):
        node = p["node"]
        number = int(node[len(image):]) if node.startswith(image) else len(result) + 1
        result.append({"number": number, "start": int(p["start"]), "size": int(p["size"]),
                       "type": p["type"].lower(), "bootable": bool(p.get("bootable", False))})
    return result


def partition(image, number):
    for p in partitions(image):
        if p["number"] == number:
            return p
    raise KeyError(f"{image} has no partition {number}")


def device(image, number):
    """The e2fsprogs device name of partition number (0 = the whole image)."""
    if number == 0:
        return image
    return f"{image}?offset={partition(image, number)['start'] * SECTOR}"


def root_partition(image):
    """The installed system's root: the last Linux partition (2 with a separate
    boot partition, else 1)."""
    linux = [p["number"] for p in partitions(image) if p["type"] == LINUX]
    if not linux:
        raise KeyError(f"{image} has no Linux partition")
    return linux[-1]


def fsck(image, number):
    """Read-only forced check: (clean, output)."""
    r = run(["e2fsck", "-fn", device(image, number)], check=False)
    return r.returncode == 0, (r.stdout + r.stderr).decode(errors="replace")


def fs_features(image, number):
    out = run(["dumpe2fs", "-h", device(image, number)]).stdout.decode()
    for line in out.splitlines():
        if line.startswith("Filesystem features:"):
            return line.split(":", 1)[1].split()
    return []


def has_journal(image, number):
    return "has_journal" in fs_features(image, number)


def _debugfs(image, number, request):
    r = run(["debugfs", "-R", request, device(image, number)])
    return r.stdout, r.stderr.decode(errors="replace")


def exists(image, number, path):
    out, err = _debugfs(image, number, f'stat "{path}"')
    return "File not found" not in err and "not found" not in err and bool(out)


def read_file(image, number, path):
    """Contents of a file; raises FileNotFoundError when it is not there."""
    if not exists(image, number, path):
        raise FileNotFoundError(path)
    out, _ = _debugfs(image, number, f'cat "{path}"')
    return out


def list_dir(image, number, path):
    """Names in a directory (without "." and ".."); FileNotFoundError if absent."""
    out, err = _debugfs(image, number, f'ls -p "{path}"')
    if "not found" in err:
        raise FileNotFoundError(path)
    names = []
    for line in out.decode(errors="replace").splitlines():
        # /inode/mode/uid/gid/name/size/
        fields = line.split("/")
        if len(fields) >= 7 and fields[5] not in (".", ".."):
            names.append(fields[5])
    return names
