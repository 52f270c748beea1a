#!/usr/bin/env bash
# Measurements, not pass/fail: usb16relayd's HTTP transport under keep-alive load from wrk, on
# loopback only: GET /api/v1/boards at 1, 50 and 200 connections, then at 50 beside 64 open event
# streams. For each: requests per second, p50 and p99 latency, answers other than 200, the
# service's processor time and its thread count. Prints "info" lines for performance-report.py.
# Usage: bench/httpload.sh USB16RELAYD USB16RELAY_SIM [SECONDS]   (default 5 s a load)
set -euo pipefail

daemon=$1
sim=$2
seconds=${3:-5}
command -v wrk >/dev/null || { echo "httpload.sh: needs wrk (Debian package wrk)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/usb16relay-httpload.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/ports"
"$sim" --quiet --link "$work/ports/COM1" >"$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
"$daemon" --device "$work/ports/COM1" --id com1 --http "127.0.0.1:$port" >"$work/daemon.log" 2>&1 &
service=$!
pids+=("$service")
url="http://127.0.0.1:$port/api/v1/boards"
for _ in $(seq 100); do
    curl -sf "$url/com1" 2>/dev/null | grep -q '"online":true' && break
    sleep 0.1
done

# Counts the answers that are not 200.
cat >"$work/count.lua" <<'EOF'
local others = 0
response = function(status, headers, body)
    if status ~= 200 then others = others + 1 end
end
done = function(summary, latency, requests)
    local errors = summary.errors
    io.write(string.format("RESULT %.0f %.3f %.3f %d %d\n", summary.requests / (summary.duration / 1e6),
        latency:percentile(50) / 1000, latency:percentile(99) / 1000,
        summary.errors.status, errors.connect + errors.read + errors.write + errors.timeout))
end
EOF

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$service/stat"; }
threads() { awk '/^Threads:/ { print $2 }' "/proc/$service/status"; }

measure() {
    local id=$1 label=$2 connections=$3
    local before after result peak=0
    before=$(cpu_ticks)
    wrk -t"$((connections < 2 ? 1 : 2))" -c"$connections" -d"${seconds}s" --timeout 10s -s "$work/count.lua" "$url" \
        >"$work/wrk.out" 2>&1 &
    local load=$!
    while kill -0 "$load" 2>/dev/null; do
        local now
        now=$(threads)
        [ "$now" -gt "$peak" ] && peak=$now
        sleep 0.2
    done
    wait "$load" || true
    after=$(cpu_ticks)
    result=$(grep '^RESULT' "$work/wrk.out" || echo "RESULT 0 0 0 0 0")
    read -r _ rate p50 p99 others socket <<<"$result"
    local ticks
    ticks=$(getconf CLK_TCK)
    local cpu
    cpu=$(awk -v t=$((after - before)) -v hz="$ticks" -v s="$seconds" \
        'BEGIN { printf "%.0f", 100 * t / hz / s }')
    printf 'info\t%s\t%s: %s requests/s, p50 %s ms, p99 %s ms, %s answers other than 200, %s socket errors; the service used %s%% of one core and at most %s threads\n' \
        "$id" "$label" "$rate" "$p50" "$p99" "$others" "$socket" "$cpu" "$peak"
}

measure http_load_1 "GET /api/v1/boards, 1 keep-alive connection" 1
measure http_load_50 "GET /api/v1/boards, 50 keep-alive connections" 50
measure http_load_200 "GET /api/v1/boards, 200 keep-alive connections" 200

# 64 pages open on the event stream, then the same load beside them.
streams=()
for _ in $(seq 64); do
    curl -sN "http://127.0.0.1:$port/api/v1/events" >/dev/null 2>&1 &
    streams+=($!)
    pids+=($!)
done
sleep 1
measure http_load_streams "GET /api/v1/boards, 50 keep-alive connections beside 64 open event streams" 50
for pid in "${streams[@]}"; do kill "$pid" 2>/dev/null || true; done
