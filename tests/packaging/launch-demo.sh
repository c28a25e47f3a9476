#!/usr/bin/env bash
# launch-demo.sh SIMULATOR READER: scripts/launch with no thermometer attached, as root and as an
# ordinary user with /dev/fuse open to them (as on a desktop). A probe stands in for the program
# and records where and as whom it ran; the demo must run in a throwaway folder holding a copy of
# the start folder's cal.txt, leave the real cal.txt alone whatever the demo writes, say where
# its cal.txt is, remove the folder afterwards, and keep the session bus usable.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib.sh"
launch="$(cd "$here/../.." && pwd)/scripts/launch"

sim="$(realpath -m -- "$1")"
[ -x "$sim" ] || skip "needs the simulator (built with libfuse3-dev)"
reader="${2:-}"
[ -x "$reader" ] || skip "needs usb-thermometer-read, which scripts/launch asks for the thermometers"
export USB_THERMOMETER_READ="$reader"
[ "$(id -u)" -eq 0 ] || skip "needs root, to open /dev/fuse to an ordinary user in a namespace of the test's own"
[ -c /dev/fuse ] || skip "needs /dev/fuse"
need_command dbus-daemon dbus-daemon
need_command dbus-send dbus-bin
need_command setpriv util-linux
if [ -n "$("$reader" --list 2>/dev/null)" ]; then
    skip "a real thermometer is attached, so scripts/launch would start no demo"
fi

# A mount namespace of our own, where a second /dev/fuse node, open to everyone, covers the real
# one: the ordinary user gets what a desktop gives, and the machine's /dev stays as it is.
if [ -z "${USB_THERMOMETER_LAUNCH_NS:-}" ]; then
    USB_THERMOMETER_LAUNCH_NS=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi
work="$(mktemp -d)"
chmod 0755 "$work"
trap 'umount -l "$work/dev" 2>/dev/null; rm -rf -- "$work"' EXIT
mkdir "$work/dev"
mount -t tmpfs -o mode=0755 launch-dev "$work/dev"
mknod -m 0666 "$work/dev/fuse" c 10 229 2>/dev/null || skip "needs mknod of /dev/fuse (the container forbids it)"
mount --bind "$work/dev/fuse" /dev/fuse

# The probe: what the demo's program sees, then a write to ./cal.txt as a "0 °C" press makes.
cat >"$work/probe" <<'EOF'
#!/bin/sh
{
    echo "cwd=$(pwd -P)"
    echo "uid=$(id -u)"
    echo "cal=$(od -An -tx1 cal.txt 2>/dev/null | tr -d ' \n')"
    echo "nodes=$(ls /dev | grep -c '^hidraw')"
    if dbus-send --session --print-reply --reply-timeout=60000 --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.GetId >/dev/null 2>&1; then
        echo "bus=ok"
    else
        echo "bus=refused"
    fi
} >"$PROBE_REPORT"
printf '0.5,0.35\r\n' >cal.txt
EOF
chmod 0755 "$work/probe"

original='0.7,0.3\r\n'

same() { [ -n "$1" ] && [ "$1" = "$2" ]; }
gone() { [ -n "$1" ] && [ ! -e "$1" ]; }

# row NAME UID: one run of scripts/launch as that user, with a session bus of the user's own.
row() {
    local name="$1" uid="$2"
    local dir="$work/$name"
    mkdir -p "$dir/start" "$dir/tmp"
    printf "$original" >"$dir/start/cal.txt"
    chown -R "$uid:$uid" "$dir"
    local as_user=(setpriv --reuid="$uid" --regid="$uid" --clear-groups --)
    "${as_user[@]}" dbus-daemon --session --fork --address="unix:path=$dir/bus" \
        --print-pid=3 3>"$dir/bus.pid"
    echo "== $name (uid $uid)"
    local status=0
    (cd "$dir/start" && "${as_user[@]}" env DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus" \
        PROBE_REPORT="$dir/report" TMPDIR="$dir/tmp" bash "$launch" "$work/probe" "$sim" \
        </dev/null >"$dir/out" 2>&1) || status=$?
    kill "$(cat "$dir/bus.pid")" 2>/dev/null || true
    sed 's/^/  | /' "$dir/out"
    [ -f "$dir/report" ] || { echo "  FAILED ($name): the probe did not run (status $status)"; failures=$((failures + 1)); return; }
    sed 's/^/  probe: /' "$dir/report"

    local cwd demo
    cwd="$(sed -n 's/^cwd=//p' "$dir/report")"
    demo="$(grep -o "$dir/tmp/usb-thermometer-demo\.[A-Za-z0-9]*" "$dir/out" | head -n 1 || true)"
    check "$name" "scripts/launch ends as the program does" [ "$status" -eq 0 ]
    check "$name" "the terminal says it is a simulated thermometer at 25 °C" grep -q 'simulated thermometer that reads 25 °C' "$dir/out"
    check "$name" "the terminal says a thermometer is seen after a restart" grep -q 'plugged in now is seen after a restart of scripts/run' "$dir/out"
    check "$name" "the terminal names the demo's cal.txt" [ -n "$demo" ]
    check "$name" "the program ran in that throwaway folder, not where it was started" \
        same "$cwd" "$demo"
    check "$name" "the program ran under the simulator, with its thermometer" grep -qx 'nodes=1' "$dir/report"
    check "$name" "the demo's cal.txt started as a copy of the user's" \
        grep -qxF "cal=$(printf "$original" | od -An -tx1 | tr -d ' \n')" "$dir/report"
    check "$name" "the user's cal.txt is as it was after the demo wrote its own" \
        cmp -s "$dir/start/cal.txt" <(printf "$original")
    check "$name" "the throwaway folder is gone after the demo" gone "$demo"
    check "$name" "the program runs as the user's own id" grep -qx "uid=$uid" "$dir/report"
    check "$name" "the program reaches the session bus" grep -qx 'bus=ok' "$dir/report"
}

row root 0
row user 65534
[ "$failures" -eq 0 ] || fail "$failures checks failed"
echo "launch demo: passed"
