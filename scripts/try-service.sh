#!/usr/bin/env bash
# usb16relayd in one command: a private mosquitto on a free loopback port, two simulated boards
# and the service with MQTT and HTTP on 127.0.0.1, configured from docs/try-service.conf.
# Ctrl-C (or SIGTERM) stops everything and removes every file it made.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
me=try-service.sh
patience=30 # seconds any piece may take to come up, or to stop

usage() {
    cat <<EOF
usage: scripts/try-service.sh [--no-build BUILD_DIR]
Installs what is missing (scripts/install-deps.sh service), builds usb16relayd, usb16relay-sim
and usb16relay-ctl into build/ (as scripts/run.sh does), then starts, each in a private temporary
directory and on loopback only:
  - mosquitto on a free port,
  - two simulated boards, greenhouse and workshop (usb16relay-sim on pseudo-terminals),
  - usb16relayd with the configuration docs/try-service.conf: MQTT on that broker, the HTTP API
    and the web page on 127.0.0.1 on another free port.
It prints the page's address and the commands to try, then waits. Ctrl-C stops everything and
removes the temporary directory; exit status 130 (143 on SIGTERM). A piece that fails to start
or ends on its own is named, with the end of its log, and the status is 1; a bad argument
gives 2.

  --no-build BUILD_DIR   install and build nothing: use the programs already built in
                         BUILD_DIR (for tests, and for a build of your own)
  -h, --help             this text
EOF
}

build=""
while [ $# -gt 0 ]; do
    case $1 in
    -h | --help)
        usage
        exit 0
        ;;
    --no-build)
        if [ $# -lt 2 ]; then
            echo "$me: --no-build needs the build directory" >&2
            exit 2
        fi
        build=$(cd "$2" && pwd)
        shift 2
        ;;
    *)
        echo "$me: unknown argument '$1'" >&2
        usage >&2
        exit 2
        ;;
    esac
done

if [ -z "$build" ]; then
    build="$root/build"
    "$root/scripts/install-deps.sh" service ||
        { echo "$me: installing the Debian packages failed (see above)" >&2 && exit 1; }
    { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release &&
        cmake --build "$build" -j2 --target usb16relayd usb16relay-sim usb16relay-ctl; } ||
        { echo "$me: building into $build failed (see above)" >&2 && exit 1; }
fi

daemon="$build/daemon/usb16relayd"
sim="$build/sim/usb16relay-sim"
ctl="$build/ctl/usb16relay-ctl"
mosquitto=/usr/sbin/mosquitto
for program in "$daemon" "$sim" "$ctl"; do
    if [ ! -x "$program" ]; then
        echo "$me: $program is missing: build it (cmake --build $build --target" \
            "${program##*/}), or run scripts/try-service.sh without --no-build" >&2
        exit 1
    fi
done
if [ ! -x "$mosquitto" ]; then
    echo "$me: $mosquitto is missing (scripts/install-deps.sh service installs it)" >&2
    exit 1
fi
for tool in mosquitto_sub mosquitto_pub curl; do
    if ! command -v "$tool" >/dev/null; then
        echo "$me: $tool is missing (scripts/install-deps.sh service installs it)" >&2
        exit 1
    fi
done

# Every piece runs in a session of its own, so that Ctrl-C reaches this script alone and the
# pieces stop in order: the service first (it switches back running pulses and says offline on
# the broker), then the boards, then the broker.
pids=()
pieces=()
logs=()
work=""

stop_all() {
    trap '' INT TERM HUP
    local i pid
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        [ -n "$pid" ] || continue # already ended and reaped
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq $((patience * 10))); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "$me: ${pieces[i]} did not stop within $patience s of SIGTERM; killed" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
        wait "$pid" 2>/dev/null || true
    done
    if [ -n "$work" ]; then
        rm -rf "$work"
    fi
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

work=$(mktemp -d "${TMPDIR:-/tmp}/usb16relay-try.XXXXXX")
mkdir "$work/ports"

start() { # NAME LOG COMMAND...
    pieces+=("$1")
    logs+=("$2")
    shift 2
    setsid "$@" </dev/null >>"${logs[-1]}" 2>&1 &
    pids+=($!)
}

# Says which piece failed and how, with the end of its log, and exits 1.
fail() { # INDEX WHAT
    local i=$1
    echo "$me: ${pieces[i]} $2" >&2
    if [ -s "${logs[i]}" ]; then
        echo "$me: the last lines of its log:" >&2
        tail -n 15 "${logs[i]}" | sed 's/^/    /' >&2
    fi
    exit 1
}

# Waits until COMMAND succeeds, as long as the piece at INDEX runs.
await() { # INDEX WHAT COMMAND...
    local i=$1 what=$2 status deadline=$((SECONDS + patience))
    shift 2
    while [ "$SECONDS" -lt "$deadline" ]; do
        "$@" && return 0
        if ! kill -0 "${pids[i]}" 2>/dev/null; then
            status=0
            wait "${pids[i]}" || status=$?
            pids[i]=""
            fail "$i" "ended with status $status before $what"
        fi
        sleep 0.1
    done
    fail "$i" "did not come up within $patience s: $what did not happen"
}

listening() { (: <>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

free_port() {
    local port
    for _ in $(seq 100); do
        port=$((20000 + RANDOM % 12000))
        if ! listening "$port"; then
            echo "$port"
            return 0
        fi
    done
    echo "$me: found no free port on 127.0.0.1 between 20000 and 32000" >&2
    return 1
}

# The broker.
mqtt_port=$(free_port)
cat >"$work/mosquitto.conf" <<EOF
persistence false
log_dest stdout
set_tcp_nodelay true
user $(id -un)
listener $mqtt_port 127.0.0.1
allow_anonymous true
EOF
start "mosquitto (the broker, port $mqtt_port)" "$work/mosquitto.log" \
    "$mosquitto" -c "$work/mosquitto.conf"
await 0 "listening on port $mqtt_port" listening "$mqtt_port"

# The boards: COM1 and COM2 in a port directory of their own.
board_ids=(greenhouse workshop)
for n in 1 2; do
    id=${board_ids[n - 1]}
    start "the simulated board $id" "$work/$id.log" \
        "$sim" --link "$work/ports/COM$n" --byte-log "$work/$id.bytes"
    await "$n" "making its port $work/ports/COM$n" test -L "$work/ports/COM$n"
done

# The service.
http_port=$(free_port)
config=$(<"$root/docs/try-service.conf")
config=${config//@MQTT_PORT@/$mqtt_port}
config=${config//@HTTP_PORT@/$http_port}
config=${config//@PORT_DIR@/"$work/ports"}
printf '%s\n' "$config" >"$work/usb16relayd.conf"
start "usb16relayd (the service)" "$work/usb16relayd.log" \
    "$daemon" --config "$work/usb16relayd.conf" --socket "$work/http.sock"
page="http://127.0.0.1:$http_port/"

both_online() {
    local boards
    boards=$(curl -fsS --max-time 2 "${page}api/v1/boards" 2>/dev/null) || return 1
    [ "$(grep -o '"online":true' <<<"$boards" | wc -l)" -eq 2 ]
}
both_published() {
    local states
    states=$(mosquitto_sub -h 127.0.0.1 -p "$mqtt_port" -t 'usb16relay/+/state' -v -C 2 -W 2 \
        2>/dev/null) || return 1
    grep -q '^usb16relay/greenhouse/state ' <<<"$states" &&
        grep -q '^usb16relay/workshop/state ' <<<"$states"
}
await 3 "serving both boards online on $page" both_online
await 3 "publishing both boards' states on the broker" both_published

# usb16relay-ctl reaches the boards the service holds through its socket.
q() { printf '%q' "$1"; }
ctl_lines="  $(q "$ctl") --socket $(q "$work/http.sock") ports
  $(q "$ctl") --socket $(q "$work/http.sock") --board greenhouse on Pump
  $(q "$ctl") --socket $(q "$work/http.sock") --board greenhouse status"

pub="mosquitto_pub -h 127.0.0.1 -p $mqtt_port -q 1 -t usb16relay"
cat <<EOF

usb16relayd serves two simulated boards: greenhouse (relays 1 Pump, 2 Fan, 3 Heater, 4 Mister,
5 and 6 Lamps; Pump and Fan never on together, nor Heater and Mister) and workshop (1 Saw,
2 Extractor, 3 Lights, 4 Compressor).

The page:  $page

Everything the service publishes, as read from the boards:
  mosquitto_sub -h 127.0.0.1 -p $mqtt_port -v -t 'usb16relay/#'
Switch the Pump on, then the Fan (the interlock switches the Pump off first):
  $pub/greenhouse/relay/1/set -m ON
  $pub/greenhouse/relay/2/set -m ON
Pulse the workshop's Lights for two seconds; set a whole board at once:
  $pub/workshop/relay/3/pulse -m 2000
  $pub/workshop/mask/set -m C000
The same over HTTP:
  curl ${page}api/v1/boards
  curl -X PUT -d '{"on":true}' ${page}api/v1/boards/greenhouse/relays/1
  curl -X POST -d '{"ms":2000}' ${page}api/v1/boards/workshop/relays/3/pulse
EOF
if [ -n "$ctl_lines" ]; then
    printf 'From scripts:\n%s\n' "$ctl_lines"
fi
cat <<EOF
What each board receives, and the logs:
  tail -f $(q "$work/greenhouse.log")
  ls $(q "$work")
Node-RED: docs/node-red.md (import docs/node-red-flow.json; broker 127.0.0.1, port $mqtt_port).

$me: ready (page $page, broker 127.0.0.1:$mqtt_port, files in $work); Ctrl-C stops everything
EOF

# Runs until a signal ends the script or a piece ends on its own.
while :; do
    ended=""
    status=0
    wait -n -p ended "${pids[@]}" || status=$?
    for i in "${!pids[@]}"; do
        if [ "${pids[i]}" = "$ended" ]; then
            pids[i]=""
            fail "$i" "ended on its own with status $status"
        fi
    done
    echo "$me: lost track of the pieces (wait ended with status $status)" >&2
    exit 1
done
