#!/usr/bin/env bash
# Builds the project (build/release) and runs it on the demo data.
# Arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
dbu_ensure_packages

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" >/dev/null

demo=build/demo
if [ ! -f "$demo/demo.adt" ]; then
  mkdir -p "$demo"
  build/release/tools/dbtool/dbtool demo "$demo"
fi
if [ $# -gt 0 ]; then
  exec build/release/tools/dbtool/dbtool "$@"
fi
build/release/tools/dbtool/dbtool info "$demo/demo.adt"
build/release/tools/dbtool/dbtool dump "$demo/demo.adt"
