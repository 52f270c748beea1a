#!/usr/bin/env bash
# The built programs answer --help and --version, and refuse what they do not know, with no
# display at all. Usage: commandline.sh <usb16relay> <usb16relay-sim> <project version>
set -uo pipefail

app=$1
sim=$2
version=$3
failures=0
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
ulimit -c 0

# In a subshell, so that the shell's note on a program killed by a signal lands in $err too.
run() {
    (env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@"; exit $?) >"$out" 2>"$err"
    status=$?
}

fail() {
    echo "FAIL: $*" >&2
    echo "  stdout: $(head -c 400 "$out")" >&2
    echo "  stderr: $(head -c 400 "$err")" >&2
    failures=$((failures + 1))
}

run "$app" --version
[ "$status" -eq 0 ] || fail "usb16relay --version exited $status, wanted 0"
[ "$(cat "$out")" = "usb16relay $version" ] || fail "usb16relay --version printed the wrong line"
[ -s "$err" ] && fail "usb16relay --version wrote to stderr"

run "$app" --help
[ "$status" -eq 0 ] || fail "usb16relay --help exited $status, wanted 0"
grep -q -- '--version' "$out" || fail "usb16relay --help does not list --version"

run "$app" --bogus
[ "$status" -eq 2 ] || fail "usb16relay --bogus exited $status, wanted 2"
grep -q "Unknown option 'bogus'" "$err" || fail "usb16relay --bogus did not name the option"
[ -s "$out" ] && fail "usb16relay --bogus wrote to stdout"

# Qt gets its own options: the missing platform plugin is Qt's complaint, not ours.
run "$app" -platform no-such-platform
[ "$status" -ne 0 ] || fail "usb16relay -platform no-such-platform exited 0"
grep -q 'no-such-platform' "$err" || fail "-platform did not reach Qt"
grep -q 'Unknown option' "$err" && fail "-platform was refused as unknown"

run "$sim" --version
[ "$status" -eq 0 ] || fail "usb16relay-sim --version exited $status, wanted 0"
[ "$(cat "$out")" = "usb16relay-sim $version" ] || fail "usb16relay-sim --version printed the wrong line"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "command line: all checks passed"
