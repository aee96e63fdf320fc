#!/usr/bin/env bash
# Wall time of one probe through tarvik_exporter (curl asks the exporter; the exporter reads
# values.xml and setup.xml from the stand-in unit and answers with the metrics), next to curl
# fetching the same two documents from the same unit itself, in the same run.
#
#   bench/exporter_vs_curl.sh [RUNS]      (default 101 runs of each, interleaved)
#
# BUILD_DIR selects the build tree (default build/bench-exporter, configured Release here).
# Prints the median of each and their ratio (target: the probe within 1.5x of curl).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-101}
build=${BUILD_DIR:-build/bench-exporter}
if [ -z "${BUILD_DIR:-}" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target tarvik_exporter tarvik-device >/dev/null
exporter="$PWD/$build/src/exporter/tarvik_exporter"
. scripts/lib/device.sh
DEVICE_PROGRAM="$PWD/$build/tools/device/tarvik-device"
command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-bench.XXXXXX")
DEVICE_DIR=$work
exporter_pid=""
stop() {
    device_stop_all
    if [ -n "$exporter_pid" ]; then
        kill "$exporter_pid" 2>/dev/null || true
        wait "$exporter_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap stop EXIT

device_start port
"$exporter" --web.listen-address=127.0.0.1:0 >"$work/exporter.log" 2>&1 &
exporter_pid=$!
for _ in $(seq 100); do
    grep -q "msg=Listening" "$work/exporter.log" && break
    sleep 0.1
done
exporter_port=$(sed -n 's/.*msg=Listening .*port=\([0-9]*\).*/\1/p' "$work/exporter.log")
[ -n "$exporter_port" ] || { echo "the exporter did not start" >&2; exit 1; }

probe_cmd="curl -sf -o $work/probe.txt http://127.0.0.1:$exporter_port/probe?target=127.0.0.1:$port"
curl_cmd="curl -sf --http1.0 -o $work/c_values.xml http://127.0.0.1:$port/values.xml -o $work/c_setup.xml http://127.0.0.1:$port/setup.xml"

# Both must work before anything is timed: the probe reads both documents.
$probe_cmd
grep -q '^tarvik_probe_success 1$' "$work/probe.txt" && grep -q '^tarvik_probe_setup_success 1$' "$work/probe.txt" ||
    { echo "the probe failed:" >&2; cat "$work/probe.txt" >&2; exit 1; }
$curl_cmd

echo "stand-in unit on 127.0.0.1:$port, exporter on 127.0.0.1:$exporter_port; $runs runs of each"
echo "  probe: $probe_cmd"
echo "  curl:  $curl_cmd"

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

for _ in 1 2 3 4 5; do $probe_cmd; $curl_cmd; done  # warm-up
: >"$work/p.ns"
: >"$work/c.ns"
for _ in $(seq "$runs"); do
    time_ns $probe_cmd >>"$work/p.ns"
    time_ns $curl_cmd >>"$work/c.ns"
done
p=$(median_ms <"$work/p.ns")
c=$(median_ms <"$work/c.ns")
echo "median probe through tarvik_exporter: $p ms"
echo "median curl, the two documents:       $c ms"
awk -v p="$p" -v c="$c" 'BEGIN { printf "ratio probe/curl: %.2f (target <= 1.5)\n", p / c }'
