#!/usr/bin/env bash
# clean-root.sh PACKAGE_DIR: what piuparts (piuparts.sh) does not do with the .deb that
# scripts/package wrote to PACKAGE_DIR/dist: piuparts installs, upgrades and purges, but never
# runs the program. Here, in a Debian 12 root that has nothing but its base, apt installs the .deb
# without recommends, usb-thermometer starts through its launcher's Exec line as an ordinary user
# in their home and its window appears on an X server outside the root (so the declared Depends
# suffice to run it), the udev rule and the desktop files are where udev and the menus look, the
# exporter service is installed disabled, and a purge leaves the user's cal.txt alone.
#
# The debootstrapped root comes from base-root.sh, and apt's downloads are kept beside it in
# $USB_THERMOMETER_TEST_CACHE (default /var/cache/usb-thermometer-test), so a second run needs
# the network only for apt's index.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib.sh"

dist="$1/dist"
clean_root_settings

[ "$(id -u)" -eq 0 ] || skip "needs root, because debootstrap, chroot and mount need it"
need_command debootstrap debootstrap
need_command unshare util-linux
need_command Xvfb xvfb
need_command xdotool xdotool
compgen -G "$dist/usb-thermometer_*.deb" >/dev/null ||
    skip "needs the packages from scripts/package in $dist (the packaging.debian_packages test)"
need_command wget wget
wget -q -T 20 -t 1 --spider "$mirror/dists/$suite/Release" ||
    skip "needs network access to the Debian mirror $mirror, to debootstrap and to let apt resolve the .deb's dependencies"
unshare --mount --propagation private true 2>/dev/null ||
    skip "needs mount namespaces (unshare --mount), so the root's mounts go away with its processes"

# The rest runs in a mount namespace of its own, with the root on a tmpfs there: whatever is
# mounted goes away when the last process of the check ends, however it ends, and dpkg's many
# fsyncs and the final clean-up cost nothing.
if [ -z "${USB_THERMOMETER_CLEAN_ROOT_NS:-}" ]; then
    USB_THERMOMETER_CLEAN_ROOT_NS=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi

started=$SECONDS
phase_started=$SECONDS
phase_done() {
    echo "-- $1: $((SECONDS - phase_started)) s"
    phase_started=$SECONDS
}

work="$(mktemp -d /var/tmp/usb-thermometer-root.XXXXXX)"
mount -t tmpfs -o size=4g,mode=0755 usb-thermometer-root "$work"
root="$work/root"
program_pid=""
xvfb_pid=""
cleanup() {
    if [ -n "$program_pid" ]; then
        kill "$program_pid" 2>/dev/null || true
        wait "$program_pid" 2>/dev/null || true
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    umount "$work" && rmdir -- "$work"
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds or the time is up.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# in_root [--exec] [--user UID] [--display N] COMMAND...: runs COMMAND in the root with a clean
# environment. /proc, /dev/shm, apt's download cache and, with --display, the X server's socket
# are mounted in a mount namespace of that command alone, so they vanish with it, however it ends.
# With --exec the calling (sub)shell becomes COMMAND, keeping its process id.
in_root() {
    local exec_mode='' userspec='' display='' home=/root
    while :; do
        case "$1" in
        --exec) exec_mode=1 && shift ;;
        --user) userspec="$2:$2" home=/home/tester && shift 2 ;;
        --display) display="$2" && shift 2 ;;
        *) break ;;
        esac
    done
    local command=(unshare --mount --propagation private -- bash -c '
        set -e
        root="$1" archives="$2" display="$3" home="$4" userspec="$5"
        shift 5
        mount -t proc proc "$root/proc"
        mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
        mount --bind "$archives" "$root/var/cache/apt/archives"
        if [ -n "$display" ]; then
            mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
        fi
        exec chroot ${userspec:+--userspec="$userspec"} "$root" /usr/bin/env -i \
            PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LC_ALL=C.UTF-8 HOME="$home" \
            DEBIAN_FRONTEND=noninteractive ${display:+DISPLAY=:$display} "$@"
    ' in_root "$root" "$cache/apt-archives" "$display" "$home" "$userspec" "$@")
    if [ -n "$exec_mode" ]; then
        exec "${command[@]}"
    fi
    "${command[@]}"
}

# --- the .deb, as scripts/package built it ---
debs=("$dist"/usb-thermometer_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single usb-thermometer_*.deb in $dist: ${debs[*]}"
deb="${debs[0]}"
depends="$(dpkg-deb --field "$deb" Depends)"
echo "$(basename "$deb"): Depends: $depends"
grep -q 'fonts-liberation' <<<"$depends" || fail "the .deb does not depend on fonts-liberation"
grep -q 'libqt6widgets6' <<<"$depends" ||
    fail "the .deb does not depend on libqt6widgets6: the library dependencies were not computed"
phase_done ".deb built"

# --- a bookworm root with nothing but its base ---
mkdir -p "$cache/apt-archives/partial"
tarball="$(bash "$here/base-root.sh" "$suite" "$mirror" "$cache")"
mkdir "$root"
tar -C "$root" --numeric-owner -xzf "$tarball"
phase_done "root ready"

cat /etc/resolv.conf >"$root/etc/resolv.conf"
# Daemons that a dependency might start belong to no one here.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
mkdir -p "$root/tmp/.X11-unix"
cp "$deb" "$root/tmp/"
packages_before="$(in_root dpkg-query -W -f='${Package}\n' | wc -l)"
in_root apt-get update -q >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get update failed in the root"; }
# Without recommends: the declared Depends alone must make the program work.
in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get could not install the .deb in a clean root"; }
packages_after="$(in_root dpkg-query -W -f='${Package}\n' | wc -l)"
echo "apt installed the .deb and $((packages_after - packages_before - 1)) packages it depends on" \
    "($(grep -m1 -o 'Need to get [^,]*' "$work/apt.log" || echo 'nothing to download'))"
phase_done "installed"

# --- the files are where the system looks ---
for file in /usr/bin/usb-thermometer /usr/lib/udev/rules.d/70-usb-thermometer.rules \
    /usr/share/applications/usb-thermometer.desktop /usr/share/icons/hicolor/48x48/apps/usb-thermometer.png; do
    [ -f "$root$file" ] || fail "$file is not installed"
done
compgen -G "$root/usr/share/metainfo/*.metainfo.xml" >/dev/null || fail "no AppStream data in /usr/share/metainfo"
# The exporter service is a network listener: installed, but disabled until an administrator
# enables it. It reads the thermometer as the group that the udev rule names.
[ -f "$root/lib/systemd/system/usb-thermometer-exporter.service" ] || fail "the exporter service is not installed"
service_state="$(systemctl --root="$root" is-enabled usb-thermometer-exporter.service 2>&1 || true)"
[ "$service_state" = disabled ] || fail "the exporter service is '$service_state' after installing, not disabled"
grep -q '^plugdev:' "$root/etc/group" || fail "the root has no group plugdev, which the udev rule gives the thermometer to"
# The status line's tooltip sends the user to the README, so the package carries it.
compgen -G "$root/usr/share/doc/usb-thermometer/README.md*" >/dev/null ||
    fail "the README is not in /usr/share/doc/usb-thermometer"

# --- the launcher starts the program and its window appears ---
in_root useradd --create-home --shell /bin/sh tester
tester_uid="$(awk -F: '$1 == "tester" { print $3 }' "$root/etc/passwd")"
exec 3>"$work/display"
# -noreset: each xdotool poll below is a client whose leaving would otherwise reset the server,
# which turns away a program that connects in that moment.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 2>"$work/xvfb.log" &
xvfb_pid=$!
exec 3>&-
display_known() { [ -s "$work/display" ]; }
wait_for 30 display_known || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
display="$(head -n 1 "$work/display")"

exec_line="$(desktop_key "$root/usr/share/applications/usb-thermometer.desktop" Exec)"
# A menu starts the program in the user's home, so that is where cal.txt must appear.
(in_root --exec --user "$tester_uid" --display "$display" sh -c "cd \"\$HOME\" && exec $exec_line") \
    >"$work/program.log" 2>&1 &
program_pid=$!
window_shown() {
    if ! kill -0 "$program_pid" 2>/dev/null; then
        cat "$work/program.log"
        fail "the program ended before its window appeared"
    fi
    DISPLAY=":$display" xdotool search --name '^USB Thermometer$' >/dev/null 2>&1
}
if ! wait_for 60 window_shown; then
    cat "$work/program.log"
    fail "no window \"USB Thermometer\" appeared within 60 s"
fi
window="$(DISPLAY=":$display" xdotool search --name '^USB Thermometer$' | head -n 1)"
window_pid="$(DISPLAY=":$display" xdotool getwindowpid "$window" 2>/dev/null || true)"
[ -z "$window_pid" ] || [ "$window_pid" = "$program_pid" ] ||
    fail "the window belongs to process $window_pid, not to the program started in the root ($program_pid)"
if [ -n "${USB_THERMOMETER_TEST_SCREENSHOT:-}" ] && command -v import >/dev/null; then
    DISPLAY=":$display" import -window root "$USB_THERMOMETER_TEST_SCREENSHOT" || true
fi
cal="$root/home/tester/cal.txt"
[ -f "$cal" ] || fail "the program started by its launcher did not create cal.txt in the user's home"
echo "window \"USB Thermometer\" shown by $exec_line (pid $program_pid); cal.txt: $(od -An -c "$cal" | tr -s ' ')"
kill "$program_pid"
wait "$program_pid" 2>/dev/null || true
program_pid=""
phase_done "window shown"

# --- the purge is piuparts's to check, except for the user's data ---
in_root apt-get remove --purge -y -q usb-thermometer >>"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get remove --purge failed"; }
[ -f "$cal" ] || fail "the purge took the user's cal.txt with it"
phase_done "purged"

echo "clean root: passed in $((SECONDS - started)) s"
