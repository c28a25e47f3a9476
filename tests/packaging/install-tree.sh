#!/usr/bin/env bash
# install-tree.sh BUILD_DIR APP_ID WITH_SIMULATOR UNIT_DIR SYSCONFDIR: installs the build into an
# empty folder with the prefix the .deb uses and checks that every file lands where the system
# looks for it, that the launcher, the AppStream data and the icon name each other correctly, and
# that nothing else is installed. UNIT_DIR is where the build puts system units (relative: under
# the prefix), SYSCONFDIR the full path of its /etc; a prefix given at install time moves neither.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build="$1"
app_id="$2"
with_sim="$3"
unit_dir="$4"
case "$unit_dir" in
/*) unit_dir="${unit_dir#/}" ;;
*) unit_dir="usr/$unit_dir" ;;
esac
etc="${5#/}"

dest="$(mktemp -d)"
trap 'rm -rf -- "$dest"' EXIT

DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null

# Where the system looks: udev reads /usr/lib/udev/rules.d, desktop menus and software centres
# read $XDG_DATA_DIRS (/usr/share), icon themes fall back to hicolor, systemd reads
# /usr/lib/systemd/system and /lib/systemd/system.
expected=(
    "$unit_dir/usb-thermometer-exporter.service"
    "$etc/default/usb-thermometer-exporter"
    "$etc/usb-thermometer/README"
    usr/bin/usb-thermometer
    usr/bin/usb-thermometer-read
    usr/share/man/man1/usb-thermometer.1
    usr/share/man/man1/usb-thermometer-read.1
    usr/lib/udev/rules.d/70-usb-thermometer.rules
    usr/share/applications/usb-thermometer.desktop
    "usr/share/metainfo/$app_id.metainfo.xml"
    usr/share/icons/hicolor/scalable/apps/usb-thermometer.svg
)
icon_sizes=(16 22 24 32 48 64 128 256)
for size in "${icon_sizes[@]}"; do
    expected+=("usr/share/icons/hicolor/${size}x${size}/apps/usb-thermometer.png")
done
if [ "$with_sim" = ON ]; then
    expected+=(usr/bin/usb-thermometer-sim usr/share/man/man1/usb-thermometer-sim.1)
fi

actual="$(cd "$dest" && find . ! -type d | sed 's|^\./||' | sort)"
wanted="$(printf '%s\n' "${expected[@]}" | sort)"
if [ "$actual" != "$wanted" ]; then
    diff <(echo "$wanted") <(echo "$actual") | sed 's/^</missing:   /; s/^>/unexpected:/' | grep -v '^[0-9]'
    fail "the installed files are not the expected set"
fi
echo "installed: ${#expected[@]} files, as expected"

for program in usr/bin/usb-thermometer usr/bin/usb-thermometer-read usr/bin/usb-thermometer-sim; do
    [ -e "$dest/$program" ] || continue
    [ -x "$dest/$program" ] || fail "$program is not executable"
done

rule="$dest/usr/lib/udev/rules.d/70-usb-thermometer.rules"
# udev compares ATTRS values as strings, and sysfs writes the ids in lower-case hex; the kernel
# names HID devices in upper-case hex. The tag goes only to a node whose own HID device is the
# thermometer's.
grep -qxF 'KERNEL=="hidraw*", SUBSYSTEMS=="hid", KERNELS=="0003:04D8:0002.*", ENV{USB_THERMOMETER}="1"' "$rule" ||
    fail "the udev rule does not pin the thermometer's own HID device"
# The exporter service reads the node as the group plugdev, with nobody at the seat.
grep -qxF 'KERNEL=="hidraw*", ENV{USB_THERMOMETER}=="1", ATTRS{idVendor}=="04d8", ATTRS{idProduct}=="0002", GROUP="plugdev", MODE="0660", TAG+="uaccess"' "$rule" ||
    fail "the udev rule does not give the thermometer's hidraw node to the seat (uaccess) and to plugdev"
[ "$(grep -c 'TAG+="uaccess"' "$rule")" -eq 1 ] || fail "the udev rule tags more than the thermometer"
[ "$(grep -c 'GROUP=' "$rule")" -eq 1 ] || fail "the udev rule gives more than the thermometer to a group"
# The service loads the broker's password from this folder, which has to be there.
[ -d "$dest/$etc/usb-thermometer/mqtt" ] || fail "$etc/usb-thermometer/mqtt, the service's credentials folder, is not installed"

desktop="$dest/usr/share/applications/usb-thermometer.desktop"
exec_line="$(desktop_key "$desktop" Exec)"
[ -x "$dest/usr/bin/${exec_line%% *}" ] || fail "the launcher runs '$exec_line', which is not installed in usr/bin"
# The README tells users that a menu start keeps cal.txt in their home: no Path= of our own.
[ -z "$(desktop_key "$desktop" Path)" ] || fail "the launcher sets a working folder, so cal.txt would not land in the user's home"
icon="$(desktop_key "$desktop" Icon)"
[ "$icon" = usb-thermometer ] || fail "the launcher names icon '$icon', but the icon installed is usb-thermometer"

metainfo="$dest/usr/share/metainfo/$app_id.metainfo.xml"
grep -qF "<id>$app_id</id>" "$metainfo" || fail "the AppStream file's id is not $app_id, its file name"
grep -qF '<launchable type="desktop-id">usb-thermometer.desktop</launchable>' "$metainfo" ||
    fail "the AppStream data does not launch usb-thermometer.desktop"
grep -qF "<binary>${exec_line%% *}</binary>" "$metainfo" || fail "the AppStream data does not provide the launcher's binary"

for size in "${icon_sizes[@]}"; do
    png="$dest/usr/share/icons/hicolor/${size}x${size}/apps/usb-thermometer.png"
    got="$(png_size "$png")" || fail "$png is not a PNG"
    [ "$got" = "${size}x${size}" ] || fail "the ${size}x${size} icon is $got"
done
grep -q '<svg' "$dest/usr/share/icons/hicolor/scalable/apps/usb-thermometer.svg" || fail "the scalable icon is not SVG"

echo "install tree: passed"
