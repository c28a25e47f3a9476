#!/usr/bin/env bash
# A day of a fridge's temperatures as usb-thermometer-read logs it, from the simulated
# thermometer, written as CSV to standard output. Faster than life: one reading every 0.1 s
# stands for one a minute, so the 1440 readings of the day take about 2.5 minutes.
#
#   docs/fridge-day.sh SIMULATOR READER > day.csv     (as root: the simulator mounts FUSE)
set -euo pipefail
sim="$1"
reader="$2"
exec "$sim" --celsius 4 --rate 50 -- bash -c '
    sim="$0"
    reader="$1"
    # The fridge at minute M of the day: a compressor cycle of 47 minutes, a kitchen that is
    # warmest at 14:00, and the door left open at 18:00, the fridge recovering over 8 minutes.
    celsius() {
        awk -v m="$1" "BEGIN {
            pi = 3.14159265
            t = 4 + 1.2 * sin(2 * pi * m / 47) + 0.8 * sin(pi * (m - 480) / 720)
            if (m >= 1080 && m < 1088) t += 6 * (1 - (m - 1080) / 8)
            printf \"%.2f\", t }"
    }
    start="$EPOCHREALTIME"
    (
        while :; do
            minute=$(awk -v s="$start" -v n="$EPOCHREALTIME" "BEGIN { print int((n - s) * 10) }")
            [ "$minute" -lt 1440 ] || exit 0
            "$sim" ctl "$USB_THERMOMETER_SIM_CONTROL" celsius "$(celsius "$minute")" >/dev/null
        done
    ) &
    exec "$reader" --csv --count 1440 --interval 0.1
' "$sim" "$reader"
