#!/usr/bin/env bash
# run-clean-root.sh SOURCE_DIR: scripts/run's set-up on a Debian 12 system that has nothing but
# its base. As root there, `scripts/setup run` installs the run set; then CMake configures the
# project as scripts/run does and must find everything the program and the simulator need (so
# the set is enough to build both), and a second `scripts/setup run` finds nothing missing.
# Prints how many packages were installed and how much apt fetched. (Compiling everything again
# in the root would add many minutes on two cores and prove nothing CMake's checks do not.)
#
# The root comes from base-root.sh; apt's downloads are kept in $USB_THERMOMETER_TEST_CACHE
# (default /var/cache/usb-thermometer-test), shared with clean-root.sh.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib.sh"

source_dir="$1"
clean_root_settings

[ "$(id -u)" -eq 0 ] || skip "needs root, because chroot and mount need it"
wget -q -T 20 -t 1 --spider "$mirror/dists/$suite/Release" ||
    skip "needs network access to the Debian mirror $mirror, for apt in the clean root"

if [ -z "${USB_THERMOMETER_RUN_ROOT_NS:-}" ]; then
    tarball="$(bash "$here/base-root.sh" "$suite" "$mirror" "$cache")"
    USB_THERMOMETER_RUN_ROOT_NS=1 USB_THERMOMETER_RUN_ROOT_TARBALL="$tarball" \
        exec unshare --mount --propagation private -- bash "$0" "$@"
fi

work="$(mktemp -d /var/tmp/usb-thermometer-run-root.XXXXXX)"
mount -t tmpfs -o size=4g,mode=0755 usb-thermometer-run-root "$work"
trap 'umount -R "$work" && rmdir -- "$work"' EXIT
root="$work/root"
mkdir "$root"
tar -C "$root" --numeric-owner -xzf "$USB_THERMOMETER_RUN_ROOT_TARBALL"
cat /etc/resolv.conf >"$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mkdir -p "$cache/apt-archives/partial"
mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"
mkdir "$root/src"
tar -C "$source_dir" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$root/src" -xf -

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin LC_ALL=C.UTF-8 HOME=/root "$@"
}
packages() { in_root dpkg-query -W -f='${Package}\n' | sort; }

before="$(packages)"
cached_before="$(find "$cache/apt-archives" -maxdepth 1 -name '*.deb' | wc -l)"
started=$SECONDS
in_root bash /src/scripts/setup run >"$work/setup.log" 2>&1 || { tail -n 40 "$work/setup.log"; fail "scripts/setup run failed"; }
installed="$(comm -13 <(echo "$before") <(packages))"
echo "scripts/setup run installed $(wc -l <<<"$installed") packages in $((SECONDS - started)) s;" \
    "$(($(find "$cache/apt-archives" -maxdepth 1 -name '*.deb' | wc -l) - cached_before)) of them downloaded, the rest from the cache"
for pkg in $(grep -hv '^#' "$source_dir/scripts/deps/run.txt" | sed 's/#.*//'); do
    grep -qx "$pkg" <<<"$before"$'\n'"$installed" || fail "the run set's $pkg is not installed"
done

in_root bash -c 'cd /src && cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTHERMO_BUILD_TESTS=OFF' \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "CMake could not configure the project with the run set"; }
for target in usb-thermometer usb-thermometer-sim; do
    grep -q "build $target:\|build [^:]*/$target:" "$root/src/build/release/build.ninja" ||
        { cat "$work/configure.log"; fail "CMake left $target out for want of a package"; }
done

again="$(in_root bash /src/scripts/setup run 2>&1)" || fail "the second scripts/setup run failed: $again"
[ -z "$again" ] || fail "the second scripts/setup run still had something to do: $again"
echo "run clean root: passed"
