#!/usr/bin/env bash
# postinst.sh SOURCE_DIR: the package's post-installation step asks udev to reload its rules and
# look at the hidraw nodes again, so an attached thermometer needs no replug; where no udev daemon
# listens (a chroot, a container, piuparts) it leaves udevadm alone. A stand-in udevadm records
# its calls; a socket of the test's own, on a /run private to the test, stands for udev's.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib.sh"
postinst="$1/debian/usb-thermometer.postinst"

[ "$(id -u)" -eq 0 ] || skip "needs root, for a /run of the test's own in a mount namespace"
if [ -z "${USB_THERMOMETER_POSTINST_NS:-}" ]; then
    USB_THERMOMETER_POSTINST_NS=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi
work="$(mktemp -d)"
trap 'rm -rf -- "$work"' EXIT
mount -t tmpfs -o mode=0755 postinst-run /run
printf '#!/bin/sh\necho "udevadm $*" >>"%s/calls"\n' "$work" >"$work/udevadm"
chmod 0755 "$work/udevadm"

reload_and_trigger="udevadm control --reload
udevadm trigger --action=change --subsystem-match=hidraw"
failures=0
# row NAME UDEV_LISTENS ARGUMENT EXPECTED_CALLS
row() {
    local name="$1" listens="$2" argument="$3" expected="$4"
    rm -rf /run/udev "$work/calls"
    if [ "$listens" = yes ]; then
        mkdir /run/udev
        perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Type => SOCK_SEQPACKET(), Local => $ARGV[0]) or die "$!\n"' \
            /run/udev/control
    fi
    PATH="$work:$PATH" sh "$postinst" "$argument" || { echo "FAILED ($name): the script failed"; failures=$((failures + 1)); return; }
    local calls
    calls="$(cat "$work/calls" 2>/dev/null || true)"
    if [ "$calls" = "$expected" ]; then
        echo "ok: $name"
    else
        echo "FAILED ($name): udevadm was called as [$calls], expected [$expected]"
        failures=$((failures + 1))
    fi
}

row "installed where udev runs" yes configure "$reload_and_trigger"
row "installed in a chroot or container without udev" no configure ""
row "an aborted upgrade configures nothing" yes abort-upgrade ""
[ "$failures" -eq 0 ] || fail "$failures rows failed"
echo "postinst: passed"
