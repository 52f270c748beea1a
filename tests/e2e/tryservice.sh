#!/usr/bin/env bash
# scripts/try-service.sh as a person runs it, against the built programs: the page answers, a
# relay switches through MQTT, Ctrl-C leaves no process and no file behind, and a piece that
# ends on its own is named and ends the script with a failure.
# Usage: tryservice.sh PATH/try-service.sh BUILD_DIR
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/tryservice-rig.sh"

rig_start "$1" "$2"
page=$(curl -fsS --max-time "$patience" "$rig_page") || fail "the page $rig_page did not answer"
grep -q '<title>' <<<"$page" || fail "$rig_page did not answer with a page: $page"

mqtt=(-h 127.0.0.1 -p "$rig_mqtt")
mosquitto_pub "${mqtt[@]}" -q 1 -t usb16relay/workshop/relay/3/set -m ON
relay_reads_on() {
    [ "$(mosquitto_sub "${mqtt[@]}" -t usb16relay/workshop/relay/3 -C 1 -W 2)" = ON ]
}
wait_for "usb16relay/workshop/relay/3 to read ON" relay_reads_on
[ "$(switches workshop)" = "03+//" ] || fail "the workshop board received '$(switches workshop)'"

rig_stop INT
[ "$rig_status" -eq 130 ] || fail "try-service.sh ended with $rig_status on SIGINT, not 130"
rig_left_nothing

# The greenhouse board gone: named, status 1, and everything else stopped all the same.
rig_start "$1" "$2"
board=$(pgrep -f -- "$rig_files/ports/COM1") || fail "no simulated board on $rig_files/ports/COM1"
kill -KILL "$board"
wait_for "try-service.sh to end after its board did" rig_ended
rig_stop TERM
[ "$rig_status" -eq 1 ] || fail "try-service.sh ended with $rig_status when a board died, not 1"
grep -q 'the simulated board greenhouse ended on its own' "$rig_dir/err" ||
    fail "try-service.sh did not name the board that ended: $(cat "$rig_dir/err")"
rig_left_nothing
echo "tryservice: page, MQTT switch, SIGINT and a failed piece all as expected"
