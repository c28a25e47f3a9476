#!/usr/bin/env bash
# base-root.sh SUITE MIRROR CACHE: prints the path of a tarball of a Debian root with nothing but
# its base (debootstrap --variant=minbase), kept in CACHE and rebuilt after 30 days. The clean-root
# and piuparts checks start from it, so they need the network only for apt's index.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

suite="$1"
mirror="$2"
cache="$3"
mkdir -p "$cache"
tarball="$cache/$suite-minbase-$(dpkg --print-architecture).tar.gz"
(
    flock 9
    if [ ! -s "$tarball" ] || [ -n "$(find "$tarball" -mtime +30)" ]; then
        need_command debootstrap debootstrap
        echo "debootstrapping $suite (minbase) from $mirror; the root is cached in $tarball" >&2
        fresh="$(mktemp -d /var/tmp/usb-thermometer-debootstrap.XXXXXX)"
        trap 'rm -rf --one-file-system -- "$fresh"' EXIT
        # debootstrap mounts /proc and /sys in the new root itself: in a namespace of its own,
        # those mounts cannot outlive it.
        unshare --mount --propagation private -- \
            debootstrap --variant=minbase "$suite" "$fresh/root" "$mirror" >"$fresh/debootstrap.log" 2>&1 ||
            { tail -n 30 "$fresh/debootstrap.log" >&2; fail "debootstrap failed"; }
        tar -C "$fresh/root" --numeric-owner -czf "$tarball.tmp" .
        mv "$tarball.tmp" "$tarball"
    fi
) 9>"$cache/lock"
echo "$tarball"
