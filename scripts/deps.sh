#!/usr/bin/env bash
# Installs the Debian packages a task needs that are missing, and says which; does nothing
# when they are all there. One apt-get update, then one apt-get install without recommended
# packages. Runs apt-get through sudo when not run as root.
#
# Usage: scripts/deps.sh build    what building the programs and the library needs
#                                 (scripts/demo.sh, installation)
#        scripts/deps.sh fuzz     build + clang with libFuzzer (scripts/fuzz.sh)
#        scripts/deps.sh test     everything scripts/test.sh runs: build, tests, sanitizers,
#                                 fuzzing, packages
#        scripts/deps.sh --list SET    print the packages of SET, one a line
#
# Where there is no dpkg (not Debian or Ubuntu) nothing is checked or installed: a note
# names the packages and the build finds out what is missing.
set -euo pipefail

# Building: the compiler and CMake, libxml2 for the library.
build=(cmake make g++ pkg-config libxml2-dev)
# Building tarvik_exporter (src/exporter): its HTTP server, metrics and configuration file.
build+=(prometheus-cpp-dev libcivetweb-dev libyaml-cpp-dev)

# Fuzzing (fuzz/): clang and its libFuzzer runtime (the runtime package carries clang's
# major version; see clang_runtime).
fuzz=(clang)

# Tests: GoogleTest and Google Benchmark; curl, ip and ps used by tests and scripts; groff
# checks the installed manual page.
test=(libgtest-dev libbenchmark-dev curl coreutils iproute2 procps groff-base)
# tarvik_exporter's tests check its exposition with promtool.
test+=(prometheus)
# check_tarvik's tests: the standard plugins (negate reads its exit codes), and Icinga 2 and
# Nagios 4, which check its example configurations.
test+=(monitoring-plugins-basic icinga2-bin nagios4-core)
# The package test: dpkg-shlibdeps for the dependencies, file (cpack finds the shared
# objects with it), lintian for the packages' checks.
test+=(dpkg-dev file lintian)

# libclang-rt-N-dev for the clang that is (or will be) installed: the installed clang's
# major version, else the version the clang package depends on, else 14 (Debian 12).
# Nothing where the package lists know clang but no such package (Ubuntu 22.04 and older:
# the runtime comes with libclang-common-N-dev, which clang installs).
clang_runtime() {
    local version=""
    if command -v clang >/dev/null 2>&1; then
        version=$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\)\..*/\1/p' | head -n 1)
    fi
    if [ -z "$version" ] && command -v apt-cache >/dev/null 2>&1; then
        version=$(apt-cache depends clang 2>/dev/null |
                  sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)
    fi
    local name="libclang-rt-${version:-14}-dev"
    if command -v apt-cache >/dev/null 2>&1 && apt-cache show clang >/dev/null 2>&1 &&
        ! apt-cache show "$name" >/dev/null 2>&1; then
        return 0
    fi
    echo "$name"
}

# (clang_runtime unquoted: it may print nothing.)
# shellcheck disable=SC2046
packages_of() {
    case $1 in
        build) printf '%s\n' "${build[@]}" ;;
        fuzz) printf '%s\n' "${build[@]}" "${fuzz[@]}" $(clang_runtime) ;;
        test) printf '%s\n' "${build[@]}" "${fuzz[@]}" $(clang_runtime) "${test[@]}" ;;
        *) echo "deps.sh: unknown set '$1' (build, fuzz or test)" >&2; return 2 ;;
    esac
}

missing_of() {
    local p
    for p in $(packages_of "$1"); do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

if [ "${1:-}" = --list ]; then
    packages_of "${2:-}"
    exit
fi
set_name=${1:-}
[ -n "$set_name" ] || { echo "usage: scripts/deps.sh build|fuzz|test" >&2; exit 2; }
packages_of "$set_name" >/dev/null

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "deps.sh: no dpkg here; this task needs (Debian names): $(packages_of "$set_name" | xargs)" >&2
    exit 0
fi
missing=$(missing_of "$set_name")
[ -n "$missing" ] || exit 0

sudo=()
if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "deps.sh: missing (Debian packages): $(echo "$missing" | xargs)" >&2
        echo "deps.sh: not root and no sudo: install them as root (apt-get install), then run again" >&2
        exit 1
    fi
    sudo=(sudo)
fi
echo "installing (Debian packages): $(echo "$missing" | xargs)"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
# Names that depend on the package lists (the clang runtime) are decided again now.
missing=$(missing_of "$set_name")
# shellcheck disable=SC2086
"${sudo[@]}" apt-get install -y --no-install-recommends $missing
