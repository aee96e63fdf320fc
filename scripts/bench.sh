#!/usr/bin/env bash
# Builds the benchmark programs of bench/ (Release, build/bench) and runs them: each figure is
# measured next to its physical reference in the same run, as a median of paired samples
# (the two sides timed back to back, the order alternating), so load on a shared machine
# slows both alike. The machine's load (uptime) is printed before and after each program.
#
# Usage: scripts/bench.sh                 every benchmark program
#        scripts/bench.sh parse setup     a subset: parse (bench_records), setup
#                                         (bench_setup), many (bench_many)
#        QV_BENCH_ARGS="--benchmark_repetitions=3" scripts/bench.sh   (extra flags)
# Results are also written as JSON to build/bench/results/<program>.json.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test  # Google Benchmark comes with the test dependencies
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=ON \
    >/dev/null
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake --build "$build" -j "$jobs" --target bench_records bench_setup bench_many tarvik-device \
    >/dev/null

extra=()
read -r -a extra <<<"${QV_BENCH_ARGS:-}"
mkdir -p "$build/results"
selected=${*:-"parse setup many"}
for which in $selected; do
    case $which in
        parse) program=bench_records ;;
        setup) program=bench_setup ;;
        many) program=bench_many ;;
        *) echo "unknown benchmark set $which (parse, setup, many)" >&2; exit 2 ;;
    esac
    echo "==== $program ($which) ===="
    echo "load before: $(uptime)"
    "$build/bench/$program" --benchmark_out="$build/results/$program.json" \
        --benchmark_out_format=json "${extra[@]}"
    echo "load after:  $(uptime)"
done
