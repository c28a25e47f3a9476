#!/usr/bin/env bash
# service.sh CHECK ARGS...: the exporter service's unit and settings file, as the build writes them.
#   verify BUILD_DIR UNIT_PATH    systemd-analyze verify finds nothing to say about the unit
#                                 installed from the build (UNIT_PATH: where it is installed), in
#                                 a root holding that install, so that the program it runs is the
#                                 one installed beside it
#   security UNIT                 systemd-analyze security rates the unit's exposure 2.0 or less
#                                 ("OK" or better)
#   options PROGRAM UNIT SETTINGS every option that the unit's command line and its settings
#                                 name, set or commented out, is one the program's --help lists
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

check_name="$1"
shift

case "$check_name" in
verify)
    build="$1" unit="$2"
    need_command systemd-analyze systemd
    [ -d /usr/lib/systemd/system ] || skip "needs systemd's own units in /usr/lib/systemd/system (Debian package systemd)"
    root="$(mktemp -d)"
    trap 'rm -rf -- "$root"' EXIT
    DESTDIR="$root" cmake --install "$build" >/dev/null
    [ -f "$root$unit" ] || fail "the build installs no $unit"
    # The targets a system unit is ordered against (sysinit.target, multi-user.target) are
    # systemd's, so the root needs them beside ours.
    mkdir -p "$root/usr/lib/systemd"
    cp -an /usr/lib/systemd/system "$root/usr/lib/systemd/"
    # verify exits 0 after an unknown or malformed setting too, which systemd would ignore: any
    # word from it is a fault.
    status=0
    said="$(systemd-analyze verify --man=no --root="$root" "$root$unit" 2>&1)" || status=$?
    if [ "$status" -ne 0 ] || [ -n "$said" ]; then
        fail "systemd-analyze verify (status $status): $said"
    fi
    echo "systemd-analyze verify: nothing to say about $unit"
    ;;
security)
    unit="$1"
    need_command systemd-analyze systemd
    report="$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1)" ||
        fail "systemd-analyze security failed: $report"
    # A setting that systemd would ignore is said before the table, and would make the rating
    # one of a different unit.
    [ "$(head -n 1 <<<"$report" | awk '{print $1}')" = NAME ] || fail "systemd-analyze security: $(head -n 3 <<<"$report")"
    line="$(grep -m1 'Overall exposure level for' <<<"$report")" || fail "no overall exposure in: $report"
    echo "$line"
    exposure="$(sed -n 's/.*: \([0-9][0-9]*\.[0-9]\) .*/\1/p' <<<"$line")"
    [ -n "$exposure" ] || fail "no exposure figure in: $line"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' ||
        { grep '✗' <<<"$report"; fail "exposure $exposure is above 2.0"; }
    ;;
options)
    program="$1" unit="$2" settings="$3"
    help="$("$program" --help)"
    # The unit's command line, and the settings, each an assignment, commented out or not.
    named="$({ grep -E '^ExecStart=' "$unit" && grep -E '^#?[A-Z_]+=' "$settings"; } |
        grep -oE -- '(^|[ "])--[a-z][a-z-]*' | sed 's/^[ "]*//' | sort -u)"
    [ -n "$named" ] || fail "no options found in $unit and $settings"
    while read -r option; do
        check "$option" "$option is an option of $(basename "$program")" grep -qE -- "(^|[ ,])$option([ ,=]|$)" <<<"$help"
    done <<<"$named"
    [ "$failures" -eq 0 ] || fail "$failures options of the service are not the program's"
    ;;
*)
    fail "unknown check $check_name"
    ;;
esac
