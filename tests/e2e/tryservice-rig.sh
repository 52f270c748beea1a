# Sourced by the tests that run scripts/try-service.sh: rig_start runs it against the built
# programs, its temporary files under $rig_dir/tmp, and reads its ready line.
# shellcheck shell=bash disable=SC2034 # rig_* are read by the tests that source this

patience=30 # seconds to wait for anything; never a pass/fail time
rig_dir=$(mktemp -d "${TMPDIR:-/tmp}/tryservice-test.XXXXXX")
rig_pid=""
rig_cleanup() {
    rig_stop TERM >/dev/null 2>&1 || true
    rm -rf "$rig_dir"
}
trap rig_cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
wait_for() { # WHAT COMMAND...
    local deadline=$((SECONDS + patience))
    while [ "$SECONDS" -lt "$deadline" ]; do
        "${@:2}" && return 0
        sleep 0.1
    done
    fail "waited $patience s for $1"
}

rig_start() { # TRY_SERVICE BUILD_DIR
    mkdir -p "$rig_dir/tmp"
    : >"$rig_dir/out" # before the job starts: no ready line of an earlier run is read
    # In a job of its own: a script's background command ignores SIGINT, and bash cannot trap
    # a signal that was ignored when it started.
    set -m
    TMPDIR="$rig_dir/tmp" "$1" --no-build "$2" >"$rig_dir/out" 2>"$rig_dir/err" &
    rig_pid=$!
    set +m
    wait_for "try-service.sh's ready line" grep -q 'ready (' "$rig_dir/out"
    local ready pattern='\(page ([^,]+), broker 127\.0\.0\.1:([0-9]+), files in ([^)]+)\)'
    ready=$(grep 'ready (' "$rig_dir/out")
    [[ $ready =~ $pattern ]] || fail "try-service.sh's ready line has changed: $ready"
    rig_page=${BASH_REMATCH[1]} rig_mqtt=${BASH_REMATCH[2]} rig_files=${BASH_REMATCH[3]}
}

rig_ended() { ! kill -0 "$rig_pid" 2>/dev/null; }
rig_stop() { # SIGNAL; try-service.sh's status in rig_status
    [ -n "$rig_pid" ] || return 0
    kill -"$1" "$rig_pid" 2>/dev/null || true
    wait_for "try-service.sh to end on SIG$1" rig_ended
    rig_status=0
    wait "$rig_pid" || rig_status=$?
    rig_pid=""
}

rig_left_nothing() { # no process naming the script's directory, no file in it
    local processes
    processes=$(pgrep -af -- "$rig_dir/tmp") && fail "still running:"$'\n'"$processes"
    [ -z "$(ls -A "$rig_dir/tmp")" ] || fail "left behind: $(ls -A "$rig_dir/tmp")"
}

switches() { grep -o '[0-9][0-9][+-]//' "$rig_files/$1.bytes" | tr -d '\n'; }
