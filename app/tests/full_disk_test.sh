#!/bin/bash
# A structure task and dbsql's export on a full disk: a small tmpfs holds a
# demo base and is filled up. Each run must end with an error that names the
# table and the operation (not die of a signal), leave the table as it was
# (still encrypted, same records) and, once there is room again, the task
# must complete. Mounting needs root: without it the test is skipped (77).
set -u
DBUTILITY=${1:?usage: full_disk_test.sh DBUTILITY DBSQL}
DBSQL=${2:?usage: full_disk_test.sh DBUTILITY DBSQL}
WORK=$(mktemp -d)
DISK=$WORK/disk
mkdir "$DISK"
cleanup() {
  mountpoint -q "$DISK" && umount -l "$DISK"
  rm -rf "$WORK"
}
trap cleanup EXIT
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: not running as root, which mounting a small tmpfs needs"
  exit 77
fi
if ! mount -t tmpfs -o size=48m tmpfs "$DISK" 2>"$WORK/err"; then
  echo "SKIP: mount -t tmpfs was refused: $(cat "$WORK/err")"
  exit 77
fi
failures=0
passes=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passes=$((passes + 1))
  else
    failures=$((failures + 1))
    printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
  fi
}
contains() {  # contains NAME TEXT PART
  case "$2" in
    *"$3"*) passes=$((passes + 1)) ;;
    *) failures=$((failures + 1)); printf 'FAIL %s: no "%s" in\n%s\n' "$1" "$3" "$2" ;;
  esac
}
fill() {  # the ballast takes all the room left
  rm -f "$DISK/ballast"
  fallocate -l "$(( $(stat -f -c '%a * %S' "$DISK") ))" "$DISK/ballast"
}

"$DBUTILITY" --create-demo "$DISK/base" >/dev/null || { echo "FAIL creating the demo base"; exit 1; }
A01=$DISK/base/company/A01
setup() { "$DBSQL" --csv "$A01" ".password SETUP KVRNA7310" "SELECT * FROM SETUP" 2>&1; }
before=$(setup)

# Task 26 widens SETUP.ENTRY_GROUP through ALTER TABLE; its temporary files
# are on the full disk too.
mkdir "$DISK/tmp"
fill
out=$(TMPDIR=$DISK/tmp "$DBUTILITY" --base "$DISK/base" --company A01 --task 26 --yes 2>&1)
status=$?
[ $status -lt 128 ] || { failures=$((failures + 1)); echo "FAIL task 26 died with signal $((status - 128))"; }
# The run's backup of SETUP, taken before the change, is the first to need room.
contains "task 26 names the table and the operation" "$out" "Cannot save table company/A01/SETUP.ADT before the run changes it"
contains "task 26 says why" "$out" "No space left on device"
rm -f "$DISK/ballast"
check "SETUP unchanged after the failure" "$before" "$(setup)"
"$DBSQL" "$A01" "SELECT * FROM SETUP" >/dev/null 2>&1
check "SETUP still encrypted" "1" "$?"
check "no temporary files left" "" "$(ls "$DISK/tmp")"

# With room again the task completes and keeps the records.
out=$(TMPDIR=$DISK/tmp "$DBUTILITY" --base "$DISK/base" --company A01 --task 26 --yes 2>&1)
check "task 26 with room" "[message] Done!" "$out"
check "SETUP records kept" "$before" "$(setup)"

# An export to the full disk fails and leaves the older file as it was.
echo "older" >"$DISK/emp.csv"
fill
"$DBSQL" "$A01" ".export CODE $DISK/emp.csv" >/dev/null 2>"$WORK/err"
check "export status" "1" "$?"
check "export text" "dbsql: Cannot export table CODE to $DISK/emp.csv: No space left on device" "$(cat "$WORK/err")"
check "older export kept" "older" "$(cat "$DISK/emp.csv")"
check "no temporary export left" "$DISK/emp.csv" "$(ls "$DISK"/emp.csv*)"
rm -f "$DISK/ballast"

echo "$passes passed, $failures failed"
[ $failures -eq 0 ]
