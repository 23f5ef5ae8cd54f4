# Shared settings of the image scripts; sourced, not run.
# Everything they make lives under the build folder of the checkout.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${IMAGE_BUILD_DIR:-$top/build}
cache=$build/image-cache          # downloaded and unpacked Debian packages
i386_build=${I386_BUILD_DIR:-$build/i386}

# The name messages give the command: the installed commands (packaging/) set
# ROUTER_INSTALLER_COMMAND to theirs.
die() { echo "${ROUTER_INSTALLER_COMMAND:-$(basename "$0")}: $*" >&2; exit 1; }
# The comment at the head of the running script is its usage text: --help
# prints it on standard output; a wrong argument says so and ends with status 2.
usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0; }
usage_error() {
  local me
  me=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
  me=${ROUTER_INSTALLER_COMMAND:-${me#"$top/image/"}}
  echo "$me: $* (see $me --help)" >&2
  exit 2
}
say() { echo "== $*" >&2; }
# need_value "$@" at an option that takes a value: a missing one is a usage error.
need_value() { (($# >= 2)) || usage_error "$1 needs a value"; }

# The kernel tree unpacked by image/fetch: prints "<root> <release>".
kernel_tree() {
  local root=$cache/root/linux rel
  rel=$(ls "$root/lib/modules" 2>/dev/null | head -n1)
  [ -n "$rel" ] && [ -f "$root/boot/vmlinuz-$rel" ] || die "no kernel in $root: run image/fetch"
  echo "$root $rel"
}
vpk=${VPK:-$build/host/tools/vpk/vpk}
# The development key and digest table, which the builders refuse unless told
# otherwise: data/ of the source tree; the installed media package keeps them
# apart, in refused/, where no one takes them for the key its installer trusts.
development_key_file=$top/data/package-public-key.hex
development_table=$top/data/known-package-digests.txt
if [ ! -f "$development_key_file" ]; then
  development_key_file=$top/refused/development-package-key.hex
  development_table=$top/refused/development-known-digests.txt
fi
# The environment's cached common part belongs to the installer it carries.
# (IMAGE_ENV_DIR sets the place, for an i386 build in a read-only folder.)
env_work=$build/image-env
[ "$i386_build" = "$build/i386" ] || env_work=$i386_build/image-env
env_work=${IMAGE_ENV_DIR:-$env_work}

# A package key as people compare it: the first 16 hex digits of SHA-256 over
# the 32 key bytes (vpk keygen and the installed system's install log show it
# the same way).
key_fingerprint() {
  python3 -c 'import hashlib, sys; print(hashlib.sha256(bytes.fromhex(sys.argv[1])).hexdigest()[:16])' "$1"
}

# medium_trust ALLOW-DEVELOPMENT: what the installer that goes on a medium
# trusts, read from the installer binary of the i386 build itself (a mark that
# the build writes into it) and checked against the digest table that the
# build leaves beside it. Sets trusted_key (64 hex digits), trusted_table (a
# file) and key_fp, and prints "package key: FINGERPRINT". The development key
# and the development digest table (data/) are refused unless ALLOW-DEVELOPMENT
# is 1: their private half and their packages are public.
medium_trust() {
  local allow=$1 installer=$i386_build/src/installer mark hash dev_key shared
  # What makes another installer: the source tree's build, or for the
  # installed commands a media package made from a source tree.
  local rebuild="./run build" lead="build the environment" built=" [--known-digests FILE]" shown_vpk=$vpk
  local published="in this repository (tests/data/)"
  if [ -n "${ROUTER_INSTALLER_COMMAND:-}" ]; then
    rebuild="reinstall router-installer-media" lead="make the media package from the source tree"
    built="; ./run package   (in the source tree), and install it" shown_vpk=vpk published="with the source tree"
  fi
  [ -x "$installer" ] || die "no $installer: $rebuild"
  mark=$(LC_ALL=C grep -aoE 'package trust: key [0-9a-f]{64} digests [0-9a-f]{64}' "$installer" | head -n1 || true)
  [ -n "$mark" ] || die "$installer does not say which package key it trusts: $rebuild"
  read -r _ _ _ trusted_key _ hash <<< "$mark"
  trusted_table=$i386_build/data/package-trust/known-digests.txt
  [ -f "$trusted_table" ] && [ "$(sha256sum < "$trusted_table" | cut -d' ' -f1)" = "$hash" ] ||
    die "$trusted_table is not the digest table built into $installer: $rebuild"
  key_fp=$(key_fingerprint "$trusted_key")
  dev_key=$(grep -m1 -oE '^[0-9a-fA-F]{64}' "$development_key_file" | tr A-F a-f)
  shared=$(comm -12 <(digest_entries "$trusted_table") <(digest_entries "$development_table") | wc -l)
  if [ "$trusted_key" != "$dev_key" ] && [ "$shared" = 0 ]; then
    local count
    count=$(digest_entries "$trusted_table" | wc -l)
    say "package key: $key_fp (the installer on this medium accepts packages signed with this key, and" \
      "$( ((count)) && echo "$count unsigned packages by their digests" || echo "no unsigned package"))"
    return
  fi
  local what
  if [ "$trusted_key" = "$dev_key" ]; then
    what="the development key, whose private half is published $published"
  else
    what="the development digest table (data/known-package-digests.txt), which accepts the unsigned sample packages"
  fi
  if [ "$allow" = 1 ]; then
    say "package key: $key_fp: $what; built anyway as --development-key asks, for tests and demos only: never install a real machine from this medium"
    return
  fi
  cat >&2 <<MSG
${ROUTER_INSTALLER_COMMAND:-$(basename "$0")}: refusing to build: the installer in $i386_build trusts
$what
(package key $key_fp): anyone could make packages that this medium installs.
For a real machine, $lead with a key of your own:
  $shown_vpk keygen ~/keys/packages          (keep ~/keys/packages secret)
  ./run build --public-key ~/keys/packages.pub$built
  $shown_vpk sign --key ~/keys/packages PACKAGE-FILE...
For tests and demos only, --development-key builds this medium anyway.
MSG
  exit 1
}

# The media's boot prompt (image/boot/prompt.lua, run by the loader's Lua
# module) and the modules it needs, into folder $1 beside ldlinux.c32. The
# configuration names it with boot_prompt_config DEFAULT-ENTRY.
boot_prompt_files() {
  local m
  for m in lua liblua libcom32 syslinux; do
    cp "/usr/lib/syslinux/modules/bios/$m.c32" "$1/"
  done
  cp "$top/image/boot/prompt.lua" "$1/"
}
# The prompt shows boot.msg on the screen and the serial line and starts the
# default entry on ENTER or after 5 s; should it fail to load, the loader's
# own prompt still starts the default entry after the same time.
boot_prompt_config() {
  printf 'SERIAL 0 115200\nUI lua.c32 prompt.lua %s 50\nTIMEOUT 50\nONTIMEOUT %s\n' "$1" "$1"
}
# The digests of a table file, lowercase and sorted, one per line.
digest_entries() { sed 's/#.*//; s/[[:space:]]//g' "$1" | { grep -v '^$' || true; } | tr A-F a-f | sort -u; }

# check_packages FILE...: every package of every file, checked exactly as the
# installer with the trust of medium_trust will check it; refuses the medium,
# naming each package and the reason, if the installer would refuse one.
check_packages() {
  (($#)) || return 0
  [ -x "$vpk" ] || die "no $vpk to check the packages with: build the host tools first (./run build)"
  local report
  if report=$("$vpk" verify --public-key "$trusted_key" --known-digests "$trusted_table" "$@" 2>&1); then
    say "checked $# package file(s): the installer accepts every package in them"
    return
  fi
  {
    echo "$(basename "$0"): refusing to build: the installer on this medium (package key $key_fp) would refuse:"
    grep -v -e ': ok: ' -e '^trust: ' <<< "$report" | sed 's/^/  /'
  } >&2
  exit 1
}

# check_installable GO-ON FILE...: the files as one medium, judged with the
# installer's own rules (vpk check-set): refuses the medium, naming each
# package that can never be installed from it and why, unless GO-ON is 1
# (--allow-uninstallable), when it only says so.
check_installable() {
  local go_on=$1 report
  shift
  (($#)) || return 0
  if report=$("$vpk" check-set "$@" 2>&1); then
    say "every package can be installed from this medium"
    return
  fi
  report=$(grep -e ': can never be installed' -e '^vpk' <<< "$report" | sed 's/^/  /')
  if [ "$go_on" = 1 ]; then
    say "built anyway as --allow-uninstallable asks; the installer will refuse:"
    echo "$report" >&2
    return
  fi
  {
    echo "$(basename "$0"): refusing to build: these packages can never be installed from this medium:"
    echo "$report"
    echo "Add what they need, leave them out, or give --allow-uninstallable to build the medium anyway."
  } >&2
  exit 1
}

# check_script FILE: the configuration script FILE, checked as the installer
# of medium_trust will check it. An installer built with a key of its own
# (its mark says "configuration scripts: signed only") places a script only
# when it is empty or signed with that key (vpk sign); the medium is refused
# otherwise, before anything is written.
check_script() {
  local file=$1 report copy
  LC_ALL=C grep -aq 'configuration scripts: signed only' "$i386_build/src/installer" || return 0
  [ -s "$file" ] || return 0
  [ -x "$vpk" ] || die "no $vpk to check the configuration script with: build the host tools first (./run build)"
  # vpk tells a script by its name
  copy=$(mktemp -d)
  cp "$file" "$copy/autorun.scr"
  if report=$("$vpk" verify --public-key "$trusted_key" "$copy/autorun.scr" 2>&1); then
    rm -rf "$copy"
    say "checked $file: the installer places it (signed with package key $key_fp)"
    return
  fi
  rm -rf "$copy"
  {
    echo "$(basename "$0"): refusing to build: the installer on this medium (package key $key_fp) places only"
    echo "configuration scripts signed with that key, and would refuse:"
    echo "  $file: ${report#*autorun.scr: configuration script: }"
    echo "Sign it with: $vpk sign --key PRIVATE-KEY-FILE (a copy named *.scr)"
  } >&2
  exit 1
}
