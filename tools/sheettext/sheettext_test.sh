#!/bin/sh
# sheettext prints one line per address: texts with line breaks, tabs and
# backslashes come out escaped (raw with --raw), and each cell whose stored
# value cannot be read is named once on standard error.
# Usage: sheettext_test.sh SHEETTEXT CORPUSDIR
set -u
BIN=$1
DIR=$2
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
fail=0
check() {  # check NAME EXPECTED-FILE ACTUAL-FILE
  if ! cmp -s "$2" "$3"; then
    echo "FAIL: $1"; echo "expected:"; cat "$2"; echo "got:"; cat "$3"; fail=1
  fi
}

"$BIN" "$DIR/xlsxwriter.xlsx" A2 A8 A1 > "$OUT/got" 2>"$OUT/err"
printf '%s\n' 'line 1\nline 2\r\nline 3' 'tab\there' 'bold and plain' > "$OUT/want"
check "escaped texts, one line each" "$OUT/want" "$OUT/got"

"$BIN" "$DIR/openpyxl.xlsx" A15 > "$OUT/got"
printf '%s\n' 'a\tb\\c' > "$OUT/want"
check "a backslash is doubled" "$OUT/want" "$OUT/got"

"$BIN" --raw "$DIR/xlsxwriter.xlsx" A2 A8 > "$OUT/got"
printf 'line 1\nline 2\r\nline 3\ntab\there\n' > "$OUT/want"
check "--raw prints texts as they are" "$OUT/want" "$OUT/got"

"$BIN" "$DIR/emptyvalue.xlsx" A2 A7 A2 A3 > "$OUT/got" 2>"$OUT/err"
printf '\n\n\n#DIV/0!\n' > "$OUT/want"
check "unreadable cells read as empty" "$OUT/want" "$OUT/got"
if [ "$(grep -c 'cell A2 reads as empty' "$OUT/err")" != 1 ] || [ "$(grep -c 'cell A7 reads as empty' "$OUT/err")" != 1 ] ||
   [ "$(wc -l < "$OUT/err")" != 2 ]; then
  echo "FAIL: each unreadable cell is named once on standard error"; cat "$OUT/err"; fail=1
fi

"$BIN" "$DIR/xlsxwriter.xlsx" A1 2> "$OUT/err" > /dev/null
[ -s "$OUT/err" ] && { echo "FAIL: a file without unreadable cells writes to standard error"; cat "$OUT/err"; fail=1; }

exit $fail
