#!/bin/bash
# End-to-end test of dbsql: folders and dictionaries, statements from
# arguments, files and standard input, tables and CSV output, import and
# export, dictionary commands, and exit status 1 at the first error.
set -u
DBSQL=${1:?usage: dbsql_test.sh PATH_TO_DBSQL}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
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

mkdir "$WORK/db"
"$DBSQL" "$WORK/db" "CREATE TABLE EMPLOYEE (EMP_NO char(6), EMP_NAME char(20), PAY numeric(8,2))" \
  "INSERT INTO EMPLOYEE VALUES ('E2', 'Bea', 10.5), ('E1', 'Alan, Jr.', 7)" >"$WORK/out" 2>&1
check "create and insert" "2 rows affected" "$(cat "$WORK/out")"

out=$("$DBSQL" "$WORK/db" "SELECT EMP_NO, EMP_NAME, PAY FROM EMPLOYEE ORDER BY EMP_NO")
check "aligned table" "EMP_NO | EMP_NAME  |   PAY
-------+-----------+------
E1     | Alan, Jr. |  7.00
E2     | Bea       | 10.50
(2 rows)" "$out"

out=$("$DBSQL" --csv "$WORK/db" "select * from employee where PAY > 8")
check "csv" "EMP_NO,EMP_NAME,PAY
E2,Bea,10.50" "$out"

# Statements from standard input and from a file, spanning lines.
out=$(printf "UPDATE EMPLOYEE\n  SET PAY = PAY + 1;\nSELECT COUNT(*) AS N FROM EMPLOYEE;\n" | "$DBSQL" --csv "$WORK/db")
check "stdin" "N
2" "$out"
printf "DELETE FROM EMPLOYEE WHERE EMP_NO = 'E2';\n-- a comment; not a statement\n" >"$WORK/script.sql"
out=$("$DBSQL" -f "$WORK/script.sql" "$WORK/db" 2>&1)
check "file" "1 row affected" "$out"
printf 'A,B\n1\n' >"$WORK/short.csv"
"$DBSQL" "$WORK/db" "CREATE TABLE AB (A char(1), B char(1))" ".import $WORK/short.csv AB" >/dev/null 2>"$WORK/err"
check "import short line status" "1" "$?"
check "import short line text" "dbsql: CSV file $WORK/short.csv, line 2: 1 values for 2 columns (0 rows before it were imported)" "$(cat "$WORK/err")"

# .import reads a file or a pipe a row at a time, a row up to 16 MB: a device
# is refused; an overlong row stops the import at its line, the rows before it
# kept (lines counted as in the file, a quoted line break included).
"$DBSQL" "$WORK/db" "CREATE TABLE LINES (A char(20), B char(4))" ".import /dev/zero LINES" >/dev/null 2>"$WORK/err"
check "import device status" "1" "$?"
check "import device text" "dbsql: Cannot import /dev/zero: not a regular file or a pipe (a device has no end)" \
  "$(cat "$WORK/err")"
{ printf 'A,B\n"multi\nline",2\n'; head -c 20000000 /dev/zero; } |
  "$DBSQL" "$WORK/db" ".import /dev/stdin LINES" >/dev/null 2>"$WORK/err"
check "import overlong row status" "1" "$?"
check "import overlong row text" "dbsql: CSV file /dev/stdin, line 4: longer than 16 MB (1 row before it was imported)" \
  "$(cat "$WORK/err")"
out=$("$DBSQL" --csv "$WORK/db" "SELECT A, B FROM LINES")
check "import keeps the rows before the bad line" 'A,B
"multi
line",2' "$out"

# Export, then import into a new table.
"$DBSQL" "$WORK/db" ".export EMPLOYEE $WORK/emp.csv" "CREATE TABLE COPY (EMP_NO char(6), EMP_NAME char(20), PAY numeric(8,2))" >/dev/null
check "export" 'EMP_NO,EMP_NAME,PAY
E1,"Alan, Jr.",8.00' "$(cat "$WORK/emp.csv")"
out=$("$DBSQL" "$WORK/db" ".import $WORK/emp.csv COPY")
check "import" "1 row imported into COPY" "$out"
printf 'EMP_NAME,EMP_NO\n"Quote ""Q""",E9\n,E8\n' >"$WORK/more.csv"
"$DBSQL" "$WORK/db" ".import $WORK/more.csv COPY" >/dev/null
out=$("$DBSQL" --csv "$WORK/db" "SELECT EMP_NO, EMP_NAME FROM COPY ORDER BY EMP_NO")
check "import quoted" 'EMP_NO,EMP_NAME
E1,"Alan, Jr."
E8,
E9,"Quote ""Q"""' "$out"

# Errors: status 1, text on standard error, nothing after the first error runs.
"$DBSQL" "$WORK/db" "SELECT * FROM NOSUCH" "CREATE TABLE NEVER (A char(1))" >"$WORK/out" 2>"$WORK/err"
check "error status" "1" "$?"
grep -q "NOSUCH" "$WORK/err"
check "error text" "0" "$?"
check "stops at first error" "no" "$([ -e "$WORK/db/NEVER.adt" ] && echo yes || echo no)"
printf "SELEC 1;\nCREATE TABLE NEVER (A char(1));\n" | "$DBSQL" "$WORK/db" >/dev/null 2>&1
check "stdin error status" "1" "$?"
check "stdin stops" "no" "$([ -e "$WORK/db/NEVER.adt" ] && echo yes || echo no)"
# Statements are read a line at a time, up to 16 MB a line or a statement.
head -c 20000000 /dev/zero | "$DBSQL" "$WORK/db" >/dev/null 2>"$WORK/err"
check "stdin overlong line" "1 dbsql: standard input, line 1: a line longer than 16 MB" "$? $(cat "$WORK/err")"
yes "SELECT $(head -c 1000 /dev/zero | tr '\0' x)" | head -c 20000000 | "$DBSQL" "$WORK/db" >/dev/null 2>"$WORK/err"
check "stdin overlong statement status" "1" "$?"
grep -q "^dbsql: standard input, line [0-9]*: a statement longer than 16 MB$" "$WORK/err"
check "stdin overlong statement text" "0" "$?"
"$DBSQL" "$WORK/nowhere" "SELECT 1" >/dev/null 2>&1
check "bad path" "1" "$?"
"$DBSQL" "$WORK/db" ".import $WORK/missing.csv COPY" >/dev/null 2>&1
check "import missing file" "1" "$?"

# Dictionaries: create, users, registration, default index, login failure.
"$DBSQL" --create-dictionary -u AdsSys -p secret "$WORK/db/Company.add" \
  "CREATE TABLE ASSET (CODE char(8))" ".adduser clerk pw" ".default-index ASSET BYCODE" >/dev/null
check "create dictionary" "0" "$?"
out=$("$DBSQL" -u clerk -p pw "$WORK/db/Company.add" ".show-default-index ASSET" ".register EMPLOYEE EMPLOYEE.adt" \
  "INSERT INTO EMPLOYEE (EMP_NO) VALUES ('E5')")
check "dictionary commands" "BYCODE
1 row affected" "$out"
"$DBSQL" -u clerk -p wrong "$WORK/db/Company.add" "SELECT * FROM ASSET" >/dev/null 2>"$WORK/err"
check "login failure status" "1" "$?"
grep -q "5015" "$WORK/err"
check "login failure text" "0" "$?"

# Encryption: a table encrypted by the shell reads only with its password.
"$DBSQL" "$WORK/db" "CREATE TABLE SECRET (NAME char(10))" "INSERT INTO SECRET VALUES ('hidden')" ".encrypt SECRET pw1" >/dev/null
check "encrypt" "0" "$?"
grep -qa hidden "$WORK/db"/SECRET.*
check "no plain bytes after encryption (table, journal)" "1" "$?"
"$DBSQL" "$WORK/db" "SELECT * FROM SECRET" >/dev/null 2>&1
check "read without password" "1" "$?"
out=$("$DBSQL" --csv "$WORK/db" ".password secret pw1" "SELECT NAME FROM SECRET")
check "read with password" "NAME
hidden" "$out"
"$DBSQL" "$WORK/db" "SELECT * FROM SECRET" >/dev/null 2>"$WORK/err"
grep -q ".password TABLE PASSWORD" "$WORK/err"
check "read without password says how to give it" "0" "$?"

# Export and import of an encrypted table without its password fail before
# writing anything: no header alone, no file, an older file left as it was.
"$DBSQL" "$WORK/db" ".export SECRET" >"$WORK/out" 2>"$WORK/err"
check "export without password status" "1" "$?"
check "export without password text" "dbsql: Table SECRET is encrypted: its password is needed (.password SECRET PASSWORD)" \
  "$(cat "$WORK/err")"
check "export without password prints nothing" "" "$(cat "$WORK/out")"
"$DBSQL" "$WORK/db" ".export SECRET $WORK/secret.csv" >/dev/null 2>"$WORK/err"
check "export to file without password status" "1" "$?"
grep -q "SECRET is encrypted" "$WORK/err"
check "export to file without password text" "0" "$?"
check "export without password writes no file" "" "$(ls "$WORK" | grep secret.csv)"
echo "older" >"$WORK/secret.csv"
"$DBSQL" "$WORK/db" ".export SECRET $WORK/secret.csv" >/dev/null 2>&1
check "export without password keeps the older file" "older" "$(cat "$WORK/secret.csv")"
printf 'NAME\nadded\n' >"$WORK/secret-in.csv"
"$DBSQL" "$WORK/db" ".import $WORK/secret-in.csv SECRET" >/dev/null 2>"$WORK/err"
check "import without password status" "1" "$?"
check "import without password text" "dbsql: Table SECRET is encrypted: its password is needed (.password SECRET PASSWORD)" \
  "$(cat "$WORK/err")"
"$DBSQL" "$WORK/db" ".password SECRET wrong" ".export SECRET $WORK/secret.csv" >/dev/null 2>"$WORK/err"
check "export with a wrong password status" "1" "$?"
check "export with a wrong password keeps the older file" "older" "$(cat "$WORK/secret.csv")"
"$DBSQL" "$WORK/db" ".password SECRET pw1" ".import $WORK/secret-in.csv SECRET" ".export SECRET $WORK/secret.csv" >/dev/null
check "export with password status" "0" "$?"
check "export with password" "NAME
hidden
added" "$(cat "$WORK/secret.csv")"
check "export leaves no temporary file" "secret-in.csv
secret.csv" "$(ls "$WORK" | grep secret)"
out=$("$DBSQL" "$WORK/db" ".password SECRET pw1" ".export SECRET")
check "export with password to standard output" "NAME
hidden
added" "$out"
# ALTER TABLE on an encrypted table: refused without its password, done
# with it; the table stays encrypted and nothing beside it in clear.
"$DBSQL" "$WORK/db" "ALTER TABLE SECRET ALTER COLUMN NAME NAME char(12)" >/dev/null 2>"$WORK/err"
check "alter without password status" "1" "$?"
grep -q ".password TABLE PASSWORD" "$WORK/err"
check "alter without password says how to give it" "0" "$?"
"$DBSQL" "$WORK/db" ".password SECRET pw1" "ALTER TABLE SECRET ALTER COLUMN NAME NAME char(12)" >/dev/null
check "alter with password status" "0" "$?"
"$DBSQL" "$WORK/db" "SELECT * FROM SECRET" >/dev/null 2>&1
check "altered table reads only with its password" "1" "$?"
grep -qa -e hidden -e added "$WORK/db"/SECRET.*
check "no plain bytes after the alter" "1" "$?"
out=$("$DBSQL" --csv "$WORK/db" ".password SECRET pw1" "SELECT NAME FROM SECRET")
check "altered with values kept" "NAME
hidden
added" "$out"
"$DBSQL" "$WORK/db" ".password SECRET pw1" "DELETE FROM SECRET WHERE NAME = 'added'" >/dev/null
"$DBSQL" "$WORK/db" ".decrypt SECRET pw1" >/dev/null
out=$("$DBSQL" --csv "$WORK/db" "SELECT NAME FROM SECRET")
check "decrypted" "NAME
hidden" "$out"

# Transactions: COMMIT keeps, ROLLBACK and the end of input undo, a failing
# statement undoes only itself; statements that cannot be undone are refused.
mkdir "$WORK/tx"
"$DBSQL" "$WORK/tx" "CREATE TABLE A (K integer, V integer)" "CREATE UNIQUE INDEX K ON A (K)" \
  "CREATE TABLE B (K integer)" "INSERT INTO A VALUES (1, 0), (2, 0), (3, 0)" >/dev/null
printf "BEGIN;\nUPDATE A SET V = 1;\nINSERT INTO B VALUES (1);\nINSERT INTO A VALUES (4, 9), (2, 9);\nCOMMIT;\n" |
  "$DBSQL" "$WORK/tx" >/dev/null 2>"$WORK/err"
check "failing statement in a script status" "1" "$?"
check "failing statement in a script text" "dbsql: error 5051: Record 5 would repeat a key of unique index tag K of table A.adt
dbsql: the transaction still open at the end was rolled back" "$(sed 's/ (.*//' "$WORK/err")"
check "failing statement in a script undoes its transaction" "0,3" "$("$DBSQL" --csv "$WORK/tx" ".headers off" "SELECT SUM(V), COUNT(*) FROM A")"
"$DBSQL" --csv "$WORK/tx" "BEGIN" "UPDATE A SET V = 1" "INSERT INTO B VALUES (1)" "INSERT INTO A VALUES (4, 9), (5, 9)" "COMMIT" \
  "SELECT SUM(V) AS S, COUNT(*) AS N FROM A" "SELECT COUNT(*) AS N FROM B" >"$WORK/out" 2>&1
check "commit over two tables" "S,N
21,5
N
1" "$(cat "$WORK/out")"
"$DBSQL" "$WORK/tx" "BEGIN" "DELETE FROM A" "DELETE FROM B" "ROLLBACK" >/dev/null 2>&1
"$DBSQL" "$WORK/tx" "BEGIN" "DELETE FROM A" "DELETE FROM B" >/dev/null 2>"$WORK/err"
check "open transaction at the end" "dbsql: the transaction still open at the end was rolled back" "$(cat "$WORK/err")"
out=$("$DBSQL" --csv "$WORK/tx" "SELECT COUNT(*) AS N FROM A" "SELECT COUNT(*) AS N FROM B")
check "rolled back" "N
5
N
1" "$out"
"$DBSQL" "$WORK/tx" "BEGIN" "CREATE INDEX V ON A (V)" >/dev/null 2>"$WORK/err"
check "no DDL in a transaction" "dbsql: error 5042: CREATE INDEX cannot run inside a transaction: COMMIT or ROLLBACK first
dbsql: the transaction still open at the end was rolled back" "$(cat "$WORK/err")"
"$DBSQL" "$WORK/tx" "BEGIN" ".import $WORK/short.csv AB" >/dev/null 2>"$WORK/err"
check "no import in a transaction" "1" "$?"

# Shell commands: tables, schema (read back into an empty folder gives the
# same schema), indexes, output modes and headers.
out=$("$DBSQL" "$WORK/tx" ".tables")
check ".tables" "A
B" "$out"
"$DBSQL" "$WORK/tx" ".schema" >"$WORK/schema.sql"
check ".schema" "CREATE TABLE A (K INTEGER, V INTEGER);
CREATE UNIQUE INDEX K ON A (K);
CREATE TABLE B (K INTEGER);" "$(cat "$WORK/schema.sql")"
mkdir "$WORK/tx2"
"$DBSQL" -f "$WORK/schema.sql" "$WORK/tx2" && out=$("$DBSQL" "$WORK/tx2" ".schema")
check ".schema read back" "$(cat "$WORK/schema.sql")" "$out"
mkdir "$WORK/types" "$WORK/types2"
"$DBSQL" "$WORK/types" "CREATE TABLE \"My T\" (C CHAR(5), VC VARCHAR(300), N NUMERIC(8,2), D DOUBLE, DT DATE, M MEMO, S SHORT, L LOGICAL, TS TIMESTAMP, CD CURDOUBLE, AI AUTOINC)" \
  "CREATE INDEX BOTH ON \"My T\" (C, DT) DESC" "CREATE UNIQUE INDEX AI ON \"My T\" (AI)" >/dev/null
"$DBSQL" "$WORK/types" ".schema" >"$WORK/types.sql"
"$DBSQL" -f "$WORK/types.sql" "$WORK/types2" && out=$("$DBSQL" "$WORK/types2" ".schema")
check ".schema of every type read back" "$(cat "$WORK/types.sql")" "$out"
check ".schema of every type" "CREATE TABLE \"My T\" (C CHAR(5), VC VARCHAR(300), N NUMERIC(8,2), D DOUBLE, DT DATE, M MEMO, S SHORT, L LOGICAL, TS TIMESTAMP, CD CURDOUBLE, AI AUTOINC);" "$(head -1 "$WORK/types.sql")"
check ".indexes" "K" "$("$DBSQL" "$WORK/tx" ".indexes A")"
mkdir "$WORK/dict" && "$DBSQL" --create-dictionary -u DBSYS -p pw "$WORK/dict/d.add" "CREATE TABLE zeta (A CHAR(3))" "CREATE TABLE Alpha (B INTEGER)" >/dev/null
check ".tables of a dictionary" "Alpha
zeta" "$("$DBSQL" -u DBSYS -p pw "$WORK/dict/d.add" ".tables" 2>&1)"
out=$("$DBSQL" "$WORK/tx" ".mode line" "SELECT K, V AS VALUE FROM A WHERE K < 3 ORDER BY K")
check ".mode line" "    K = 1
VALUE = 1

    K = 2
VALUE = 1" "$out"
out=$("$DBSQL" "$WORK/tx" ".mode csv" ".headers off" "SELECT K FROM A WHERE K = 1" ".mode table" "SELECT K FROM A WHERE K = 2")
check ".headers off" "1
2
(1 row)" "$out"
out=$("$DBSQL" "$WORK/tx" ".timer on" "SELECT K FROM A WHERE K = 1" | tail -1)
case "$out" in "Time: real "*) passes=$((passes + 1)) ;; *) failures=$((failures + 1)); echo "FAIL .timer: $out" ;; esac
"$DBSQL" "$WORK/tx" ".mode wide" >/dev/null 2>"$WORK/err"
check ".mode refuses others" "dbsql: Unknown mode wide: table, csv or line" "$(cat "$WORK/err")"

out=$("$DBSQL" --help)
for word in .password .encrypt .decrypt .import .export .adduser .register .unregister .default-index --csv --user --password --file --create-dictionary .tables .schema .indexes .mode .headers .timer .timeout BEGIN COMMIT ROLLBACK; do
  case "$out" in *"$word"*) passes=$((passes + 1)) ;; *) failures=$((failures + 1)); echo "FAIL help lacks $word" ;; esac
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
