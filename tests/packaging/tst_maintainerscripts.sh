#!/bin/sh
# The package's maintainer scripts against a made-up machine: a udevadm that
# records its calls and, in a mount namespace of this test, a /run/udev and a
# USB device list with one of our sticks among other devices. Only our stick
# may be triggered. Needs root for the namespace; skips (77) without it.
#
#   tst_maintainerscripts.sh <packaging/debian directory>
set -eu
scripts="$(cd "$1" && pwd)"
if [ "${PULVANE_IN_NAMESPACE:-}" != 1 ]; then
    [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null ||
        { echo "SKIP: needs root and a mount namespace"; exit 77; }
    PULVANE_IN_NAMESPACE=1 exec unshare --mount sh "$0" "$@"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mount -t tmpfs none /run && mount -t tmpfs none /sys ||
    { echo "SKIP: cannot mount in the namespace"; exit 77; }
mkdir -p /run/udev "$work/bin"
stick() { mkdir -p "/sys/bus/usb/devices/$1"; echo "$2" >"/sys/bus/usb/devices/$1/idVendor"
          echo "$3" >"/sys/bus/usb/devices/$1/idProduct"; }
stick 1-1 0fcf 1008
stick 1-2 0fcf 4711
stick 1-3 10c4 1004
stick usb1 1d6b 0002
mkdir -p /sys/bus/usb/devices/1-1:1.0
printf '#!/bin/sh\necho "$*" >>"%s/calls"\n' "$work" >"$work/bin/udevadm"
chmod +x "$work/bin/udevadm"

PATH="$work/bin:$PATH" sh "$scripts/postinst" configure
expected="control --reload-rules
trigger --parent-match=/sys/bus/usb/devices/1-1"
[ "$(cat "$work/calls")" = "$expected" ] || { echo "postinst called:"; cat "$work/calls"; exit 1; }

rm "$work/calls"
PATH="$work/bin:$PATH" sh "$scripts/postrm" remove
[ "$(cat "$work/calls")" = "control --reload-rules" ] || { echo "postrm called:"; cat "$work/calls"; exit 1; }
echo PASS
