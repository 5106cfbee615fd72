#!/usr/bin/env bash
# Builds the project (build/release), creates the demo base directory on the
# first run (build/demo, with PALVO.ini beside the program pointing at it) and
# starts dbutility on it: the window when a display is available, the console
# version otherwise. Arguments are passed to dbutility.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
dbu_ensure_packages

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" >/dev/null

program=build/release/app/dbutility
demo="$PWD/build/demo"
if [ ! -f "$demo/mcompany.adt" ]; then
  "$program" --create-demo "$demo"
fi
if [ ! -f "$(dirname "$program")/PALVO.ini" ]; then
  printf '[PATH]\r\nDIR=%s/\r\n' "$demo" > "$(dirname "$program")/PALVO.ini"
fi
exec "$program" "$@"
