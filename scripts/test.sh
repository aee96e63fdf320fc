#!/usr/bin/env bash
# Installs what is missing (Debian packages), builds and runs the whole suite three times:
# a normal build with -Wall -Wextra -Werror, an ASan+UBSan build and a TSan build.
# Usage: scripts/test.sh            (all three)
#        QV_SUITES="normal" scripts/test.sh   (a subset, for development)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config libxml2-dev libgtest-dev libbenchmark-dev clang curl
          coreutils iproute2 procps)
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
suites=${QV_SUITES:-"normal asan tsan"}
failed=()

run_suite() {
    local name=$1
    shift
    echo "==== suite: $name ===="
    cmake -S . -B "build/$name" "$@" >/dev/null
    cmake --build "build/$name" -j "$jobs"
    # Many tests wait on the system's own time-outs (seconds each): run them side by side.
    if ! ctest --test-dir "build/$name" -j $((jobs * 4)) --output-on-failure --timeout 300; then
        failed+=("$name")
    fi
}

for s in $suites; do
    case $s in
        normal) run_suite normal -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
        asan) run_suite asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=address ;;
        tsan) run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=thread ;;
        *) echo "unknown suite $s" >&2; exit 2 ;;
    esac
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED suites: ${failed[*]}"
    exit 1
fi
echo "all suites passed: $suites"
