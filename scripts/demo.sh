#!/usr/bin/env bash
# The main job: installs what building needs and is missing (scripts/deps.sh), builds
# tarvik and the stand-in monitoring unit (CMake preset release: build/release), starts the
# unit on 127.0.0.1 with its bundled documents, runs tarvik against it (the sensor list; the
# values, the setup and the text report stored in a temporary folder; an output switched),
# shows the results and stops the unit.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh build
build=build/release
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tarvik tarvik-device >/dev/null
tarvik="$build/tarvik"
. scripts/lib/device.sh
DEVICE_PROGRAM="$build/tools/device/tarvik-device"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-demo.XXXXXX")
DEVICE_DIR=$work
stop() {
    if [ ${#device_pids[@]} -gt 0 ]; then
        device_stop_all
        echo "== stand-in unit stopped"
    fi
    rm -rf "$work"
}
trap stop EXIT

device_start port
echo "== stand-in unit listening on 127.0.0.1:$port"

# Runs tarvik with its arguments shown; a failure is reported, not fatal to the demo.
run() {
    echo
    echo "\$ tarvik $*"
    local code=0
    "$tarvik" "$@" || code=$?
    echo "(exit code $code)"
}

run 127.0.0.1 "$port"
run -v "$work/values.xml" -s "$work/setup.xml" -t "$work/report.txt" 127.0.0.1 "$port"

echo
echo "== stored in $work:"
ls -l "$work"/values.xml "$work"/setup.xml "$work"/report.txt
echo
echo "== values.xml (first lines):"
head -n 12 "$work/values.xml"
echo
echo "== report.txt:"
cat "$work/report.txt"

run -o 1=ON 127.0.0.1 "$port"
echo
echo "== output 151 as the unit reports it now:"
"$tarvik" -g 127.0.0.1 "$port" | grep -E '^ +151 ' || true
