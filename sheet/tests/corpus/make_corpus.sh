#!/bin/sh
# Writes the workbook corpus and its manifest of expected texts into this
# folder. Needs LibreOffice (soffice, e.g. Debian's libreoffice-calc-nogui),
# Gnumeric (ssconvert) and Debian's python3-openpyxl, python3-xlsxwriter and
# python3-xlwt. Run once by hand; the files it writes are committed, and the
# tests read them without any of these programs.
#
#   sh make_corpus.sh
#
# The expected text of a cell is the text the program that wrote the file
# shows for it: LibreOffice's CSV export "as shown" for its files, Gnumeric's
# text export with formats preserved for its files, and for the files that
# scripts wrote (and the hand-built BIFF2-4 files) what both programs show
# (they agree, except where overrides.tsv says otherwise and why).
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$(mktemp -d)
[ -n "${KEEP_WORK:-}" ] || trap 'rm -rf "$WORK"' EXIT  # KEEP_WORK=1 keeps the CSVs
export HOME="$WORK/home"  # a fresh LibreOffice profile, nothing of the user's
mkdir -p "$HOME" "$WORK/src" "$WORK/csv"
PY=/usr/bin/python3
cd "$HERE"
rm -f ./*.xls ./*.xlsx

# Files written by scripts, and the sources the programs open.
$PY make_sources.py "$WORK/src" "$HERE"
$PY make_old_biff.py "$HERE"

# LibreOffice saves each source as .xls (BIFF8) and .xlsx. It saves nothing
# older than BIFF8. The German source is saved under a German locale.
lo() {  # lo LANG SOURCE NAME
  for fmt in 'xls:MS Excel 97' 'xlsx:Calc MS Excel 2007 XML'; do
    ext=${fmt%%:*}
    LANG=$1 soffice --headless --convert-to "$fmt" --outdir "$WORK/lo" "$2" >/dev/null 2>&1
    mv "$WORK/lo/$(basename "${2%.*}").$ext" "$HERE/$3.$ext"
  done
}
lo en_GB.UTF-8 "$WORK/src/cells.xlsx" lo
lo en_GB.UTF-8 "$WORK/src/cells1904.xlsx" lo1904
lo de_DE.UTF-8 "$WORK/src/de.fods" lo_de
lo fr_FR.UTF-8 "$WORK/src/fr.fods" lo_fr

# Gnumeric saves as BIFF8, BIFF7 (Excel 95) and .xlsx.
# Gnumeric reads the locale sources as LibreOffice's zipped .ods, since it
# reads no flat OpenDocument.
gn() {  # gn SOURCE NAME
  ssconvert -T Gnumeric_Excel:excel_biff8 "$1" "$HERE/$2.xls" >/dev/null 2>&1
  ssconvert -T Gnumeric_Excel:excel_biff7 "$1" "$HERE/$2_biff7.xls" >/dev/null 2>&1
  ssconvert -T Gnumeric_Excel:xlsx2 "$1" "$HERE/$2.xlsx" >/dev/null 2>&1
}
for l in de fr; do
  soffice --headless --convert-to ods --outdir "$WORK/src" "$WORK/src/$l.fods" >/dev/null 2>&1
done
gn "$WORK/src/cells.xlsx" gn
gn "$WORK/src/cells1904.xlsx" gn1904
LANG=de_DE.UTF-8 gn "$WORK/src/de.ods" gn_de
LANG=fr_FR.UTF-8 gn "$WORK/src/fr.ods" gn_fr

# What each program shows, one CSV per worksheet.
lo_csv() {  # lo_csv FILE -> $WORK/csv/lo/FILE/STEM-SHEET.csv
  mkdir -p "$WORK/csv/lo/$(basename "$1")"
  LANG=en_GB.UTF-8 soffice --headless \
    --convert-to 'csv:Text - txt - csv (StarCalc):44,34,76,1,,2057,false,true,true,false,false,-1' \
    --outdir "$WORK/csv/lo/$(basename "$1")" "$1" >/dev/null 2>&1
}
gn_csv() {  # gn_csv FILE -> $WORK/csv/gn/FILE/SHEET.csv
  mkdir -p "$WORK/csv/gn/$(basename "$1")"
  LANG=C.UTF-8 ssconvert -S -O 'format=preserve' -T Gnumeric_stf:stf_assistant "$1" \
    "$WORK/csv/gn/$(basename "$1")/%s.csv" >/dev/null 2>&1
}
for f in ./*.xls ./*.xlsx; do
  case $(basename "$f") in
    lo*) lo_csv "$f" ;;
    gn*) gn_csv "$f" ;;
    *) lo_csv "$f"; gn_csv "$f" ;;
  esac
done
$PY build_manifest.py "$WORK/csv" "$HERE" > "$HERE/manifest.tsv"
