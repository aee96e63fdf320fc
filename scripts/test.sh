#!/usr/bin/env bash
# Installs what is missing (Debian packages), builds and runs the whole suite three times:
# a normal build with -Wall -Wextra -Werror, an ASan+UBSan build and a TSan build; then
# runs every fuzz target for a short while (scripts/fuzz.sh, clang with libFuzzer).
# Usage: scripts/test.sh            (all three and the fuzz run)
#        QV_SUITES="normal" scripts/test.sh   (a subset, for development; "fuzz" names the
#                                              fuzz run, QV_FUZZ_SECONDS its time per target)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config libxml2-dev libgtest-dev libbenchmark-dev clang
          libclang-rt-14-dev curl coreutils iproute2 procps
          libcivetweb-dev prometheus-cpp-dev libyaml-cpp-dev prometheus
          monitoring-plugins-basic icinga2-bin nagios4-core groff-base)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

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

run_suite() {
    local name=$1
    shift
    local runner=()
    echo "==== suite: $name ===="
    if [ "$name" = tsan ]; then
        # The build runs the test programs too (test discovery): it needs the runner as well.
        read -r -a runner <<<"$(tsan_runner)"
    fi
    cmake -S . -B "build/$name" "$@" >/dev/null
    "${runner[@]}" cmake --build "build/$name" -j "$jobs"
    # Many tests wait on the system's own time-outs (seconds each): run them side by side.
    if ! "${runner[@]}" ctest --test-dir "build/$name" -j $((jobs * 4)) --output-on-failure --timeout 300; then
        failed+=("$name")
    fi
}

for s in $suites; do
    case $s in
        normal) run_suite normal -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
        asan) run_suite asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=address ;;
        tsan) run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=thread ;;
        # Every fuzz target on its seed corpus, 30 s each (10 targets: about 5 minutes).
        fuzz)
            echo "==== suite: fuzz ===="
            scripts/fuzz.sh "${QV_FUZZ_SECONDS:-30}" || failed+=(fuzz)
            ;;
        *) echo "unknown suite $s" >&2; exit 2 ;;
    esac
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED suites: ${failed[*]}"
    exit 1
fi
echo "all suites passed: $suites"
