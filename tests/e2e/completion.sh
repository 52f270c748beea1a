#!/usr/bin/env bash
# The bash completion for usb16relay-ctl, as bash calls it: COMP_WORDS and COMP_CWORD set, the
# function run, COMPREPLY read. Two simulated boards stand behind COM2 and COM11 of a private
# port directory; COM5 there is /dev/null, a character device but no serial port.
# Usage: completion.sh <completion file> <usb16relay-ctl> <usb16relay-sim>
set -uo pipefail

completion=$1
ctl=$2
sim=$3
failures=0

ports=$(mktemp -d "${TMPDIR:-/tmp}/usb16relay-completion.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$ports"
}
trap cleanup EXIT
export USB16RELAY_PORT_DIR=$ports

for n in 2 11; do
    "$sim" --quiet --link "$ports/COM$n" >/dev/null 2>&1 &
    pids+=($!)
done
ln -s /dev/null "$ports/COM5"
for _ in $(seq 100); do
    [ -e "$ports/COM2" ] && [ -e "$ports/COM11" ] && break
    sleep 0.05
done
if [ ! -e "$ports/COM2" ] || [ ! -e "$ports/COM11" ]; then
    echo "FAIL: the simulated boards did not link COM2 and COM11 within 5 s" >&2
    exit 1
fi

# shellcheck source=/dev/null
source "$completion" || {
    echo "FAIL: sourcing $completion failed" >&2
    exit 1
}
complete -p usb16relay-ctl 2>/dev/null | grep -q -- '-F _usb16relay_ctl' ||
    { echo "FAIL: $completion does not register _usb16relay_ctl for usb16relay-ctl" >&2; failures=$((failures + 1)); }

# What completing the last word offers, sorted, on one line. $program is COMP_WORDS[0]. Words
# come as bash splits them: "--port=3" is "--port" "=" "3" (COMP_WORDBREAKS holds '=').
program=$ctl
offered() {
    COMP_WORDS=("$program" "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _usb16relay_ctl
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | paste -sd' ' -
}

check() { # check "<wanted>" word...
    local wanted=$1 got
    shift
    got=$(offered "$@")
    if [ "$got" != "$wanted" ]; then
        echo "FAIL: completing 'usb16relay-ctl $*' ($(basename "$program")) offered \"$got\", wanted \"$wanted\"" >&2
        failures=$((failures + 1))
    fi
}

contains() { # contains "<words that must be offered>" word...
    local wanted=$1 got w
    shift
    got=" $(offered "$@") "
    for w in $wanted; do
        if [[ $got != *" $w "* ]]; then
            echo "FAIL: completing 'usb16relay-ctl $*' offered \"$got\", which lacks $w" >&2
            failures=$((failures + 1))
        fi
    done
}

relays=$(printf '%s\n' {1..16} | sort | paste -sd' ' -)
commands="all-off all-on off on ports pulse send set status toggle watch"
options="--device --help --interval --json --port --raw --timeout --version -h"

# With the real program: its commands and options, and the COM numbers its "ports" lists.
check "$commands" ''
check "status" st
check "all-off all-on" all
check "$commands" --port 2 ''
check "$commands" --port = 2 ''
check "$commands" --timeout 300 --json ''
contains "$options" -
contains "--json" status --j
check "11 2" --port ''
check "11 2" --port =
check "11" --port = 1
check "11" --port 1
check "11" --json --port 1
check "$relays" on ''
check "$relays" --port 11 toggle 3 ''
check "1 10 11 12 13 14 15 16" off 1
check "$relays" pulse ''
check "" pulse 5 ''
check "" set ''
check "" --timeout ''

# A drift check: the lists the completion falls back on are the program's own.
real_commands=$(_usb16relay_ctl_commands "$ctl" | sort | paste -sd' ' -)
fallback_commands=$(_usb16relay_ctl_commands /nonexistent/usb16relay-ctl | sort | paste -sd' ' -)
[ "$real_commands" = "$commands" ] ||
    { echo "FAIL: usb16relay-ctl --help lists the commands \"$real_commands\", wanted \"$commands\"" >&2; failures=$((failures + 1)); }
[ "$real_commands" = "$fallback_commands" ] ||
    { echo "FAIL: the completion's own command list \"$fallback_commands\" differs from --help's \"$real_commands\": update it in $completion" >&2; failures=$((failures + 1)); }
real_options=$(_usb16relay_ctl_options "$ctl" | sort | paste -sd' ' -)
fallback_options=$(_usb16relay_ctl_options /nonexistent/usb16relay-ctl | sort | paste -sd' ' -)
[ "$real_options" = "$fallback_options" ] ||
    { echo "FAIL: the completion's own option list \"$fallback_options\" differs from --help's \"$real_options\": update it (and the options that take a value) in $completion" >&2; failures=$((failures + 1)); }

# Without a program to ask, every character device behind the table counts, /dev/null too.
program=/nonexistent/usb16relay-ctl
check "$commands" ''
check "11 2 5" --port ''

# --device offers serial devices, never the files of the current directory; a path typed from /
# is completed as a path.
devices=$(for path in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM*; do [ -e "$path" ] && echo "$path"; done | sort | paste -sd' ' -)
pushd "$ports" >/dev/null || exit 1
check "$devices" --device ''
check "/dev/null" --device /dev/nul
popd >/dev/null || exit 1

if [ "$failures" -ne 0 ]; then
    echo "$failures completion check(s) failed" >&2
    exit 1
fi
echo "completion: all checks passed"
