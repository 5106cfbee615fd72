#!/usr/bin/env bash
# Builds and runs every test twice: a normal build (build/release) and an
# AddressSanitizer + UndefinedBehaviorSanitizer build with clang (build/asan),
# which also carries the fuzz targets and runs each briefly.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
dbu_ensure_packages
dbu_ensure_test_locale

jobs=$(nproc)
status=0

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$jobs"
echo "== tests (release) =="
ctest --test-dir build/release --output-on-failure -j"$jobs" || status=1

CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDBU_SANITIZE=ON -DDBU_FUZZ=ON -DDBU_BENCH=OFF >/dev/null
cmake --build build/asan -j"$jobs"
echo "== tests (asan+ubsan, with fuzz smoke runs) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" || status=1

exit $status
