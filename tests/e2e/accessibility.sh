#!/usr/bin/env bash
# Reads the running program the way a screen reader does, through AT-SPI on its own session bus
# and X server, against a simulated board: names, descriptions, and which changes are announced.
# Usage: tests/e2e/accessibility.sh PATH/usb16relay PATH/usb16relay-sim
# Exits 77 (skipped) when a tool it needs is missing; scripts/install-deps.sh test installs them.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 PATH/usb16relay PATH/usb16relay-sim" >&2
    exit 2
fi
app=$1
sim=$2
readonly launcher=/usr/libexec/at-spi-bus-launcher
readonly python=/usr/bin/python3 # the system's, which has pyatspi

skip() {
    echo "SKIP: accessibility: $1 (scripts/install-deps.sh test installs it)"
    exit 77
}
for tool in Xvfb dbus-run-session timeout; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is missing"
done
[ -x "$launcher" ] || skip "$launcher is missing (package at-spi2-core)"
[ -x "$python" ] && "$python" -c 'import pyatspi' 2>/dev/null ||
    skip "$python cannot import pyatspi (package python3-pyatspi)"
for binary in "$app" "$sim"; do
    [ -x "$binary" ] || { echo "accessibility: $binary is not an executable" >&2; exit 1; }
done

# Everything below runs on a session bus of its own.
if [ -z "${USB16RELAY_A11Y_BUS:-}" ]; then
    exec env USB16RELAY_A11Y_BUS=1 dbus-run-session -- bash "$0" "$@"
fi

readonly patience=20 # seconds to wait for anything to appear; never a pass/fail time
tmp=$(mktemp -d "${TMPDIR:-/tmp}/accessibility.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL - $1" >&2
    for log in "$tmp"/*.out; do
        [ -s "$log" ] && { echo "------ ${log##*/}" >&2; cat "$log" >&2; }
    done
    exit 1
}

mkdir -m 700 "$tmp/xdg"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$tmp/display" \
    >"$tmp/xvfb.out" 2>&1 &
pids+=($!)
display=""
for _ in $(seq $((patience * 10))); do
    display=$(head -n1 "$tmp/display")
    [ -n "$display" ] && break
    sleep 0.1
done
[ -n "$display" ] || fail "Xvfb did not start"
export DISPLAY=":$display" XDG_RUNTIME_DIR="$tmp/xdg"
unset WAYLAND_DISPLAY QT_IM_MODULE XMODIFIERS

"$launcher" --launch-immediately >"$tmp/atspi.out" 2>&1 &
pids+=($!)

link="$tmp/ports/COM1"
"$sim" --quiet --link "$link" --state 0800 >"$tmp/sim.out" 2>&1 & # relay 5 on
pids+=($!)
for _ in $(seq $((patience * 10))); do
    [ -L "$link" ] && break
    sleep 0.1
done
[ -L "$link" ] || fail "the simulated board did not make its port $link"

USB16RELAY_PORT_DIR="$tmp/ports" QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
    "$app" >"$tmp/app.out" 2>&1 &
app_pid=$!
pids+=("$app_pid")

"$python" - "$app_pid" "$patience" <<'PYTHON' || fail "the screen reader's view (see above)"
import sys
import time

import pyatspi
from gi.repository import GLib

app_pid, patience = int(sys.argv[1]), float(sys.argv[2])
checks = 0


def ok(what):
    global checks
    checks += 1
    print("ok %d - %s" % (checks, what))


def bad(what, seen):
    print("FAIL - %s\n       seen: %s" % (what, seen), file=sys.stderr)
    sys.exit(1)


def find_app():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        node = desktop.getChildAtIndex(i)
        try:
            if node is not None and node.get_process_id() == app_pid:
                return node
        except Exception:
            pass
    return None


def walk(node, found, depth=0):
    if node is None or depth > 12:
        return
    try:
        found.append((node.getRoleName(), node.name, node.description, node))
        for i in range(node.childCount):
            walk(node.getChildAtIndex(i), found, depth + 1)
    except Exception:
        pass


def tree():
    app, found = find_app(), []
    walk(app, found)
    return found


def named(found, name):
    return [entry for entry in found if entry[1] == name]


# Wait for the window, connected and read: relay 5 shown on.
deadline, found = time.monotonic() + patience, []
while time.monotonic() < deadline:
    found = tree()
    state = named(found, "Relay 5 state")
    if state and state[0][2] == "on":
        break
    time.sleep(0.3)
else:
    bad("the window's tree with relay 5 read as on", [(r, n, d) for r, n, d, _ in found][:40])
ok("the program's tree is read through AT-SPI")

for role, name in (("combo box", "Port"), ("text", "Command to send"),
                   ("text", "Replies from the board")):
    entries = [e for e in named(found, name) if e[0] == role]
    if not entries:
        bad('a %s named "%s"' % (role, name), [(r, n) for r, n, _, _ in found if r == role])
    ok('the %s is named "%s"' % (role, name))

for relay in range(1, 17):
    for name, role in (("Relay %d" % relay, "push button"),
                       ("Relay %d state" % relay, None),
                       ("Relay %d sequence position" % relay, None)):
        entries = named(found, name)
        if len(entries) != 1 or (role and entries[0][0] != role):
            bad('exactly one object named "%s"%s' % (name, " (%s)" % role if role else ""),
                [(r, n) for r, n, _, _ in entries])
ok('"Relay N" is the button alone; the indicator and the panel frame have names of their own')


def description(name):
    return named(tree(), name)[0][2]


expected = {"Relay 5": "Relay 5 is on; pressing switches it off", "Relay 5 state": "on",
            "Relay 6": "Relay 6 is off; pressing switches it on", "Relay 6 state": "off"}
for name, words in expected.items():
    if description(name) != words:
        bad('"%s" describes itself as "%s"' % (name, words), description(name))
ok("the buttons say the state and what pressing does; the indicators say on or off")

# Announcements: Ask with nothing changed announces nothing; Relay 5 announces relay 5 alone.
changes = []


def on_change(event):
    try:
        changes.append((time.monotonic(), event.source.name))
    except Exception:
        changes.append((time.monotonic(), "?"))


def press(name):
    node = named(tree(), name)[0][3]
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click"):
            action.doAction(i)
            return
    action.doAction(0)


pyatspi.Registry.registerEventListener(on_change, "object:property-change:accessible-description")
phase = {"ask_done": None, "start": time.monotonic()}


def step():
    now = time.monotonic()
    if phase["ask_done"] is None and now - phase["start"] > 0.2:
        press("Ask")
        # The refresh waits 300 ms for the answer; give it ample time, then switch relay 5.
        phase["ask_done"] = now + 2.0
    elif phase["ask_done"] is not None and now > phase["ask_done"] and "relay" not in phase:
        phase["relay"] = now
        press("Relay 5")
    elif "relay" in phase:
        names = {n for t, n in changes if t >= phase["relay"]}
        if {"Relay 5", "Relay 5 state"} <= names or now - phase["relay"] > patience:
            pyatspi.Registry.stop()
            return False
    return True


GLib.timeout_add(100, step)
pyatspi.Registry.start()
before = [n for t, n in changes if t < phase.get("relay", float("inf"))]
after = sorted(n for t, n in changes if t >= phase.get("relay", float("inf")))
if before:
    bad("Ask with nothing changed announces no description change", before)
ok("Ask with nothing changed announces nothing")
if after != ["Relay 5", "Relay 5 state"]:
    bad("Relay 5 announces the change of relay 5 alone (button and indicator)", after)
if description("Relay 5 state") != "off":
    bad('"Relay 5 state" reads "off" after the press', description("Relay 5 state"))
ok("pressing Relay 5 announces relay 5's button and indicator, and nothing else")
print("accessibility: %d passed, 0 failed" % checks)
PYTHON
