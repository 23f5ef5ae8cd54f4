# Read by every package script before it runs.
PATH=/bin:/sbin:/usr/bin:/usr/sbin
export PATH
umask 022
