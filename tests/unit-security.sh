#!/usr/bin/env bash
# relay-mqtt's service units as `systemd-analyze security --offline` rates them: an overall
# exposure of 2.0 at most, with the serial ports still in reach. Skipped without a
# systemd-analyze that knows --offline.
#   unit-security.sh UNIT-FILE...
set -euo pipefail

skip() { echo "SKIP: $*"; exit 77; }

command -v systemd-analyze >/dev/null || skip "needs systemd-analyze (the systemd package)"
systemd-analyze --help 2>/dev/null | grep -q -- '--offline=' ||
    skip "this systemd-analyze has no --offline"

highest_exposure=2.0
# The device classes of the serial adapters: the built-in ports, USB converters and USB modems.
serial_classes=(char-ttyS char-ttyUSB char-ttyACM)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
    echo "FAIL: $unit: $*"
    failures=$((failures + 1))
}

# The values KEY= takes in the file, one a line, from the last empty assignment on (which
# empties a list); the last line is what a single-valued key ends up as.
values() {
    sed -n "s/^$1=//p" "$2" |
        awk '/^$/ { n = 0; next } { v[n++] = $0 } END { for (i = 0; i < n; i++) print v[i] }'
}

for file in "$@"; do
    unit=$(basename "$file")
    # A template is rated as one of its instances.
    rated="$work/${unit/@.service/@check.service}"
    cp "$file" "$rated"

    report=$(SYSTEMD_COLORS=0 systemd-analyze security --offline=true "$rated" 2>&1) || {
        echo "$report"
        fail "systemd-analyze security failed"
        continue
    }
    exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9][0-9]*\.[0-9]\).*/\1/p' \
        <<<"$report")
    if [ -z "$exposure" ]; then
        echo "$report"
        fail "no overall exposure level in systemd-analyze's report"
    elif awk -v e="$exposure" -v most="$highest_exposure" 'BEGIN { exit !(e > most) }'; then
        grep '✗' <<<"$report" || true
        fail "overall exposure $exposure, above $highest_exposure"
    else
        echo "$unit: overall exposure $exposure"
    fi

    [ "$(values DevicePolicy "$file" | tail -n 1)" = closed ] ||
        fail "DevicePolicy is not closed"
    allowed=$(values DeviceAllow "$file")
    for class in "${serial_classes[@]}"; do
        # No access given means rwm.
        awk -v class="$class" '$1 == class && ($2 == "" || ($2 ~ /r/ && $2 ~ /w/)) { found = 1 }
                               END { exit !found }' <<<"$allowed" ||
            fail "DeviceAllow does not let $class be read and written"
    done
    { values Group "$file" | tail -n 1 | grep -qx dialout ||
        values SupplementaryGroups "$file" | tr -s ' \t' '\n' | grep -qx dialout; } ||
        fail "the service is not in the dialout group"
    # The line's local socket lives in the runtime folder, where relayctl looks for it.
    values RuntimeDirectory "$file" | tail -n 1 | grep -q '^relay-mqtt/.' ||
        fail "RuntimeDirectory is not a folder of its own under relay-mqtt/"
    # It tells systemd when it is ready, and feeds a watchdog that restarts it if it hangs.
    [ "$(values Type "$file" | tail -n 1)" = notify ] || fail "Type is not notify"
    values WatchdogSec "$file" | tail -n 1 | grep -qE '^[1-9]' || fail "no WatchdogSec"
    if values PrivateDevices "$file" | tail -n 1 | grep -qiE '^(1|y|yes|t|true|on)$'; then
        fail "PrivateDevices hides the serial ports"
    fi
done

[ "$failures" -eq 0 ] || exit 1
