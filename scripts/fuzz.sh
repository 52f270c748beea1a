#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for SECONDS on a copy of
# its seed corpus in fuzz/corpus/. Fails if any target finds a crash or a broken property; the
# input that did it is kept and its path printed.
# Usage: scripts/fuzz.sh [SECONDS]   (default: 30)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${1:-30}
case "$seconds" in
'' | *[!0-9]*)
    echo "usage: $0 [SECONDS]" >&2
    exit 2
    ;;
esac
targets=(decodestatus replytext linesettings boardlogic httprequest)

"$root/scripts/install-deps.sh" fuzz
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DUSB16RELAY_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

work=$(mktemp -d "${TMPDIR:-/tmp}/usb16relay-fuzz.XXXXXX")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "${targets[@]}"; do
    corpus="$work/corpus/$target"
    artifacts="$work/artifacts/$target"
    mkdir -p "$corpus" "$artifacts"
    cp -r "$root/fuzz/corpus/$target/." "$corpus/"
    echo "== fuzz_$target for ${seconds} s"
    if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" >"$work/$target.log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^Done' "$work/$target.log" || true
    else
        failed+=("$target")
        tail -n 40 "$work/$target.log" >&2
        echo "fuzz_$target failed; the input is in $artifacts/, the log in $work/$target.log" >&2
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: failures in: ${failed[*]} (kept in $work)" >&2
    exit 1
fi
rm -rf "$work"
echo "fuzz.sh: ${#targets[@]} targets ran ${seconds} s each without a failure"
