#!/usr/bin/env bash
# Wall time of tarvik fetching values.xml and setup.xml from the stand-in unit, next to curl
# fetching the same two documents from the same unit in the same run.
#
#   bench/tarvik_vs_curl.sh [RUNS]        (default 41 runs of each, interleaved)
#
# BUILD_DIR selects the build tree (default build/bench-tool, configured Release here).
# With hyperfine installed it does the measuring; otherwise a loop that alternates the two
# commands does. Prints the median of each and their ratio (target: tarvik within 1.5x).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-41}
build=${BUILD_DIR:-build/bench-tool}
if [ -z "${BUILD_DIR:-}" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target tarvik tarvik-device >/dev/null
tarvik="$PWD/$build/tarvik"
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

tarvik_cmd="$tarvik -v $work/t_values.xml -s $work/t_setup.xml 127.0.0.1 $port"
curl_cmd="curl -sf --http1.0 -o $work/c_values.xml http://127.0.0.1:$port/values.xml -o $work/c_setup.xml http://127.0.0.1:$port/setup.xml"

# Both must work and store documents of the same size before anything is timed (the
# library rewrites a prefixed root tag in place, padded to the same length).
$tarvik_cmd >"$work/tarvik.out"
$curl_cmd
for doc in values setup; do
    [ "$(wc -c <"$work/t_$doc.xml")" = "$(wc -c <"$work/c_$doc.xml")" ] ||
        { echo "$doc.xml: tarvik and curl stored different sizes" >&2; exit 1; }
done

echo "stand-in unit on 127.0.0.1:$port; $runs runs of each"
echo "  tarvik: $tarvik_cmd"
echo "  curl:   $curl_cmd"

if command -v hyperfine >/dev/null; then
    hyperfine -N --warmup 3 --runs "$runs" --export-json "$work/h.json" \
        --command-name tarvik "$tarvik_cmd" --command-name curl "$curl_cmd"
    python3 - "$work/h.json" <<'PY'
import json, sys
r = {x["command"]: x["median"] * 1000 for x in json.load(open(sys.argv[1]))["results"]}
print("median ms: tarvik %.2f  curl %.2f  ratio %.2f" % (r["tarvik"], r["curl"], r["tarvik"] / r["curl"]))
PY
    exit 0
fi

# Nanosecond wall time of one run of a command (its output discarded).
time_ns() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $((end - start))
}
median_ms() {
    sort -n | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.2f", m / 1e6 }'
}

for _ in 1 2 3; do $tarvik_cmd >/dev/null; $curl_cmd; done  # warm-up
: >"$work/t.ns"
: >"$work/c.ns"
for _ in $(seq "$runs"); do
    time_ns $tarvik_cmd >>"$work/t.ns"
    time_ns $curl_cmd >>"$work/c.ns"
done
t=$(median_ms <"$work/t.ns")
c=$(median_ms <"$work/c.ns")
ratio=$(awk -v t="$t" -v c="$c" 'BEGIN { printf "%.2f", t / c }')
echo "median ms: tarvik $t  curl $c  ratio $ratio (target <= 1.5)"
