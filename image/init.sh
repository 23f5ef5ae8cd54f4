#!/bin/sh
# First program of the installation environment. It prepares only what the
# installer cannot do itself, then hands process 1 over to it:
#  - /dev (the installer mounts /proc and /sys, but expects device nodes),
#  - the kernel modules that the installer's own driver lists depend on but do
#    not name (file systems, checksum helpers, CD and FAT support, ...),
#  - /TYPE for the medium, and the console as the controlling terminal, so that
#    Ctrl-C reaches the installer as SIGINT.
# The medium comes from /etc/medium and may be overridden by "medium=WORD" on
# the kernel command line: cdrom and net are written to /TYPE, hdd starts the
# installer with -hdd-install, none leaves /TYPE away, any other word is
# written as it is (the installer refuses it). "serialonly" removes /dev/tty0.
# "entry=NAME" (the boot menu's entries pass it) is said on the first serial port.
export PATH=/sbin:/bin:/usr/sbin:/usr/bin

mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
cmdline=$(cat /proc/cmdline)
console=$(cat /sys/class/tty/console/active)
console=${console##* }
if [ "$console" = tty0 ]; then
  console=$(cat /sys/class/tty/tty0/active)
fi
umount /sys
umount /proc

medium=$(cat /etc/medium 2>/dev/null)
serialonly= entry=
for arg in $cmdline; do
  case $arg in
    medium=*) medium=${arg#medium=} ;;
    entry=*) entry=${arg#entry=} ;;
    serialonly) serialonly=1 ;;
  esac
done

# The first serial port hears which boot entry started, also when the
# installer works on the screen: after the boot prompt's timeout someone at
# the serial line would otherwise hear nothing more.
if [ -c /dev/ttyS0 ] && [ -n "$entry" ]; then
  if [ "$console" = ttyS0 ]; then
    where="on this serial port"
  else
    where="on the screen and keyboard; to install through this port, restart and type serial at the boot: prompt"
    stty -F /dev/ttyS0 115200 2>/dev/null
  fi
  echo "installation environment: boot entry $entry, medium ${medium:-none}: the installer works $where" \
    > /dev/ttyS0 2>/dev/null
fi

modules=/lib/modules/$(uname -r)
load() {
  while read -r m; do
    insmod "$modules/$m" 2>/dev/null
  done < "$1"
}
load /etc/modules.early
[ "$medium" = net ] && load /etc/modules.net

[ -n "$serialonly" ] && rm -f /dev/tty0

set --
case $medium in
  hdd) set -- -hdd-install ;;
  none|"") ;;
  *) echo "$medium" > /TYPE ;;
esac

[ -c "/dev/$console" ] || console=console
exec setsid -c /sbin/init "$@" <> "/dev/$console" >&0 2>&0
