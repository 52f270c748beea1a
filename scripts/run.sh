#!/usr/bin/env bash
# Builds usb16relay and starts it on the simulated board; closing the window stops both.
# Usage: scripts/run.sh [board options]   e.g. scripts/run.sh --state 8140 (relays 1, 8, 10 on)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

cleanup() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$ports"
}

case "${1:-}" in
-h | --help)
    cat <<EOF
usage: scripts/run.sh [board options]
Installs what is missing (scripts/install-deps.sh run), builds into build/, then starts
usb16relay on a simulated board at COM1. Close the window (or press Ctrl-C) to stop both.
Board options go to usb16relay-sim, e.g. --state 8140 (relays 1, 8 and 10 on), --slow 300 or
--silent; see build/sim/usb16relay-sim --help once built.
EOF
    exit 0
    ;;
esac

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<EOF
run.sh: no display: neither DISPLAY nor WAYLAND_DISPLAY is set.
usb16relay is a desktop program: it needs a graphical desktop session to show its window.
Run this from a terminal on your desktop (or over ssh -X).
To build and run the tests without a display, use scripts/test.sh.
EOF
    exit 1
fi

"$root/scripts/install-deps.sh" run
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2 --target usb16relay usb16relay-sim

sim_pid=""
ports=$(mktemp -d "${TMPDIR:-/tmp}/usb16relay-ports.XXXXXX")
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

link="$ports/COM1"
"$build/sim/usb16relay-sim" --link "$link" "$@" &
sim_pid=$!
for _ in $(seq 200); do
    [ -L "$link" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        status=0
        wait "$sim_pid" || status=$?
        sim_pid=""
        echo "run.sh: the simulated board ended with status $status before making $link" >&2
        echo "        (board options given: ${*:-none}; see usb16relay-sim --help)" >&2
        exit 1
    fi
    sleep 0.1
done
if [ ! -L "$link" ]; then
    echo "run.sh: the simulated board did not make its port $link within 20 s" >&2
    exit 1
fi

# Last command: its status is the script's (the EXIT trap keeps it).
USB16RELAY_PORT_DIR="$ports" "$build/app/usb16relay"
