# Shared by the packaging checks. Each check is a script that CTest runs; exit 77 means
# "skipped", and the line before it says what the check needs and why.
# shellcheck shell=bash

readonly skip_code=77

skip() {
    echo "SKIPPED: $*"
    exit "$skip_code"
}

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

need_command() {
    local cmd="$1" package="$2"
    command -v "$cmd" >/dev/null 2>&1 || skip "needs $cmd (Debian package $package)"
}

# png_size FILE: prints "WIDTHxHEIGHT" from the PNG header (IHDR holds both as big-endian 32-bit
# numbers at offsets 16 and 20), so no image tool is needed.
png_size() {
    local magic
    magic="$(od -An -tx1 -N8 "$1" | tr -d ' \n')"
    [ "$magic" = "89504e470d0a1a0a" ] || return 1
    local w h
    w="$(od -An -tu1 -j16 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')"
    h="$(od -An -tu1 -j20 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')"
    echo "${w}x${h}"
}

# desktop_key FILE KEY: the value of KEY in the [Desktop Entry] group.
desktop_key() {
    awk -v key="$2" '
        /^\[/ { in_entry = ($0 == "[Desktop Entry]") }
        in_entry && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
    ' "$1"
}

# clean_root_settings: sets suite, mirror and cache for the checks in clean Debian roots: the
# release, the mirror it comes from, and the folder that keeps its base root and apt's downloads
# between runs.
clean_root_settings() {
    suite=bookworm
    mirror="${USB_THERMOMETER_TEST_MIRROR:-http://deb.debian.org/debian}"
    cache="${USB_THERMOMETER_TEST_CACHE:-/var/cache/usb-thermometer-test}"
}

# check ROW WHAT COMMAND...: runs COMMAND and prints "ok: WHAT", or "FAILED (ROW): WHAT" and counts
# the failure in $failures, so that a check script reports every failing row before it fails.
failures=0
check() {
    local row="$1" what="$2"
    shift 2
    if "$@"; then
        echo "  ok: $what"
    else
        echo "  FAILED ($row): $what"
        failures=$((failures + 1))
    fi
}
