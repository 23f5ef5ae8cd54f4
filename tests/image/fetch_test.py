#!/usr/bin/env python3
"""image/fetch against a local stand-in for Debian's package index: a flat apt
repository in a temporary folder with every package that image/fetch wants,
and beside it a source whose index file is missing, so that each "apt-get
update" fails for one index as it does while a mirror is being synced."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FETCH = os.path.join(TOP, "image", "fetch")
KERNEL = "linux-image-6.1.0-99-686"


def wanted_packages():
    """The Debian packages image/fetch names in its wants table."""
    text = open(FETCH).read()
    table = text[text.index("declare -A wants=("):]
    table = table[:table.index("\n)")]
    return sorted({p for names in re.findall(r'\]="([^"]*)"', table) for p in names.split()})


def make_deb(folder, name, files, depends=None):
    root = os.path.join(folder, "tree-" + name)
    os.makedirs(os.path.join(root, "DEBIAN"))
    for path in files:
        os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        with open(os.path.join(root, path), "w") as f:
            f.write(name + "\n")
    control = f"Package: {name}\nVersion: 1.0\nArchitecture: i386\nMaintainer: Test <test@example.org>\n"
    if depends:
        control += f"Depends: {depends}\n"
    control += f"Description: stand-in for {name}\n"
    with open(os.path.join(root, "DEBIAN", "control"), "w") as f:
        f.write(control)
    deb = os.path.join(folder, f"{name}_1.0_i386.deb")
    subprocess.run(["dpkg-deb", "--root-owner-group", "-Zgzip", "--build", root, deb], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.rmtree(root)
    return control, deb


def write_index(folder, packages):
    import hashlib
    entries = []
    for control, deb in packages:
        with open(deb, "rb") as f:
            data = f.read()
        entries.append(control + f"Filename: ./{os.path.basename(deb)}\nSize: {len(data)}\n"
                       f"SHA256: {hashlib.sha256(data).hexdigest()}\n")
    with open(os.path.join(folder, "Packages"), "w") as f:
        f.write("\n".join(entries))


class FetchTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="fetch-test-")
        self.repo = os.path.join(self.tmp, "repo")
        os.makedirs(self.repo)
        apt = os.path.join(self.tmp, "apt")
        for d in ("parts", "sources.d", "prefs.d", "lists/partial", "cache/archives/partial"):
            os.makedirs(os.path.join(apt, d))
        with open(os.path.join(apt, "sources.list"), "w") as f:
            f.write(f"deb [trusted=yes arch=i386] file:{self.repo} ./\n"
                    f"deb [trusted=yes arch=i386] file:{self.tmp}/mirror-being-synced ./\n")
        self.apt_config = os.path.join(apt, "apt.conf")
        with open(self.apt_config, "w") as f:
            f.write(f'Dir::Etc::SourceList "{apt}/sources.list";\n'
                    f'Dir::Etc::SourceParts "{apt}/sources.d";\n'
                    f'Dir::Etc::Parts "{apt}/parts";\n'
                    f'Dir::Etc::PreferencesParts "{apt}/prefs.d";\n'
                    f'Dir::State::Lists "{apt}/lists";\n'
                    f'Dir::Cache "{apt}/cache";\n')
        self.build = os.path.join(self.tmp, "build")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def make_repo(self, leave_out=()):
        packages = [make_deb(self.repo, "linux-image-686", [], depends=KERNEL),
                    make_deb(self.repo, KERNEL, [f"boot/vmlinuz-{KERNEL[12:]}",
                                                 f"lib/modules/{KERNEL[12:]}/modules.order"])]
        for name in wanted_packages() + ["added-later"]:
            if name not in leave_out:
                packages.append(make_deb(self.repo, name, [f"usr/share/doc/{name}/stand-in"]))
        write_index(self.repo, packages)

    def fetch(self, script=FETCH):
        env = dict(os.environ, APT_CONFIG=self.apt_config, IMAGE_BUILD_DIR=self.build,
                   FETCH_TRIES="2", FETCH_RETRY_PAUSE="0")
        return subprocess.run([script], env=env, capture_output=True, text=True, timeout=300)

    def test_a_failing_index_is_not_fatal_and_a_complete_cache_needs_no_index(self):
        self.make_repo()
        r = self.fetch()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("could not be updated; going on", r.stderr)
        root = os.path.join(self.build, "image-cache", "root")
        self.assertTrue(os.path.isfile(os.path.join(root, "linux", "boot", "vmlinuz-6.1.0-99-686")))
        for name in wanted_packages():
            self.assertTrue(any(os.path.exists(os.path.join(root, g, "usr/share/doc", name, "stand-in"))
                                for g in os.listdir(root)), name)
        # The index is gone now; the complete cache is used as it is.
        repo = self.repo + ".away"
        os.rename(self.repo, repo)
        r = self.fetch()
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        # A package added to a group's wants later is fetched into that group.
        os.rename(repo, self.repo)
        image = os.path.join(self.tmp, "image")
        os.makedirs(image)
        shutil.copy(os.path.join(TOP, "image", "common.sh"), image)
        with open(FETCH) as f:
            text = f.read()
        with open(os.path.join(image, "fetch"), "w") as f:
            f.write(text.replace('[busybox]="busybox-static"', '[busybox]="busybox-static added-later"'))
        os.chmod(os.path.join(image, "fetch"), 0o755)
        r = self.fetch(os.path.join(image, "fetch"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.exists(os.path.join(root, "busybox/usr/share/doc/added-later/stand-in")))
        self.assertTrue(os.path.exists(os.path.join(root, "busybox/usr/share/doc/busybox-static/stand-in")))

    def test_a_package_that_cannot_be_downloaded_ends_with_one_clear_line(self):
        self.make_repo(leave_out=("bash-static",))
        r = self.fetch()
        self.assertNotEqual(r.returncode, 0)
        self.assertNotIn("Traceback", r.stderr)
        last = r.stderr.rstrip("\n").splitlines()[-1]
        self.assertRegex(last, r"^fetch: cannot download the i386 package bash-static \(.*\); "
                               r"check the network and apt's sources \(apt-get update\), then run image/fetch again$")


if __name__ == "__main__":
    unittest.main()
