#!/usr/bin/env bash
# Wall time of one check_tarvik run against the stand-in unit (values.xml and setup.xml read,
# every sensor and input judged, the output written), next to curl fetching the same two
# documents from the same unit in the same run.
#
#   bench/check_vs_curl.sh [RUNS]        (default 41 runs of each, interleaved)
#
# BUILD_DIR selects the build tree (default build/bench-tool, configured Release here).
# Prints the median of each and their ratio (target: check_tarvik within 1.5x of curl).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-41}
build=${BUILD_DIR:-build/bench-tool}
if [ -z "${BUILD_DIR:-}" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target check_tarvik tarvik-device >/dev/null
check="$PWD/$build/src/check/check_tarvik"
. scripts/lib/device.sh
DEVICE_PROGRAM="$PWD/$build/tools/device/tarvik-device"
command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-bench.XXXXXX")
DEVICE_DIR=$work
stop() {
    device_stop_all
    rm -rf "$work"
}
trap stop EXIT

device_start port

check_cmd="$check -H 127.0.0.1 -p $port"
curl_cmd="curl -sf --http1.0 -o $work/c_values.xml http://127.0.0.1:$port/values.xml -o $work/c_setup.xml http://127.0.0.1:$port/setup.xml"

# Both must work before anything is timed: the check judges the bundled unit CRITICAL (one
# sensor and one input in alarm) with performance data for its five sensors.
status=0
$check_cmd >"$work/check.out" || status=$?
[ "$status" = 2 ] && grep -q "^TARVIK CRITICAL - " "$work/check.out" &&
    grep -q "'Supply voltage'=12.1" "$work/check.out" ||
    { echo "check_tarvik did not judge the unit (exit $status):" >&2; cat "$work/check.out" >&2; exit 1; }
$curl_cmd

echo "stand-in unit on 127.0.0.1:$port; $runs runs of each"
echo "  check: $check_cmd"
echo "  curl:  $curl_cmd"

# Nanosecond wall time of one run of a command (its output and exit status discarded).
time_ns() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null || true
    end=$(date +%s%N)
    echo $((end - start))
}
median_ms() {
    sort -n | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.2f", m / 1e6 }'
}

for _ in 1 2 3; do $check_cmd >/dev/null || true; $curl_cmd; done  # warm-up
: >"$work/t.ns"
: >"$work/c.ns"
for _ in $(seq "$runs"); do
    time_ns $check_cmd >>"$work/t.ns"
    time_ns $curl_cmd >>"$work/c.ns"
done
t=$(median_ms <"$work/t.ns")
c=$(median_ms <"$work/c.ns")
ratio=$(awk -v t="$t" -v c="$c" 'BEGIN { printf "%.2f", t / c }')
echo "median ms: check_tarvik $t  curl $c  ratio $ratio (target <= 1.5)"
