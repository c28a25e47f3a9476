#!/usr/bin/env bash
# launch-access.sh: scripts/launch with a thermometer attached whose hidraw node an ordinary user
# may not open. In a mount namespace of the test's own, a made-up sysfs entry names the
# thermometer and a root-only file stands for its node. A probe stands in for the program, and a
# stand-in sudo records what it is asked to run instead of running it. Each row checks what the
# terminal shows, whether it asks, what it runs, and that the program starts in the start folder.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib.sh"
repo="$(cd "$here/../.." && pwd)"
launch="$repo/scripts/launch"

reader="${1:-}"
[ -x "$reader" ] || skip "needs usb-thermometer-read, which scripts/launch asks for the thermometers"
# The ids the build wrote into the udev rule, which come from hid/thermometer.h.
rule_ids="$(sed -n 's/.*ATTRS{idVendor}=="\([0-9a-f]*\)", ATTRS{idProduct}=="\([0-9a-f]*\)".*/\1 \2/p' "$repo/packaging/70-usb-thermometer.rules")"
read -r vendor product <<<"$rule_ids"
[ -n "$vendor" ] && [ -n "$product" ] || fail "no ids in the udev rule"
export USB_THERMOMETER_READ="$reader"
[ "$(id -u)" -eq 0 ] || skip "needs root, to stand a made-up thermometer node in a mount namespace"
need_command setpriv util-linux
need_command script bsdutils
[ -d /sys/class ] || skip "needs /sys/class"

if [ -z "${USB_THERMOMETER_ACCESS_NS:-}" ]; then
    USB_THERMOMETER_ACCESS_NS=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi
work="$(mktemp -d)"
chmod 0755 "$work"
trap 'rm -rf -- "$work" 2>/dev/null || true' EXIT
mkdir -p "$work/old-dev" "$work/bin" "$work/start" "$work/logs"
mount -t tmpfs -o mode=0755 access-sys /sys/class
mkdir -p /sys/class/hidraw/hidraw5/device
printf 'DRIVER=hid-generic\nHID_ID=0003:%s:%s\nHID_NAME=thermometer\n' \
    "$(printf '%08X' "0x$vendor")" "$(printf '%08X' "0x$product")" \
    >/sys/class/hidraw/hidraw5/device/uevent
# Two data bytes an input report, no report ids: what usb-thermometer-read --list checks.
printf '\x75\x08\x95\x02\x81\x02' >/sys/class/hidraw/hidraw5/device/report_descriptor
mount --bind /dev "$work/old-dev"
mount -t tmpfs -o mode=0755 access-dev /dev
for name in null zero urandom tty; do
    touch "/dev/$name"
    mount --bind "$work/old-dev/$name" "/dev/$name"
done
mkdir /dev/pts
# The terminal rows need pseudo-terminals of their own: a bound /dev/ptmx finds no pts beside it.
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 access-pts /dev/pts ||
    skip "needs a devpts instance of its own (mount -t devpts -o newinstance)"
ln -s pts/ptmx /dev/ptmx
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
umount -l "$work/old-dev"

cat >"$work/bin/sudo" <<EOF
#!/bin/sh
echo "sudo \$*" >>"$work/logs/sudo.log"
EOF
cat >"$work/probe" <<EOF
#!/bin/sh
echo "cwd=\$(pwd -P)" >"$work/logs/probe.log"
EOF
chmod 0755 "$work/bin/sudo" "$work/probe"
chown 65534:65534 "$work/start" "$work/logs"

expected_commands="sudo install -m 0644 $repo/packaging/70-usb-thermometer.rules /etc/udev/rules.d/70-usb-thermometer.rules
sudo udevadm control --reload
sudo udevadm trigger --action=change --subsystem-match=hidraw"

not() { ! "$@"; }
shows() { grep -qF -- "$1" "$work/out"; }
asked() { grep -qF 'Run them now? [y/N]' "$work/out"; }
ran() { [ "$(cat "$work/logs/sudo.log" 2>/dev/null)" = "$1" ]; }
started_in_start_folder() { grep -qx "cwd=$work/start" "$work/logs/probe.log" 2>/dev/null; }
shows_each_command() {
    local line
    while read -r line; do shows "    $line" || return 1; done <<<"$expected_commands"
}

# row NAME NODE_MODE TERMINAL ANSWER
row() {
    local name="$1" mode="$2" terminal="$3" answer="$4"
    rm -f "$work/logs/sudo.log" "$work/logs/probe.log"
    install -m "$mode" /dev/null /dev/hidraw5
    local command=(setpriv --reuid=65534 --regid=65534 --clear-groups -- env PATH="$work/bin:$PATH"
        bash "$launch" "$work/probe")
    echo "== $name"
    local status=0
    if [ "$terminal" = yes ]; then
        # script gives the launch a terminal of its own, fed with the answer.
        (cd "$work/start" && printf '%s\n' "$answer" |
            script -qec "$(printf '%q ' "${command[@]}")" /dev/null >"$work/out" 2>&1) || status=$?
    else
        (cd "$work/start" && "${command[@]}" </dev/null >"$work/out" 2>&1) || status=$?
    fi
    sed 's/^/  | /' "$work/out"
    check "$name" "scripts/launch ends as the program does" [ "$status" -eq 0 ]
    check "$name" "the program starts in the folder scripts/launch was started in" started_in_start_folder
    case "$name" in
    usable)
        check "$name" "an open node needs no commands" not shows 'udevadm'
        check "$name" "and no question" not asked
        ;;
    refused-*)
        check "$name" "the refused node is named" shows 'may not open /dev/hidraw5'
        check "$name" "each command is shown exactly" shows_each_command
        ;;
    esac
    case "$name" in
    refused-no-terminal)
        check "$name" "without a terminal nothing is asked" not asked
        check "$name" "and nothing run" ran ""
        ;;
    refused-declined)
        check "$name" "with a terminal it asks" asked
        check "$name" "declined, nothing runs" ran ""
        ;;
    refused-accepted)
        check "$name" "with a terminal it asks" asked
        check "$name" "accepted, the commands run in order, through sudo" ran "$expected_commands"
        check "$name" "a node still refused afterwards is reported" shows 'Still refused'
        ;;
    esac
}

row usable 0666 yes y
row refused-no-terminal 0600 no ""
row refused-declined 0600 yes n
row refused-accepted 0600 yes y
[ "$failures" -eq 0 ] || fail "$failures checks failed"
echo "launch access: passed"
