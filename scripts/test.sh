#!/usr/bin/env bash
# Runs every test from a clean clone: sets up .venv (scripts/setup.sh), builds and runs the C++
# tests through CTest, plain and under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# Python tests with pytest. --quick skips the sanitizer build and the tests that start a Dask
# cluster (marked `cluster`), for a faster loop while working.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizers=1
pytest_args=()
for arg in "$@"; do
    case "$arg" in
        --quick) sanitizers=0; pytest_args=(-m "not cluster") ;;
        *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
    esac
done

ensure_gtest() {
    if [ -e /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] ||
       [ -n "$(find /usr/lib /usr/local/lib /usr/share -name GTestConfig.cmake -print -quit 2>/dev/null)" ]; then
        return 0
    fi
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "== installing GoogleTest (libgtest-dev)"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    else
        echo "the C++ tests need GoogleTest: install Debian's libgtest-dev (as root: apt-get install libgtest-dev)" >&2
        exit 1
    fi
}

# Graphviz's dot draws the DOT that export_graphviz writes and the trees dtreeviz renders.
ensure_graphviz() {
    if command -v dot >/dev/null; then
        return 0
    fi
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "== installing Graphviz (graphviz)"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq graphviz >/dev/null
    else
        echo "the Python tests need Graphviz's dot: install Debian's graphviz (as root: apt-get install graphviz)" >&2
        exit 1
    fi
}

echo "== setting up .venv and building lindorf"
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
ensure_gtest
ensure_graphviz

run_cpp_tests() {  # build directory, extra CMake arguments...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DLINDORF_BUILD_EXTENSION=OFF -DLINDORF_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir"
    ctest --test-dir "$dir" --output-on-failure -j2
}

echo "== C++ tests"
run_cpp_tests build/cpp-tests
if [ "$sanitizers" = 1 ]; then
    echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run_cpp_tests build/cpp-sanitize -DLINDORF_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi

echo "== Python tests"
python -m pytest -q "${pytest_args[@]}"
