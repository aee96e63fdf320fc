#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan; build/fuzz) and runs each of them on its
# seed corpus for a while, as many side by side as there are processors. Fails when a target
# crashes, breaks one of its checks or does not build (warnings are errors there, clang's lock
# analysis -Wthread-safety among them). Needs clang and its libFuzzer runtime
# (libclang-rt-N-dev; installed when missing by scripts/deps.sh). CMake preset fuzz
# (build/fuzz).
#
# Usage: scripts/fuzz.sh [SECONDS]          seconds per target (default 30)
#        QV_FUZZ_TARGETS="fuzz_b64 fuzz_ezxml" scripts/fuzz.sh 600   (a subset)
#        QV_FUZZ_ARGS="-jobs=2 -workers=2" scripts/fuzz.sh 3600    (extra libFuzzer flags)
#
# Each target runs on build/fuzz/corpus/<target>/: the committed seeds (fuzz/corpus/<target>/)
# are copied there and what the runs find is kept there, so the repository's corpus does
# not grow. A crashing input is written to build/fuzz/artifacts/<target>-crash-*; replay it
# with build/fuzz/fuzz/<target> <file>. Inputs in fuzz/regressions/<target>/ (crashes found
# and fixed) are replayed before each run. Logs: build/fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
build=build/fuzz
all_targets="fuzz_xml_values fuzz_xml_setup fuzz_setup_prepare fuzz_ezxml fuzz_http_read fuzz_b64
             fuzz_cmdline fuzz_exporter_config fuzz_exporter_query
             fuzz_check_cmdline fuzz_device_scenario"
targets=$(echo ${QV_FUZZ_TARGETS:-$all_targets})  # one line, single blanks
extra=()
read -r -a extra <<<"${QV_FUZZ_ARGS:-}"

scripts/deps.sh fuzz
cmake --preset fuzz >/dev/null
# shellcheck disable=SC2086
cmake --build --preset fuzz -j "$(nproc)" --target $targets

mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"

# run_target T: replays T's stored regressions, then fuzzes it for $seconds; the verdict
# goes to $build/logs/T.verdict (ok, or a line that says what failed).
run_target() {
    local t=$1 dict corpus log
    case $t in
        fuzz_xml_values | fuzz_xml_setup | fuzz_setup_prepare | fuzz_ezxml) dict=xml ;;
        fuzz_http_read) dict=http ;;
        fuzz_cmdline) dict=cmdline ;;
        fuzz_exporter_config | fuzz_exporter_query) dict=exporter ;;
        fuzz_check_cmdline) dict=check_cmdline ;;
        *) dict= ;;
    esac
    corpus="$build/corpus/$t"
    log="$build/logs/$t.log"
    mkdir -p "$corpus"
    cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
    local args=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 -print_final_stats=1
                -artifact_prefix="$build/artifacts/$t-")
    [ -n "$dict" ] && args+=(-dict="fuzz/dict/$dict.dict")
    # Inputs that once crashed the target are replayed first.
    if compgen -G "fuzz/regressions/$t/*" >/dev/null &&
        ! "$build/fuzz/$t" fuzz/regressions/"$t"/* >"$build/logs/$t.regressions.log" 2>&1; then
        echo "FAILED on a stored regression input: see $build/logs/$t.regressions.log" \
            >"$build/logs/$t.verdict"
        return
    fi
    if "$build/fuzz/$t" "${args[@]}" "${extra[@]}" "$corpus" >"$log" 2>&1; then
        echo ok >"$build/logs/$t.verdict"
    else
        echo "FAILED: see $log" >"$build/logs/$t.verdict"
    fi
}

# As many targets side by side as there are processors (each is one process).
parallel=$(nproc)
echo "==== fuzz: $targets (${seconds} s each, $parallel at a time) ===="
running=0
for t in $targets; do
    rm -f "$build/logs/$t.verdict"
    run_target "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$parallel" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait

failed=()
for t in $targets; do
    log="$build/logs/$t.log"
    verdict=$(cat "$build/logs/$t.verdict" 2>/dev/null || echo "FAILED: no verdict")
    echo "---- $t: $verdict"
    if [ "$verdict" = ok ]; then
        grep -a -E "^#[0-9]+[[:space:]]+DONE" "$log" | tail -1 || tail -3 "$log"
        grep -a -E "^stat::number_of_executed_units" "$log" || true
    else
        failed+=("$t")
        grep -a -E "ERROR|invariant|SUMMARY|runtime error|Test unit written" "$log" 2>/dev/null |
            head -8 || true
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED fuzz targets: ${failed[*]}"
    exit 1
fi
echo "all fuzz targets ran without a crash: $targets"
