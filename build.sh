#!/usr/bin/env bash
# Builds the project and runs its main job or its tests, installing missing Debian packages first.
#   ./build.sh demo    build, then run `tqr demo`
#   ./build.sh test    build and run every test: plain, AddressSanitizer+UBSan, ThreadSanitizer; then a clang
#                      build with warnings as errors and the lock analysis, which runs the fuzzers
#   ./build.sh deps    install the Debian packages the build needs, nothing else
set -euo pipefail
cd "$(dirname "$0")"

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          libsodium-dev libarchive-dev dpkg-dev file clang libclang-rt-14-dev scdoc)

deps() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "== installing ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

jobs=$(nproc 2>/dev/null || echo 2)

# Every option is given on every configure, so that what an earlier command left in a build folder's
# cache never decides what this one builds.
configure_and_build() {  # dir, tests, benchmarks, fuzzers, sanitize, werror
    local dir=$1 tests=$2 benchmarks=$3 fuzzers=$4 sanitize=$5 werror=$6
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_BUILD_TESTS="$tests" \
        -DZEL_BUILD_BENCHMARKS="$benchmarks" -DZEL_BUILD_FUZZERS="$fuzzers" -DZEL_SANITIZE="$sanitize" \
        -DZEL_WERROR="$werror" -DZEL_TEST_PORT_OFFSET="${ZEL_TEST_PORT_OFFSET:-0}" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

run_tests() {  # dir, label
    echo "== tests: $2"
    ctest --test-dir "$1" -j"$jobs" --output-on-failure --timeout 900 --no-tests=error
}

case "${1:-}" in
deps)
    deps
    ;;
demo)
    deps
    configure_and_build build OFF OFF OFF "" OFF
    ./build/bin/tqr demo
    ;;
test)
    deps
    configure_and_build build ON ON OFF "" OFF
    run_tests build "plain build"
    configure_and_build build-asan ON OFF OFF address,undefined OFF
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build-asan "AddressSanitizer + UndefinedBehaviorSanitizer"
    configure_and_build build-tsan ON OFF OFF thread OFF
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tests build-tsan "ThreadSanitizer"
    # One clang build serves the fuzzers and the lock analysis: warnings are errors in it, and it builds
    # the shared library and the tool beside the fuzz targets.
    echo "== clang: warnings as errors, thread-safety analysis of the locks; the fuzz targets"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_BUILD_TESTS=OFF \
        -DZEL_BUILD_BENCHMARKS=OFF -DZEL_BUILD_FUZZERS=ON -DZEL_SANITIZE="" -DZEL_WERROR=ON >/dev/null
    cmake --build build-fuzz -j"$jobs" --target zel_protocol tqr fuzz_reader fuzz_decode fuzz_coordinator
    echo "== fuzzers"
    bash fuzz/run.sh "${ZEL_FUZZ_SECONDS:-60}" build-fuzz
    echo "== all tests passed"
    ;;
*)
    echo "usage: ./build.sh demo|test|deps" >&2
    exit 2
    ;;
esac
