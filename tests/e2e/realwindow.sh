#!/usr/bin/env bash
# Drives the real program in a real X window (its own Xvfb) against the simulated board, clicking
# and typing with xdotool and reading the indicators from the screen.
# Usage: tests/e2e/realwindow.sh PATH/usb16relay PATH/usb16relay-sim [SCREENSHOT.png]
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 PATH/usb16relay PATH/usb16relay-sim [SCREENSHOT.png]" >&2
    exit 2
fi
app=$1
sim=$2
screenshot=${3:-}
for tool in Xvfb xdotool xwininfo xprop openbox python3 timeout; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "realwindow: $tool is missing (scripts/install-deps.sh test installs it)" >&2
        exit 1
    fi
done
for binary in "$app" "$sim"; do
    [ -x "$binary" ] || { echo "realwindow: $binary is not an executable" >&2; exit 1; }
done

readonly title="Kestrow Quorvel"
readonly patience=20 # seconds to wait for anything to appear; never a pass/fail time
checks=0
tmp=$(mktemp -d "${TMPDIR:-/tmp}/realwindow.XXXXXX")
xvfb_pid=""
sim_pid=""
sim3_pid=""
app_pid=""
wm_pid=""

stop() {
    local pid=$1
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    stop "$app_pid"
    stop "$sim_pid"
    stop "$sim3_pid"
    stop "$wm_pid"
    stop "$xvfb_pid"
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

pass() {
    checks=$((checks + 1))
    echo "ok $checks - $1"
}
fail() {
    echo "FAIL - $1" >&2
    shift
    local line
    for line in "$@"; do
        echo "       $line" >&2
    done
    for log in "$tmp/app.out" "$tmp/sim.out"; do
        if [ -s "$log" ]; then
            echo "------ ${log##*/}" >&2
            cat "$log" >&2
        fi
    done
    exit 1
}
# True while the child has not ended (a finished child stays a zombie until waited for).
running() {
    local state
    state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) || return 1
    [ "$state" != Z ]
}

# Waits up to $patience seconds for process $1 to end; fails check $2 if it does not.
await_end() {
    for _ in $(seq $((patience * 10))); do
        running "$1" || return 0
        sleep 0.1
    done
    fail "$2" "expected it to end" "still running after ${patience} s"
}
# Prints the bytes received by the board, CR as \r, LF as \n, other unprintables as \xHH.
board_bytes() {
    python3 - "$tmp/bytes.log" <<'PYTHON'
import os
import sys

data = open(sys.argv[1], "rb").read() if os.path.exists(sys.argv[1]) else b""
names = {13: "\\r", 10: "\\n", 92: "\\\\"}
print("".join(names.get(b) or (chr(b) if 32 <= b < 127 else "\\x%02X" % b) for b in data))
PYTHON
}

# Screen reader: Xvfb keeps its framebuffer as an XWD file in $tmp/fb.
cat >"$tmp/screen.py" <<'PYTHON'
import struct
import sys
import zlib

GREEN, RED = (0, 192, 0), (255, 0, 0)


def load(path):
    with open(path, "rb") as f:
        data = f.read()
    head = struct.unpack(">25I", data[:100])
    header_size, byte_order, bits_per_pixel, bytes_per_line = head[0], head[7], head[11], head[12]
    masks, colours = head[14:17], head[19]
    start = header_size + 12 * colours
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"
    shifts = [(m & -m).bit_length() - 1 for m in masks]

    def pixel(x, y):
        offset = start + y * bytes_per_line + x * step
        value = int.from_bytes(data[offset:offset + step], order)
        return tuple((value & m) >> s for m, s in zip(masks, shifts))

    return pixel


def indicators(pixel, left, top):
    letters, details = "", []
    for relay in range(1, 17):
        x0 = left + (96 if relay <= 8 else 288)
        y0 = top + 48 + 40 * ((relay - 1) % 8)
        seen = {}
        for y in range(y0, y0 + 33):
            for x in range(x0, x0 + 57):
                colour = pixel(x, y)
                seen[colour] = seen.get(colour, 0) + 1
        if seen == {GREEN: 57 * 33}:
            letters += "G"
        elif seen == {RED: 57 * 33}:
            letters += "R"
        else:
            letters += "?"
            common = sorted(seen.items(), key=lambda item: -item[1])[:3]
            details.append("relay %d: %s" % (relay, ", ".join(
                "RGB%s x%d" % (c, n) for c, n in common)))
    print(letters + ("  (" + "; ".join(details) + ")" if details else ""))


def dark(pixel, left, top, width, height):
    print(sum(1 for y in range(top, top + height) for x in range(left, left + width)
              if max(pixel(x, y)) < 128))


def png(pixel, left, top, width, height, path):
    rows = b"".join(b"\0" + bytes(v for x in range(left, left + width) for v in pixel(x, top + y))
                    for y in range(height))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


command, path, numbers = sys.argv[1], sys.argv[2], [int(a) for a in sys.argv[3:7]]
pixel = load(path)
if command == "indicators":
    indicators(pixel, *numbers[:2])
elif command == "dark":
    dark(pixel, *numbers)
elif command == "png":
    png(pixel, *numbers, sys.argv[7])
PYTHON

# Opens the port like a second program would, asks the board and prints its answer in hex.
cat >"$tmp/ask.py" <<'PYTHON'
import os
import select
import sys
import time
import tty

fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
tty.setraw(fd)
os.write(fd, b"ask//")
answer, deadline = b"", time.monotonic() + float(sys.argv[2])
while len(answer) < 2 and time.monotonic() < deadline:
    if select.select([fd], [], [], 0.1)[0]:
        answer += os.read(fd, 16)
os.close(fd)
print(answer.hex())
PYTHON

# --- X server -----------------------------------------------------------------------------------
mkdir -m 700 "$tmp/fb" "$tmp/xdg"
Xvfb -displayfd 3 -screen 0 800x600x24 -fbdir "$tmp/fb" -nolisten tcp -noreset -nocursor \
    3>"$tmp/display" >"$tmp/xvfb.out" 2>&1 &
xvfb_pid=$!
display=""
for _ in $(seq $((patience * 10))); do
    display=$(head -n1 "$tmp/display")
    [ -n "$display" ] && [ -s "$tmp/fb/Xvfb_screen0" ] && break
    running "$xvfb_pid" || break
    sleep 0.1
done
[ -n "$display" ] || fail "Xvfb did not start" "$(cat "$tmp/xvfb.out")"
export DISPLAY=":$display"
unset WAYLAND_DISPLAY QT_IM_MODULE XMODIFIERS
export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$tmp/xdg"
echo "# Xvfb on display $DISPLAY"

# --- board and program --------------------------------------------------------------------------
link="$tmp/ports/COM1"
"$sim" --quiet --link "$link" --state 8140 --byte-log "$tmp/bytes.log" >"$tmp/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq $((patience * 10))); do
    [ -L "$link" ] && break
    running "$sim_pid" || break
    sleep 0.1
done
[ -L "$link" ] || fail "the simulated board did not make its port $link"
pass "simulated board is up at COM1 with relays 1, 8, 10 on"
link3="$tmp/ports/COM3"
"$sim" --quiet --link "$link3" --silent --byte-log "$tmp/bytes3.log" >"$tmp/sim3.out" 2>&1 &
sim3_pid=$!
for _ in $(seq $((patience * 10))); do
    [ -L "$link3" ] && break
    running "$sim3_pid" || break
    sleep 0.1
done
[ -L "$link3" ] || fail "the second simulated board did not make its port $link3"
pass "a second simulated board, silent, is up at COM3"

USB16RELAY_PORT_DIR="$tmp/ports" "$app" >"$tmp/app.out" 2>&1 &
app_pid=$!

window=$(timeout "$patience" xdotool search --sync --onlyvisible --name "^$title\$" 2>/dev/null |
    head -n1) || true
[ -n "$window" ] || {
    running "$app_pid" || fail "usb16relay ended before showing its window"
    fail "no visible window titled \"$title\" within ${patience} s"
}
pass "window \"$title\" is shown (id $window)"

# The top-left corner, so that a report box kept to the right of x = 400 never covers it.
xdotool windowmove --sync "$window" 0 0 || true
geometry=$(xwininfo -id "$window")
field() { sed -n "s/^ *$1: *//p" <<<"$geometry"; }
win_x=$(field "Absolute upper-left X")
win_y=$(field "Absolute upper-left Y")
size="$(field Width)x$(field Height)"
[ "$size" = 510x521 ] || fail "window size" "expected 510x521" "seen     $size"
pass "window client area is 510x521"

# --- checks ---------------------------------------------------------------------------------------
expected_bytes=""
# Waits until the board has received exactly $expected_bytes.
expect_bytes() {
    local seen=""
    for _ in $(seq $((patience * 10))); do
        seen=$(board_bytes)
        [ "$seen" = "$expected_bytes" ] && break
        sleep 0.1
    done
    [ "$seen" = "$expected_bytes" ] ||
        fail "$1" "expected the board to have received \"$expected_bytes\"" \
            "seen                                 \"$seen\""
    pass "$1"
}
# Waits until the indicators on screen read $1 (G green, R red, relay 1 first).
expect_indicators() {
    local seen=""
    for _ in $(seq $((patience * 5))); do
        seen=$(python3 "$tmp/screen.py" indicators "$tmp/fb/Xvfb_screen0" "$win_x" "$win_y")
        [ "$seen" = "$1" ] && break
        sleep 0.2
    done
    [ "$seen" = "$1" ] ||
        fail "$2" "expected indicators $1 (relay 1..16, G = green 0,192,0, R = red 255,0,0)" \
            "seen                $seen"
    pass "$2"
}
# Clicks the middle of the control at client-area rect x y w h.
click() {
    xdotool mousemove --window "$window" $(($1 + $3 / 2)) $(($2 + $4 / 2)) click 1
}
reply_log_dark_pixels() {
    python3 "$tmp/screen.py" dark "$tmp/fb/Xvfb_screen0" $((win_x + 100)) $((win_y + 404)) 220 105
}

expected_bytes="ask//ask//"
expect_bytes "start-up asked the board twice: ask//ask//"
expect_indicators GRRRRRRGRGRRRRRR "indicators show relays 1, 8, 10 green, the other 13 red"
if [ -n "$screenshot" ]; then
    python3 "$tmp/screen.py" png "$tmp/fb/Xvfb_screen0" "$win_x" "$win_y" 510 521 "$screenshot"
    echo "# screenshot: $screenshot"
fi
[ "$(board_bytes)" = "$expected_bytes" ] ||
    fail "nothing more is sent while idle" "expected \"$expected_bytes\"" "seen     \"$(board_bytes)\""
pass "nothing more is sent while idle"

# Return presses the focused button: Tab from the port field reaches Ask.
click 8 8 81 21 # port field
xdotool key Tab Return
expected_bytes+="ask//"
expect_bytes "Return on the focused Ask button asks the board"

# Type another listed port into the field, then click a relay button: typing connects nothing,
# and the click that leaves the field acts at once, once.
click 8 8 81 21 # port field
xdotool key ctrl+a
xdotool type --delay 30 "3"
click 8 208 81 33 # Relay 5
expected_bytes+="05+//ask//"
expect_bytes "with 3 typed in the port field, one click on Relay 5 sends 05+// then ask//"
[ ! -s "$tmp/bytes3.log" ] ||
    fail "typing a port connects nothing" "expected COM3 to have received nothing" \
        "seen $(od -An -c "$tmp/bytes3.log" | head -c 80)"
pass "typing a port and clicking elsewhere connects nothing (COM3 received nothing)"
expect_indicators GRRRGRRGRGRRRRRR "relay 5 turns green"

click 8 48 81 33 # Relay 1
expected_bytes+="01-//ask//"
expect_bytes "Relay 1 (green) sends 01-// then ask//"
expect_indicators RRRRGRRGRGRRRRRR "relay 1 turns red"

click 8 408 81 33 # All Off
expected_bytes+="off//ask//"
expect_bytes "All Off sends off// then ask//"
expect_indicators RRRRRRRRRRRRRRRR "all 16 indicators are red"

dark_before=$(reply_log_dark_pixels)
[ "$dark_before" -eq 0 ] ||
    fail "reply log is empty before Send" "expected no text pixels" "seen $dark_before"
pass "reply log is empty before Send"
click 96 368 185 25 # send box
xdotool type --delay 30 "ask//"
click 288 368 57 25 # Send
expected_bytes+="ask//\\r"
expect_bytes "Send writes the typed ask// with CR"
dark_after=0
for _ in $(seq $((patience * 5))); do
    dark_after=$(reply_log_dark_pixels)
    [ "$dark_after" -gt 0 ] && break
    sleep 0.2
done
[ "$dark_after" -gt 0 ] ||
    fail "the board's reply appears in the reply log" "expected text pixels" "seen none"
pass "the board's reply appears in the reply log"

# A board that stops answering is reported, in a window of its own beside the main one.
report_windows() {
    xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | grep -v -x "$window" || true
}
[ -z "$(report_windows)" ] || fail "no report while the board answers" "expected none" \
    "seen window $(report_windows)"
kill -STOP "$sim_pid"
click 200 8 81 33 # Ask
report=""
for _ in $(seq $((patience * 10))); do
    report=$(report_windows | head -n1)
    [ -n "$report" ] && break
    sleep 0.1
done
kill -CONT "$sim_pid"
[ -n "$report" ] || fail "a silent board is reported" "expected a report window" "seen none"
pass "a silent board is reported (window $report)"
xdotool windowmove "$report" 0 540 # off the main window, which the checks below read and click
expect_indicators RRRRRRRRRRRRRRRR "the indicators keep the last state read"
xdotool windowmove "$report" 420 0 # beside the window from now on, as reports grow

click 8 128 81 33 # Relay 3
expect_indicators RRGRRRRRRRRRRRRR "the board answers again: Relay 3 turns green"

# Another port, whose board is silent: the indicators show no other board's state.
click 8 8 81 21 # port field
xdotool key ctrl+a type --delay 30 "3"
click 96 8 57 25 # Connect
expect_indicators RRRRRRRRRRRRRRRR "Connect to silent COM3: the indicators go back to unread red"
com3_bytes() { od -An -c "$tmp/bytes3.log" 2>/dev/null | tr -d ' \n'; }
for _ in $(seq $((patience * 10))); do
    [ "$(com3_bytes)" = "ask//ask//" ] && break
    sleep 0.1
done
[ "$(com3_bytes)" = "ask//ask//" ] ||
    fail "COM3 is asked twice" "seen $(od -An -c "$tmp/bytes3.log" | head -c 80)"
pass "COM3 is asked twice, and COM1's colours are gone"

# Twenty-five failures more: the report box stays on the 800x600 screen, OK by keyboard.
for i in $(seq 1 25); do
    xdotool mousemove --window "$window" 48 18 click 1 key ctrl+a type "x$i"
    xdotool mousemove --window "$window" 124 20 click 1
done
box=""
for _ in $(seq $((patience * 10))); do
    box=$(xwininfo -id "$report" 2>/dev/null) || true
    # The last failure is in once the box has grown past a few entries.
    [ -n "$box" ] && [ "$(sed -n 's/^ *Height: *//p' <<<"$box")" -gt 300 ] && break
    sleep 0.1
done
box_x=$(sed -n 's/^ *Absolute upper-left X: *//p' <<<"$box")
box_y=$(sed -n 's/^ *Absolute upper-left Y: *//p' <<<"$box")
box_w=$(sed -n 's/^ *Width: *//p' <<<"$box")
box_h=$(sed -n 's/^ *Height: *//p' <<<"$box")
[ -n "$box_h" ] && [ "$box_x" -ge 0 ] && [ "$box_y" -ge 0 ] &&
    [ $((box_x + box_w)) -le 800 ] && [ $((box_y + box_h)) -le 600 ] ||
    fail "a report of 25 failures fits the 800x600 screen" \
        "seen ${box_w}x${box_h} at ${box_x},${box_y}"
pass "a report of 27 failures fits the screen (${box_w}x${box_h} at ${box_x},${box_y})"
xdotool windowfocus --sync "$report" key Return
for _ in $(seq $((patience * 10))); do
    [ -z "$(report_windows)" ] && break
    sleep 0.1
done
[ -z "$(report_windows)" ] || fail "Return on the report presses OK" "the report is still shown"
pass "Return on the report presses OK"

pty=$(readlink -f "$link")
click 288 8 57 33 # Exit
await_end "$app_pid" "Exit ends the program"
status=0
wait "$app_pid" || status=$?
app_pid=""
[ "$status" -eq 0 ] || fail "Exit ends the program with status 0" "expected 0" "seen $status"
pass "Exit ends the program with status 0"

holders=()
while IFS= read -r fd; do
    pid=${fd#/proc/}
    pid=${pid%%/*}
    [ "$pid" = "$sim_pid" ] || holders+=("$pid")
done < <(find /proc/[0-9]*/fd -maxdepth 1 -lname "$pty" 2>/dev/null || true)
[ ${#holders[@]} -eq 0 ] ||
    fail "the port is released" "expected only the board to hold $pty" "seen pids ${holders[*]}"
running "$sim_pid" || fail "the board outlives the program" "expected it running" "seen it ended"
answer=$(python3 "$tmp/ask.py" "$link" "$patience") ||
    fail "the port opens again after Exit" "expected to open $link" "seen an error"
[ "$answer" = 2000 ] ||
    fail "the port opens again after Exit" "expected the board to answer 2000 (relay 3 on)" \
        "seen \"$answer\""
pass "the port is released: only the board holds it, and it opens and answers again"

kill -TERM "$sim_pid"
await_end "$sim_pid" "the board stops on SIGTERM"
status=0
wait "$sim_pid" || status=$?
sim_pid=""
[ "$status" -eq 0 ] || fail "the board stops on SIGTERM with status 0" "expected 0" "seen $status"
if [ -e "$link" ] || [ -L "$link" ]; then
    fail "the board removes its link on SIGTERM" "expected $link gone" "seen it still there"
fi
pass "the board stops on SIGTERM and removes its link"

# Under a window manager, at twice the scale: a report raised while the program starts (COM3,
# the only port left, is silent) is stacked above the window, which maps after it.
openbox --sm-disable >"$tmp/openbox.out" 2>&1 &
wm_pid=$!
for _ in $(seq $((patience * 10))); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done
QT_SCALE_FACTOR=2 USB16RELAY_PORT_DIR="$tmp/ports" "$app" >"$tmp/app.out" 2>&1 &
app_pid=$!
ids=()
for _ in $(seq $((patience * 10))); do
    mapfile -t ids < <(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null || true)
    [ ${#ids[@]} -eq 2 ] && break
    sleep 0.1
done
[ ${#ids[@]} -eq 2 ] || fail "the window and its start-up report are shown" "seen ${#ids[@]} windows"
main="" startup_report=""
for id in "${ids[@]}"; do
    if xprop -id "$id" _NET_WM_WINDOW_TYPE | grep -q DIALOG; then
        startup_report=$(printf '0x%x' "$id")
    else
        main=$(printf '0x%x' "$id")
    fi
done
order=""
for _ in $(seq $((patience * 10))); do
    # Bottom to top; both mapped and managed once both are listed.
    order=$(xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //' | tr -d ' ')
    [[ ",$order," == *",$main,"* && ",$order," == *",$startup_report,"* ]] && break
    sleep 0.1
done
[[ ",$order," == *",$main,"*"$startup_report,"* ]] ||
    fail "a report raised during start-up is stacked above the window" \
        "window $main, report $startup_report" "stacking, bottom to top: $order"
pass "a report raised during start-up is stacked above the window"

echo "realwindow: $checks passed, 0 failed"
