#!/usr/bin/env bash
# scripts/merge_pieces.sh on pieces made by the program itself.
#
# Usage: merge_pieces_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR
#
# Makes the three pieces of a seeded run of 10 repetitions (PIECE 4) in a
# scratch layout, merges them and compares with the one-piece run; then
# checks that the merge refuses, naming the piece, and writes nothing, when a
# piece is of another seed or standard library, a duplicate, unfinished,
# without metadata, beyond TOTAL, not the file its metadata describes, or
# (described) holds a line that is not seven numbers as the programs write
# them, and when the program that names the files is not built. Exits 77
# (skipped) when jq is not installed.
set -u

program=${1:?usage: merge_pieces_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR}
source_dir=${2:?usage: merge_pieces_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR}
source "$source_dir/tests/support/check.sh"

command -v jq > /dev/null || { echo "skipped: jq is not installed (scripts/setup.sh installs it)"; exit 77; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/merge_pieces_test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
proj=$scratch/project
mkdir -p "$proj/executables" "$proj/data" "$proj/results" "$proj/scripts" "$scratch/made"
cp "$program" "$proj/executables/quarnel"
cp "$source_dir"/data/*.txt "$proj/data/"
cp "$source_dir/scripts/merge_pieces.sh" "$proj/scripts/"
results=$proj/results

# run SEED FIRST N OUTPUT: a seeded piece, kept in $scratch/made.
run() {
  (cd "$proj/executables" &&
    OMP_NUM_THREADS=2 ./quarnel -s "$1" --first-repetition "$2" -n "$3" -o "$4" --no-postprocess \
      > /dev/null 2>&1) || { echo "FAILED  quarnel -s $1 --first-repetition $2 -n $3"; exit 1; }
  mv "$results/$4" "$results/${4%.csv}.json" "$scratch/made/"
}
piece() { printf 'inequality.piece-%05d' "$1"; }
run 5 0 4 "$(piece 0).csv"
run 5 4 4 "$(piece 1).csv"
run 5 8 2 "$(piece 2).csv"
run 6 4 4 other.csv
run 5 0 10 one.csv

# fresh: the three pieces of seed 5 in results/, nothing else.
fresh() {
  rm -f "$results"/*
  local k
  for k in 0 1 2; do cp "$scratch/made/$(piece "$k")".* "$results/"; done
}
# refused TOTAL MESSAGE: the merge fails, says MESSAGE, and writes nothing.
refused() {
  ! bash "$proj/scripts/merge_pieces.sh" quarnel "$1" 4 > /dev/null 2> "$scratch/err" &&
    grep -qF -- "$2" "$scratch/err" && [ ! -e "$results/inequality.csv" ] &&
    [ ! -e "$results/inequality.json" ]
}

fresh
check "the pieces merge" bash "$proj/scripts/merge_pieces.sh" quarnel 10 4
check "the merge equals the one-piece run" cmp "$results/inequality.csv" "$scratch/made/one.csv"
check "the merged metadata describes the whole run" \
  [ "$(jq -r '"\(.status) \(.seed) \(.first_repetition) \(.repetitions_done) \(.results_file) \(.pieces)"' \
        "$results/inequality.json")" = "complete 5 0 10 inequality.csv 3" ]
check "the merged metadata records the merged file's SHA-256 and rows" \
  [ "$(jq -r '"\(.results_file_sha256) \(.results_file_rows)"' "$results/inequality.json")" = \
    "$(sha256sum < "$results/inequality.csv" | cut -c 1-64) 10" ]
check "merged files have the one-piece run's mode" \
  [ "$(stat -c %a "$results/inequality.csv" "$results/inequality.json" | sort -u)" = \
    "$(stat -c %a "$scratch/made/one.csv")" ]

fresh
cp "$scratch/made/other.csv" "$results/$(piece 1).csv"
cp "$scratch/made/other.json" "$results/$(piece 1).json"
check "a piece of another seed is refused" refused 10 "piece 1 belongs to another run: seed \"6\" where piece 0 has \"5\""

fresh
cp "$results/$(piece 0).csv" "$results/$(piece 1).csv"
cp "$results/$(piece 0).json" "$results/$(piece 1).json"
check "a duplicate piece is refused" refused 10 "piece 1 holds repetitions 0 to 3, not 4 to 7"

fresh
rm "$results/$(piece 2).csv"
head -n 2 "$scratch/made/one.csv" > "$results/$(piece 2).csv.journal"
check "an unfinished piece is named" refused 10 "piece 2 is incomplete: 1 of 2 rows"

fresh
rm "$results/$(piece 1).json"
check "a piece without metadata is refused" refused 10 "piece 1 has no readable metadata"

fresh
check "a piece beyond TOTAL is refused" refused 8 "$(piece 2).csv lies beyond the 2 pieces"

# edit K SED JQ: piece K's file edited with SED and its metadata with JQ,
# then the metadata made to describe the file as it now is.
edit() {
  local f=$results/$(piece "$1").csv meta=$results/$(piece "$1").json
  sed -i "$2" "$f"
  jq "$3 | .results_file_sha256 = \"$(sha256sum < "$f" | cut -c 1-64)\" |
      .results_file_rows = $(wc -l < "$f")" "$meta" > "$scratch/meta" && mv "$scratch/meta" "$meta"
}
fresh
edit 1 "" '.first_repetition |= tostring | .rank_deficient_span_fits = "1"'
check "64-bit numbers written as decimal strings are read" bash "$proj/scripts/merge_pieces.sh" quarnel 10 4
check "the merged metadata sums the pieces' rank-deficient span fits" \
  [ "$(jq .rank_deficient_span_fits "$results/inequality.json")" = 1 ]
rm "$results"/inequality.{csv,json}

fresh
cp "$results/$(piece 1).csv" "$results/$(piece 0).csv"
check "a piece whose file is another piece's is refused" refused 10 \
  "piece 0 does not match its metadata: SHA-256 $(sha256sum < "$results/$(piece 1).csv" | cut -c 1-64), the metadata records"
fresh
edit 1 '2s/.*/a,b,c,d,e,f,g/' .
check "a described piece with a line of text is refused" refused 10 \
  "piece 1 line 2, value 1 is not a number as the programs write it: 'a'"
fresh
edit 2 's/$/\r/' .
check "a described piece with CR LF line ends is refused" refused 10 "piece 2 line 1 ends in CR LF"
fresh
edit 2 '1s/e+00,/e+0,/' .
check "a described piece with a value not as the programs write it is refused" refused 10 \
  "piece 2 line 1, value 1 is not a number"
fresh
edit 2 "" '.standard_library = "another"'
check "a piece built with another standard library is refused" refused 10 \
  "piece 2 belongs to another run: standard library \"another\" where piece 0 has"
fresh
mv "$proj/executables/quarnel" "$scratch/quarnel"
check "without the program, which names the files, the merge is refused" \
  refused 10 "$proj/executables/quarnel is missing"
mv "$scratch/quarnel" "$proj/executables/quarnel"

check_summary
