#!/usr/bin/env bash
# Checks usb16relayd.service with systemd's own tools, without a running systemd:
#  - systemd-analyze security --offline: overall exposure 2.0 or lower, and what the service
#    needs still allowed (the network for the broker, the serial devices, the dialout group);
#  - systemd-analyze verify: no error and no warning.
# Usage: systemdunit.sh UNIT [PROGRAM [MANDIR]]
#   PROGRAM  the usb16relayd to verify ExecStart against (default: an empty stand-in, since
#            verify insists that the program exists)
#   MANDIR   a man directory holding usb16relayd.8 for verify's Documentation= check
#            (default: that check is skipped)
# Prints "exposure N.N" and one line per failed check; exits non-zero if any failed.
set -uo pipefail

unit=$1
program=${2:-}
mandir=${3:-}
threshold=2.0
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! command -v systemd-analyze >/dev/null; then
    echo "FAIL: systemd-analyze not found; install it with 'scripts/install-deps.sh package' (Debian package systemd)" >&2
    exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/usb16relayd-unit.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --threshold came with systemd 250; older ones get the figure compared here.
tenths=$(awk -v t="$threshold" 'BEGIN { printf "%d", t * 10 }')
if systemd-analyze security --help 2>/dev/null | grep -q -- '--threshold'; then
    systemd-analyze security --offline=yes --threshold="$tenths" "$unit" >"$work/security" 2>&1
    status=$?
else
    systemd-analyze security --offline=yes "$unit" >"$work/security" 2>&1
    status=0
fi
level=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9.]*\).*/\1/p' "$work/security")
if [ -z "$level" ]; then
    cat "$work/security" >&2
    fail "systemd-analyze security printed no overall exposure level (above)"
else
    echo "exposure $level"
    if [ "$status" -ne 0 ] || awk -v l="$level" -v t="$threshold" 'BEGIN { exit !(l > t) }'; then
        grep '✗' "$work/security" >&2
        fail "exposure $level is over $threshold (the settings marked ✗ above add to it)"
    fi
fi

# A lower figure must not come from cutting what the service needs. These lines are systemd's
# reading of the unit, not a grep of its text.
needs=("✗ PrivateNetwork=" "✗ IPAddressDeny=" "✗ RestrictAddressFamilies=~AF_(INET|INET6)"
    "✗ RestrictAddressFamilies=~AF_UNIX" "✗ SupplementaryGroups=" "char-ttyUSB:rw"
    "char-ttyACM:rw" "char-pts:rw")
for need in "${needs[@]}"; do
    grep -qF -- "$need" "$work/security" ||
        fail "systemd-analyze security no longer shows \"$need\": the service needs the network to the broker, AF_UNIX for sd_notify and the journal, the dialout group and the serial devices"
done

# verify wants ExecStart's program to exist: point it at the real one, or at a stand-in.
if [ -z "$program" ]; then
    program=$work/usb16relayd
    printf '#!/bin/sh\nexit 1\n' >"$program"
    chmod 0755 "$program"
    echo "verify: ExecStart checked against a stand-in for /usr/sbin/usb16relayd"
fi
mkdir "$work/unit"
sed "s|^ExecStart=/usr/sbin/usb16relayd |ExecStart=$program |" "$unit" >"$work/unit/$(basename "$unit")"
grep -q "^ExecStart=$program " "$work/unit/$(basename "$unit")" ||
    fail "$unit has no 'ExecStart=/usr/sbin/usb16relayd ...' line"
if [ -n "$mandir" ]; then
    MANPATH=$mandir systemd-analyze verify "$work/unit/$(basename "$unit")" >"$work/verify" 2>&1
else
    systemd-analyze verify --man=no "$work/unit/$(basename "$unit")" >"$work/verify" 2>&1
fi
status=$?
if [ "$status" -ne 0 ] || [ -s "$work/verify" ]; then
    cat "$work/verify" >&2
    fail "systemd-analyze verify: status $status, messages above"
fi

# The socket unit beside it (the local socket, handed over by socket activation): verified with
# the service, and open to the dialout group only.
socket=$(dirname "$unit")/usb16relayd.socket
if [ -f "$socket" ]; then
    cp "$socket" "$work/unit/"
    if [ -n "$mandir" ]; then
        MANPATH=$mandir systemd-analyze verify "$work/unit/usb16relayd.socket" >"$work/verify" 2>&1
    else
        systemd-analyze verify --man=no "$work/unit/usb16relayd.socket" >"$work/verify" 2>&1
    fi
    status=$?
    if [ "$status" -ne 0 ] || [ -s "$work/verify" ]; then
        cat "$work/verify" >&2
        fail "systemd-analyze verify of usb16relayd.socket: status $status, messages above"
    fi
    for need in "SocketMode=0660" "SocketGroup=dialout"; do
        grep -qx "$need" "$socket" || fail "usb16relayd.socket lacks $need"
    done
fi

[ "$failures" -eq 0 ] || exit 1
echo "systemd-analyze security and verify: clean"
