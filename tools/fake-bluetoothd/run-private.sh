#!/usr/bin/env bash
# Runs mivoble-fake-bluetoothd on a private bus for test suites (a ctest fixture uses it).
#
#   run-private.sh start DIR FAKE [FAKE-ARGS...]  start it; DIR/bus-address holds the bus address,
#                                                 DIR/env the line DBUS_SYSTEM_BUS_ADDRESS=...
#   run-private.sh exec DIR COMMAND [ARGS...]     run COMMAND with DBUS_SYSTEM_BUS_ADDRESS set to it
#   run-private.sh stop DIR                       stop it (and its dbus-daemon)
#
# The amplifiers are the simulator's defaults unless FAKE-ARGS has --sim TEXT. A suite that
# finds no DIR/bus-address fails instead of falling back to the machine's system bus.
set -euo pipefail

cmd=${1:?usage: run-private.sh start|exec|stop DIR ...}
dir=${2:?usage: run-private.sh start|exec|stop DIR ...}
shift 2

stop() {
    if [[ -f "$dir/pid" ]]; then
        local pid
        pid=$(cat "$dir/pid")
        if kill "$pid" 2>/dev/null; then
            # Not our child: wait until it is gone or a zombie (its reaper may be slow).
            local i
            for ((i = 0; i < 500; ++i)); do
                [[ -r /proc/$pid/stat && $(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null) != Z ]] || break
                sleep 0.02
            done
            kill -9 "$pid" 2>/dev/null || true
        fi
        rm -f "$dir/pid"
    fi
    rm -f "$dir/bus-address" "$dir/env" "$dir/ready"
}

case "$cmd" in
start)
    fake=${1:?usage: run-private.sh start DIR FAKE [ARGS...]}
    shift
    mkdir -p "$dir"
    stop
    mkfifo "$dir/ready"
    env -u MIVOBLE_SIM "$fake" --private-bus --address-file "$dir/bus-address" --log "$dir/fake.log" "$@" \
        <"/dev/null" >"$dir/ready" 2>"$dir/stderr" &
    echo $! >"$dir/pid"
    # The first line it prints says it serves; it prints nothing if it fails to start.
    if ! IFS= read -r -t 20 line <"$dir/ready" || [[ "$line" != DBUS_SYSTEM_BUS_ADDRESS=* ]]; then
        echo "mivoble-fake-bluetoothd did not start:" >&2
        cat "$dir/stderr" >&2 || true
        stop
        exit 1
    fi
    rm -f "$dir/ready"
    echo "$line" >"$dir/env"
    echo "$line"
    ;;
exec)
    if [[ ! -s "$dir/bus-address" ]]; then
        echo "no fake bluetoothd running in $dir (start it first)" >&2
        exit 1
    fi
    DBUS_SYSTEM_BUS_ADDRESS=$(cat "$dir/bus-address")
    export DBUS_SYSTEM_BUS_ADDRESS
    exec "$@"
    ;;
stop)
    stop
    # A sanitizer build reports on standard error: such a report fails the fixture.
    if [[ -f "$dir/stderr" ]] && grep -qE 'ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:' "$dir/stderr"; then
        echo "mivoble-fake-bluetoothd reported errors:" >&2
        cat "$dir/stderr" >&2
        exit 1
    fi
    ;;
*) echo "unknown command $cmd" >&2; exit 2 ;;
esac
