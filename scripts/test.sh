#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: once as a normal build
# (warnings are errors; then the installed package is tried and clang-tidy
# run) and once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=$(nproc)

echo "== build (warnings are errors) and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCADENZA_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== the installed package and the example"
./scripts/test_package.sh build

echo "== clang-tidy"
./scripts/lint.sh build

echo "== build and test under ASan and UBSan"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCADENZA_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
