#!/usr/bin/env bash
# Builds the project and runs its main job or its tests, installing missing Debian packages first.
#   ./build.sh demo    build, then run `tqr demo`
#   ./build.sh test    build and run every test: plain, AddressSanitizer+UBSan, ThreadSanitizer, fuzzers
#   ./build.sh deps    install the Debian packages the build needs, nothing else
set -euo pipefail
cd "$(dirname "$0")"

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          libsodium-dev clang libclang-rt-14-dev scdoc)

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

configure_and_build() {  # dir, extra cmake args...
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

run_tests() {  # dir, label
    echo "== tests: $2"
    ctest --test-dir "$1" -j"$jobs" --output-on-failure --timeout 900
}

case "${1:-}" in
deps)
    deps
    ;;
demo)
    deps
    configure_and_build build -DZEL_BUILD_TESTS=OFF
    ./build/bin/tqr demo
    ;;
test)
    deps
    configure_and_build build -DZEL_BUILD_BENCHMARKS=ON
    run_tests build "plain build"
    configure_and_build build-asan -DZEL_SANITIZE=address,undefined
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build-asan "AddressSanitizer + UndefinedBehaviorSanitizer"
    configure_and_build build-tsan -DZEL_SANITIZE=thread
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tests build-tsan "ThreadSanitizer"
    if [ -f fuzz/run.sh ]; then
        # The fuzz targets use the tests' harness: the tests are configured, only the targets built.
        CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_BUILD_FUZZERS=ON \
            -DZEL_BUILD_TESTS=ON >/dev/null
        cmake --build build-fuzz -j"$jobs" --target fuzz_reader fuzz_decode fuzz_coordinator
        echo "== fuzzers"
        bash fuzz/run.sh "${ZEL_FUZZ_SECONDS:-60}" build-fuzz
    fi
    echo "== all tests passed"
    ;;
*)
    echo "usage: ./build.sh demo|test|deps" >&2
    exit 2
    ;;
esac
