#!/usr/bin/env bash
# validate.sh desktop|metainfo FILE: the freedesktop validators' verdict on the launcher and the
# AppStream data that the package installs. Software centres and menus drop files that fail them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

kind="$1"
file="$2"
[ -f "$file" ] || fail "$file does not exist"

case "$kind" in
desktop)
    need_command desktop-file-validate desktop-file-utils
    # Warnings and errors fail the check, though the tool itself fails only on errors.
    out="$(desktop-file-validate "$file" 2>&1)" || { echo "$out"; fail "desktop-file-validate rejected $file"; }
    echo "$out"
    if grep -qE ': (warning|error):' <<<"$out"; then
        fail "desktop-file-validate warned about $file"
    fi
    ;;
metainfo)
    need_command appstreamcli appstream
    # --strict fails on infos and warnings too; --no-net because the screenshot's web address is
    # where the project will publish it, not something this machine can or should fetch.
    # <developer> is AppStream 1.0's; appstreamcli before 1.0 (Debian 12 has 0.16) does not know
    # the tag and says so as an info, which is the one thing --strict may let pass.
    out="$(appstreamcli validate --no-net --strict "$file" 2>&1)" || {
        echo "$out"
        others="$(grep -E '^[EWI]: ' <<<"$out" | grep -vE '^I: [^ ]+ unknown-tag developer$' || true)"
        if [ -n "$others" ] || ! grep -qE '^I: ' <<<"$out"; then
            fail "appstreamcli rejected $file"
        fi
    }
    ;;
*)
    fail "unknown kind $kind"
    ;;
esac
echo "$file: valid"
