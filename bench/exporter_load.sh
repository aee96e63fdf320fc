#!/usr/bin/env bash
# tarvik_exporter under load: TARGETS units (a few stand-in processes listening on many ports
# each, every answer delayed by DELAY ms; 5% of the targets refuse connections) probed through
# one exporter with CONCURRENCY requests at a time (bench/exporter_load_driver.cpp, built
# here). Reported, in one run:
#   - one probe's time (median of sequential probes of a delayed unit),
#   - the total time, next to the ideal TARGETS / CONCURRENCY x one probe (target: <= 1.3x),
#   - the slowest probe, next to its deadline (the module's 10 s time-out),
#   - the exporter's peak resident memory (VmHWM) with CONCURRENCY probes in flight,
#     and its most threads seen,
#   - the probes by result as the exporter counted them.
#
#   bench/exporter_load.sh [TARGETS] [CONCURRENCY] [DELAY]    (defaults 500 40 20)
#
# BUILD_DIR selects the build tree (default build/bench-exporter, configured Release here).
set -euo pipefail
cd "$(dirname "$0")/.."

targets=${1:-500}
concurrency=${2:-40}
delay=${3:-20}
refusing=$((targets * 5 / 100))
healthy=$((targets - refusing))
per_device=100
build=${BUILD_DIR:-build/bench-exporter}
if [ -z "${BUILD_DIR:-}" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target tarvik_exporter tarvik-device >/dev/null
exporter="$PWD/$build/src/exporter/tarvik_exporter"
. scripts/lib/device.sh
DEVICE_PROGRAM="$PWD/$build/tools/device/tarvik-device"
command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }
# The load driver: one connection per request, CONCURRENCY threads (curl --parallel waits to
# reuse connections to one host, so it does not keep CONCURRENCY requests in flight).
driver="$PWD/$build/exporter_load_driver"
c++ -O2 -std=c++20 -pthread bench/exporter_load_driver.cpp -o "$driver"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-load.XXXXXX")
DEVICE_DIR=$work
pids=()
stop() {
    device_stop_all
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap stop EXIT

# Healthy units: ceil(healthy / per_device) processes.
left=$healthy
n=0
while [ "$left" -gt 0 ]; do
    count=$((left < per_device ? left : per_device))
    device_start "healthy$n" --ports "$count" --delay "$delay"
    left=$((left - count))
    n=$((n + 1))
done
cat "$work"/healthy*.ports | sed 's/^/127.0.0.1:/' >"$work/healthy"
# Refusing units: ports a stand-in held and gave back (nothing listens there any more).
device_start refuser --ports "$refusing"
device_stop refuser
sed 's/^/127.0.0.1:/' "$work/refuser.ports" >"$work/refused"

"$exporter" --web.listen-address=127.0.0.1:0 --web.max-requests="$concurrency" >"$work/exporter.log" 2>&1 &
exporter_pid=$!
pids+=("$exporter_pid")
for _ in $(seq 100); do grep -q "msg=Listening" "$work/exporter.log" && break; sleep 0.1; done
port=$(sed -n 's/.*msg=Listening .*port=\([0-9]*\).*/\1/p' "$work/exporter.log")
[ -n "$port" ] || { echo "the exporter did not start" >&2; exit 1; }
base="http://127.0.0.1:$port"

counter() {  # RESULT: probes counted by the exporter
    curl -sf "$base/metrics" | sed -n "s/^tarvik_exporter_probes_total{result=\"$1\"} //p"
}

# One probe of a delayed unit, alone: the median of 21 (after a warm-up).
one=$(head -n 1 "$work/healthy")
for _ in 1 2 3; do curl -sf -o /dev/null "$base/probe?target=$one"; done
for _ in $(seq 21); do
    curl -sf -o /dev/null -w '%{time_total}\n' "$base/probe?target=$one"
done | sort -n | sed -n 11p >"$work/one"
single=$(cat "$work/one")

# The load: every target once, shuffled, CONCURRENCY at a time.
cat "$work/healthy" "$work/refused" | shuf >"$work/targets"
sed 's|^|/probe?target=|' "$work/targets" >"$work/paths"
ok_before=$(counter success)
failed_before=$(counter failure)
rss_before=$(awk '/^VmRSS/ { print $2 }' "/proc/$exporter_pid/status")
cpu_ticks() {  # utime + stime of a process, in clock ticks
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}
cpu_before=$(cpu_ticks "$exporter_pid")
units_cpu() {  # clock ticks of every stand-in process still running
    local p total=0
    for p in "${device_pids[@]}"; do total=$((total + $(cpu_ticks "$p"))); done
    echo "$total"
}
units_before=$(units_cpu)
# Peak memory with the probes in flight: VmHWM, read while the load runs and after it.
"$driver" "$port" "$concurrency" "$work/paths" >"$work/times" 2>"$work/total" &
driver_pid=$!
while kill -0 "$driver_pid" 2>/dev/null; do
    awk '/^Threads/ { print $2 }' "/proc/$exporter_pid/status" >>"$work/threads"
    sleep 0.05
done
wait "$driver_pid"
peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$exporter_pid/status")
cpu=$(($(cpu_ticks "$exporter_pid") - cpu_before))
units=$(($(units_cpu) - units_before))
ok=$(($(counter success) - ok_before))
failed=$(($(counter failure) - failed_before))

total=$(awk '/^total/ { printf "%.3f", $2 }' "$work/total")
echo "$targets targets ($healthy answering after ${delay} ms, $refusing refusing), $concurrency concurrent requests"
echo "one probe alone (median of 21):  $(awk -v t="$single" 'BEGIN { printf "%.1f ms", t * 1000 }')"
awk -v total="$total" -v single="$single" -v n="$targets" -v c="$concurrency" 'BEGIN {
    ideal = n / c * single
    printf "total: %.3f s; ideal %d / %d x one probe: %.3f s; ratio %.2f (target <= 1.3)\n",
           total, n, c, ideal, total / ideal }'
sort -n "$work/times" | awk '{ t[NR] = $1; if ($2 != 200) bad++ } END {
    printf "per probe: median %.1f ms, slowest %.1f ms (deadline 10000 ms); answers other than 200: %d\n",
           t[int((NR + 1) / 2)] * 1000, t[NR] * 1000, bad + 0 }'
awk -v t="$cpu" -v hz="$(getconf CLK_TCK)" -v n="$targets" -v cores="$(nproc)" 'BEGIN {
    printf "exporter CPU time: %.2f s for the load (%.2f ms a probe; %d cores on this machine)\n",
           t / hz, t / hz / n * 1000, cores }'
awk -v t="$units" -v hz="$(getconf CLK_TCK)" 'BEGIN {
    printf "stand-in units CPU time: %.2f s for the load (they share the same cores)\n", t / hz }'
echo "probes counted by the exporter: $ok success, $failed failure (expected $healthy and $refusing)"
echo "exporter resident memory: $((rss_before / 1024)) MiB before, peak $((peak / 1024)) MiB (VmHWM); threads at most $(sort -n "$work/threads" | tail -1)"
