#!/usr/bin/env bash
# docs/node-red-flow.json in real Node-RED (from npm, in NODE_RED_DIR/node_modules: see
# scripts/install-deps.sh test) against the service of scripts/try-service.sh: the flow's injects
# switch and pulse the greenhouse board, and the flow sees the states the board reported.
# Usage: nodered.sh PATH/try-service.sh BUILD_DIR FLOW NODE_RED_DIR
# Exits 77 (skipped) where node or npm is missing.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/tryservice-rig.sh"

{ command -v node && command -v npm; } >/dev/null ||
    { echo "nodered: no node or npm (scripts/install-deps.sh test installs them)" >&2 && exit 77; }
red="$4/node_modules/node-red/red.js"
[ -f "$red" ] || fail "no Node-RED in $4/node_modules: run scripts/install-deps.sh test"

rig_start "$1" "$2"
# The flow as a person imports it, with the broker's port set to this one.
sed "s/\"port\": \"1883\"/\"port\": \"$rig_mqtt\"/" "$3" >"$rig_dir/flows.json"
grep -q "\"port\": \"$rig_mqtt\"" "$rig_dir/flows.json" || fail "no broker port 1883 in $3"
port=$(node -e 'const s = require("net").createServer().listen(0, "127.0.0.1",
    () => { console.log(s.address().port); s.close(); });')
log="$rig_dir/node-red.log"
node "$red" --settings "$4/settings.js" --userDir "$rig_dir/node-red" --port "$port" \
    "$rig_dir/flows.json" >"$log" 2>&1 &
red_pid=$!
finish() {
    local status=$?
    kill -TERM "$red_pid" 2>/dev/null || true
    wait "$red_pid" 2>/dev/null || true
    [ "$status" -eq 0 ] || { echo "Node-RED's log:" && tail -n 40 "$log"; } >&2
    rig_cleanup
}
trap finish EXIT

logged() { grep -q -- "$1" "$log"; }
last_is() { [ "$(grep -o "$1: [a-z]*" "$log" | tail -n 1)" = "$1: $2" ]; } # NAME true|false
switched() { [ "$(switches greenhouse)" = "$1" ]; }
inject() {
    curl -fsS --max-time "$patience" -X POST "http://127.0.0.1:$port/inject/usb16relay-$1" \
        >/dev/null || fail "Node-RED did not take the inject $1"
}

wait_for "Node-RED to connect to the broker" logged 'Connected to broker'
wait_for "the flow to receive the board's state" logged '\[debug:Greenhouse relays\]'
# A board not read yet, as the service publishes it (and ignores from another service).
mosquitto_pub -h 127.0.0.1 -p "$rig_mqtt" -t usb16relay/greenhouse/state \
    -m '{"online":false,"read_at":null}'
wait_for "the flow to pass the offline state on" logged 'online: false, read_at: null, relays: null'
inject pump-on
wait_for "the board to receive 01+//" switched '01+//'
wait_for "the flow to see the Pump on, by the service's name for it" last_is Pump true
inject fan-pulse
wait_for "the flow to hold back a pulse on the Fan while the Pump is on" \
    logged 'Fan not pulsed: Pump is on'
inject pump-off
wait_for "the board to receive 01-//" switched '01+//01-//'
wait_for "the flow to see the Pump off" last_is Pump false
inject fan-pulse
wait_for "the board to receive the pulse, on then off" switched '01+//01-//02+//02-//'
logged 'Fan: true' || fail "the flow never saw the Fan on during its pulse"
wait_for "the flow to see the Fan off after its pulse" last_is Fan false
echo "nodered: the flow switched and pulsed the board, saw its states by name, offline too"
