# Shared settings of the image scripts; sourced, not run.
# Everything they make lives under the build folder of the checkout.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${IMAGE_BUILD_DIR:-$top/build}
cache=$build/image-cache          # downloaded and unpacked Debian packages
i386_build=${I386_BUILD_DIR:-$build/i386}

die() { echo "$(basename "$0"): $*" >&2; exit 1; }
say() { echo "== $*" >&2; }

# The kernel tree unpacked by image/fetch: prints "<root> <release>".
kernel_tree() {
  local root=$cache/root/linux rel
  rel=$(ls "$root/lib/modules" 2>/dev/null | head -n1)
  [ -n "$rel" ] && [ -f "$root/boot/vmlinuz-$rel" ] || die "no kernel in $root: run image/fetch"
  echo "$root $rel"
}
