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
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# ctest counts a skipped test as passed: name every skip, so that a test that
# skips itself on this machine is seen.
report_skips() {
  local skipped
  skipped=$(grep -E '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$1" | sed -E 's/^[[:space:]]*[0-9]+ - //' || true)
  if [ -n "$skipped" ]; then
    echo "skipped tests ($2): $(printf '%s\n' "$skipped" | wc -l)"
    printf '  %s\n' "$skipped"
  else
    echo "skipped tests ($2): 0"
  fi
}

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$jobs"
echo "== tests (release) =="
ctest --test-dir build/release --output-on-failure -j"$jobs" 2>&1 | tee "$logs/release" || status=1
report_skips "$logs/release" release

CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDBU_SANITIZE=ON -DDBU_FUZZ=ON -DDBU_BENCH=OFF >/dev/null
cmake --build build/asan -j"$jobs"
echo "== tests (asan+ubsan, with fuzz smoke runs) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" 2>&1 | tee "$logs/asan" || status=1
report_skips "$logs/asan" asan

exit $status
