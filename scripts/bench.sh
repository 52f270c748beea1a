#!/usr/bin/env bash
# Builds Release into build-bench/, runs every benchmark and writes docs/PERFORMANCE.md.
# Takes about ten minutes; --soak adds the window soak (about five more). Timings are only
# worth keeping from a quiet machine: the report says when the load average was high.
# Usage: scripts/bench.sh [--soak]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
report=${REPORT:-$root/docs/PERFORMANCE.md}

soak=0
case "${1:-}" in
'') ;;
--soak) soak=1 ;;
*)
    echo "usage: $0 [--soak]" >&2
    exit 2
    ;;
esac

"$root/scripts/install-deps.sh" bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
targets=(bench_link bench_wait bench_startup bench_window bench_ctl bench_daemon)
[ "$soak" -eq 1 ] && targets+=(bench_soak)
targets+=(bench_http bench_fleet usb16relayd usb16relay-sim)
cmake --build "$build" -j2 --target "${targets[@]}"

out=$(mktemp -d "${TMPDIR:-/tmp}/usb16relay-bench.XXXXXX")
trap 'rm -rf "$out"' EXIT
export QT_QPA_PLATFORM=offscreen
failed=()
run() {
    local name=$1
    shift
    echo "== $name" >&2
    if ! "$@" >"$out/$name.out" 2>"$out/$name.err"; then
        failed+=("$name")
        tail -n 20 "$out/$name.err" >&2
    fi
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
run wait "$build/bench/bench_wait" 15
run link "$build/bench/bench_link" 20
run startup "$build/bench/bench_startup" 20
run window "$build/bench/bench_window" 1000 200 1000
run ctl "$build/bench/bench_ctl" 50
run daemon "$build/bench/bench_daemon" 200
run http "$build/bench/bench_http" 200
run fleet "$build/bench/bench_fleet" 20 5 40
run httpload bash "$root/bench/httpload.sh" "$build/daemon/usb16relayd" "$build/sim/usb16relay-sim" 5
[ "$soak" -eq 1 ] && run soak "$build/bench/bench_soak" 1000
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

outputs=("$out/wait.out" "$out/startup.out" "$out/window.out" "$out/ctl.out" "$out/daemon.out")
[ "$soak" -eq 1 ] && outputs+=("$out/soak.out")
outputs+=("$out/http.out" "$out/fleet.out" "$out/httpload.out")
mkdir -p "$(dirname "$report")"
python3 "$root/scripts/performance-report.py" --out "$report" \
    --command "scripts/bench.sh${1:+ $1}" --date "$(date -u '+%Y-%m-%d %H:%M UTC')" \
    --load-before "$load_before" --load-after "$load_after" \
    --link-output "$out/link.out" "${outputs[@]}"
echo "bench.sh: wrote $report"

if [ ${#failed[@]} -gt 0 ]; then
    echo "bench.sh: these benchmarks reported a fault: ${failed[*]}" >&2
    exit 1
fi
