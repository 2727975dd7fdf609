#!/usr/bin/env bash
# Runs the whole daemon on this machine after ./setup.sh: the simulated board
# (build/tests/sim/lpc-sim), a mosquitto broker of its own on
# 127.0.0.1:${MQTT_PORT:-1883} and build/app/lumacore in the foreground, its
# log on the terminal. The TCP service listens on 127.0.0.1:1414. Ctrl-C
# stops all three. Arguments go to lumacore (for example -vvv).
#
# The configuration file lives in a temporary directory, removed on exit, and
# a recording stand-in for `shutdown` comes first in PATH, so a power-off
# from the board never powers this machine off.
set -euo pipefail
cd "$(dirname "$0")"
port="${MQTT_PORT:-1883}"
dir="$(mktemp -d "${TMPDIR:-/tmp}/lumacore-run.XXXXXX")"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait
    rm -rf "$dir"
}
trap cleanup EXIT

# Sessions of their own, so that Ctrl-C reaches only the daemon, which then
# stops while board and broker still answer; cleanup ends them after it.
setsid mosquitto -p "$port" &
pids+=($!)
setsid build/tests/sim/lpc-sim --link "$dir/lpc" > /dev/null &
pids+=($!)
for _ in $(seq 50); do
    [ -e "$dir/lpc" ] && break
    sleep 0.1
done

echo "{\"mqtt\": {\"url\": \"127.0.0.1:$port\", \"base\": \"tavo/lumacore\"}}" > "$dir/lumacore.json"
status=0
PATH="$PWD/tests/stubs:$PATH" LUMACORE_STUB_LOG="$dir/shutdown.log" \
    build/app/lumacore -d "$dir/lpc" -f "$dir/lumacore.json" -e "$@" || status=$?
exit "$status"
