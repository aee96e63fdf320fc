#!/usr/bin/env bash
# Installs what is missing (Debian packages, scripts/deps.sh), builds and runs the whole
# suite three times with warnings as errors (-Wall -Wextra -Werror): a normal build, an
# ASan+UBSan build and a TSan build (the CMake presets dev, asan and tsan: build/dev,
# build/asan, build/tsan); then runs every fuzz target for a short while (scripts/fuzz.sh,
# clang with libFuzzer; its build also fails on a lock the annotations say is missing,
# -Wthread-safety).
# Usage: scripts/test.sh            (all three and the fuzz run)
#        QV_SUITES="normal" scripts/test.sh   (a subset, for development; "fuzz" names the
#                                              fuzz run, QV_FUZZ_SECONDS its time per target)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test

jobs=$(nproc)
suites=${QV_SUITES:-"normal asan tsan fuzz"}
failed=()

# ThreadSanitizer maps its shadow memory at fixed addresses. On kernels whose mmap ASLR
# entropy is raised (vm.mmap_rnd_bits 30 and more on x86-64), older TSan runtimes abort at
# start with "FATAL: ThreadSanitizer: unexpected memory mapping". The tests are then run
# with address-space randomisation turned off for their process tree (setarch -R: build,
# whose test discovery runs the programs, and ctest), which needs no privileges and changes
# nothing else. A one-line probe program decides; QV_TSAN_SETARCH=1 forces it.
tsan_runner() {
    local dir probe
    dir=$(mktemp -d)
    probe="$dir/probe"
    printf '#include <thread>\nint main(){std::thread t([]{}); t.join(); return 0;}\n' >"$dir/p.cpp"
    if ! c++ -fsanitize=thread -pthread "$dir/p.cpp" -o "$probe" 2>/dev/null; then
        rm -rf "$dir"
        return 0  # no probe: run as is, the suite itself will show the problem
    fi
    if [ "${QV_TSAN_SETARCH:-0}" = 1 ] || ! "$probe" >/dev/null 2>&1; then
        if setarch "$(uname -m)" -R "$probe" >/dev/null 2>&1; then
            echo "tsan: running the build and tests under setarch -R (address-space randomisation off)" >&2
            echo "setarch $(uname -m) -R"
        fi
    fi
    rm -rf "$dir"
}

# run_suite NAME PRESET: configure, build and test with the CMake preset (CMakePresets.json).
run_suite() {
    local name=$1 preset=$2
    local runner=()
    echo "==== suite: $name ===="
    if [ "$name" = tsan ]; then
        # The build runs the test programs too (test discovery): it needs the runner as well.
        read -r -a runner <<<"$(tsan_runner)"
    fi
    # Warnings are errors in the project's own checks (the three presets say so as well).
    cmake --preset "$preset" -DQV_WERROR=ON >/dev/null
    "${runner[@]}" cmake --build --preset "$preset" -j "$jobs"
    # Many tests wait on the system's own time-outs (seconds each): run them side by side.
    if ! "${runner[@]}" ctest --preset "$preset" -j $((jobs * 4)); then
        failed+=("$name")
    fi
}

for s in $suites; do
    case $s in
        normal) run_suite normal dev ;;
        asan) run_suite asan asan ;;
        tsan) run_suite tsan tsan ;;
        # Every fuzz target on its seed corpus, 20 s each, two at a time on two processors (11
        # targets: about 2 minutes): a smoke run; scripts/fuzz.sh runs them longer.
        fuzz)
            echo "==== suite: fuzz ===="
            scripts/fuzz.sh "${QV_FUZZ_SECONDS:-20}" || failed+=(fuzz)
            ;;
        *) echo "unknown suite $s" >&2; exit 2 ;;
    esac
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED suites: ${failed[*]}"
    exit 1
fi
echo "all suites passed: $suites"
