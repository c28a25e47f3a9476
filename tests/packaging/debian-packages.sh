#!/usr/bin/env bash
# debian-packages.sh SOURCE_DIR OUT_DIR VERSION: scripts/package builds the source tarball and,
# from it, the Debian packages with debhelper; lintian finds no error and no warning in them; each
# file lands in the package it belongs to (the simulator and its FUSE library only in
# usb-thermometer-sim); and the release's version is the same in CMake, debian/changelog and the
# AppStream data. The packages stay in OUT_DIR/dist for the piuparts and clean-root checks.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib.sh"

source_dir="$1"
out="$2"
version="$3"
dist="$out/dist"

need_command dpkg-buildpackage dpkg-dev
need_command dh debhelper
need_command lintian lintian
(cd "$source_dir" && dpkg-checkbuilddeps) 2>&1 ||
    skip "needs the build dependencies in debian/control (scripts/setup run package)"

changelog_version="$(cd "$source_dir" && dpkg-parsechangelog -S Version)"
[ "$changelog_version" = "$version" ] ||
    fail "debian/changelog's version is $changelog_version, CMake's project version $version"
release="$(grep -o -m1 '<release version="[^"]*"' "$source_dir/packaging/usb-thermometer.metainfo.xml.in" |
    sed 's/.*"\(.*\)"/\1/')"
[ "$release" = "$version" ] || fail "the newest AppStream release is '$release', not $version"

# Exits non-zero when lintian reports an error or a warning.
bash "$source_dir/scripts/package" --no-setup "$out" || fail "scripts/package failed"

arch="$(dpkg --print-architecture)"
main="$dist/usb-thermometer_${version}_$arch.deb"
sim="$dist/usb-thermometer-sim_${version}_$arch.deb"
[ -f "$dist/usb-thermometer-$version.tar.gz" ] || fail "no source tarball usb-thermometer-$version.tar.gz"
[ -f "$main" ] || fail "no $(basename "$main")"
[ -f "$sim" ] || fail "no $(basename "$sim")"

contents() { dpkg-deb --fsys-tarfile "$1" | tar -t | sed 's|^\./|/|'; }
main_files="$(contents "$main")"
sim_files="$(contents "$sim")"
has() {
    local files="$1" pattern="$2"
    grep -qxE "$pattern" <<<"$files"
}
for pattern in /usr/bin/usb-thermometer /usr/bin/usb-thermometer-read \
    /usr/lib/udev/rules.d/70-usb-thermometer.rules /usr/share/applications/usb-thermometer.desktop \
    '/usr/share/metainfo/.*\.metainfo\.xml' /usr/share/icons/hicolor/scalable/apps/usb-thermometer.svg \
    '/usr/share/man/man1/usb-thermometer\.1\.gz' '/usr/share/man/man1/usb-thermometer-read\.1\.gz' \
    '/usr/share/doc/usb-thermometer/README\.md(\.gz)?' /usr/share/doc/usb-thermometer/copyright; do
    has "$main_files" "$pattern" || fail "usb-thermometer lacks $pattern"
done
for pattern in /usr/bin/usb-thermometer-sim '/usr/share/man/man1/usb-thermometer-sim\.1\.gz'; do
    has "$sim_files" "$pattern" || fail "usb-thermometer-sim lacks $pattern"
    has "$main_files" "$pattern" && fail "usb-thermometer holds $pattern, which is the simulator's"
done
dpkg-deb --field "$sim" Depends | grep -q libfuse3 || fail "usb-thermometer-sim does not depend on libfuse3"
dpkg-deb --field "$main" Depends | grep -q libfuse3 && fail "usb-thermometer depends on libfuse3"
echo "debian packages: $(basename "$main"), $(basename "$sim"); lintian clean"
