#!/usr/bin/env bash
# piuparts.sh PACKAGE_DIR: piuparts's install, upgrade and purge test of the Debian packages that
# scripts/package wrote to PACKAGE_DIR/dist, in a clean Debian 12 root: both packages installed
# with what they depend on, purged, and nothing left behind; and an upgrade, from the packages as
# built (served as a local archive) to the same packages with a higher version, as a release
# upgrade does it.
#
# The clean root is the debootstrapped tarball that clean-root.sh keeps in
# $USB_THERMOMETER_TEST_CACHE (default /var/cache/usb-thermometer-test); this check builds it
# there when it is missing.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib.sh"

dist="$1/dist"
clean_root_settings

[ "$(id -u)" -eq 0 ] || skip "needs root, because piuparts chroots"
need_command piuparts piuparts
need_command dpkg-scanpackages dpkg-dev
compgen -G "$dist/usb-thermometer_*.deb" >/dev/null ||
    skip "needs the packages from scripts/package in $dist (the packaging.debian_packages test)"
wget -q -T 20 -t 1 --spider "$mirror/dists/$suite/Release" ||
    skip "needs network access to the Debian mirror $mirror, for apt in the clean root"

tarball="$(bash "$here/base-root.sh" "$suite" "$mirror" "$cache")"

work="$(mktemp -d /var/tmp/usb-thermometer-piuparts.XXXXXX)"
trap 'rm -rf -- "$work"' EXIT

# The packages as built, as an archive of their own: piuparts installs these first and upgrades
# them to the copies below.
mkdir "$work/archive" "$work/next"
debs=("$dist"/usb-thermometer_*.deb "$dist"/usb-thermometer-sim_*.deb)
cp "${debs[@]}" "$work/archive/"
(cd "$work/archive" && dpkg-scanpackages --multiversion . /dev/null >Packages 2>/dev/null)

# The next version: the same files with the version raised, so that the upgrade runs every
# maintainer script's upgrade path.
for deb in "${debs[@]}"; do
    unpacked="$work/unpacked"
    rm -rf -- "$unpacked"
    dpkg-deb -R "$deb" "$unpacked"
    sed -i 's/^Version: \(.*\)$/Version: \1+next1/' "$unpacked/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$unpacked" "$work/next/" >/dev/null
done

started=$SECONDS
status=0
piuparts --distribution="$suite" --mirror="$mirror" --basetgz="$tarball" \
    --bindmount="$work/archive" --extra-repo="deb [trusted=yes] file://$work/archive ./" \
    --warn-on-others --no-adequate \
    "$work"/next/*.deb >"$work/piuparts.log" 2>&1 || status=$?
grep -E '^[0-9:m.]+ (INFO|ERROR|FAIL)|PASS|FAIL' "$work/piuparts.log" | grep -vE 'Running ' | tail -n 40
[ "$status" -eq 0 ] || { tail -n 60 "$work/piuparts.log"; fail "piuparts failed (status $status)"; }
grep -q 'PASS: Installation and purging test' "$work/piuparts.log" ||
    fail "piuparts ran no installation and purging test"
grep -q 'PASS: Installation, upgrade and purging tests' "$work/piuparts.log" ||
    fail "piuparts ran no upgrade test"
echo "piuparts: passed in $((SECONDS - started)) s"
