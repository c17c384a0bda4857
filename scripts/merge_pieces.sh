#!/usr/bin/env bash
# Joins the pieces of a run split by scripts/slurm_array.sh into one results
# file, after checking that every piece is present, complete and of one run.
#
#   bash scripts/merge_pieces.sh PROGRAM TOTAL PIECE [RESULTS_DIR]
#
# PROGRAM is quarnel or vesktor; TOTAL and PIECE are those of the array job.
# Piece k is <stem>.piece-<k>.csv with its metadata <stem>.piece-<k>.json: the
# metadata must say complete, name that file, and hold repetitions k*PIECE
# onwards, min(PIECE, TOTAL - k*PIECE) of them, of PROGRAM with the seed,
# settings, input tables and standard library of piece 0; the file must have
# the SHA-256 and row count the metadata records, and every line must be
# seven numbers as the programs write them (%.14e, 0, nan, inf or -inf, comma
# separated, LF line ends). No piece may lie beyond TOTAL. Every problem is
# named, and then nothing is merged. The joined file (<stem>.csv, as
# executables/PROGRAM --print-results-file names it) and its metadata
# <stem>.json (with the joined file's SHA-256 and rows) are written under
# temporary names and renamed, so each is whole or absent, with the
# permissions a one-piece run gives them. The pieces are left in place.
# With POINT=k in the environment it joins point k of a sweep instead: the
# pieces <stem>.piece-<K>.<k>.csv into <stem>.<k>.csv and <stem>.<k>.json.
set -euo pipefail

usage() { sed -n '2,/^set /{/^#/p}' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 3 ] && [ $# -le 4 ] || usage
program=$1 total=$2 piece=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${4:-$root/results}
[[ $total =~ ^[1-9][0-9]*$ && $piece =~ ^[1-9][0-9]*$ ]] || usage
case "$program" in
  quarnel | vesktor) ;;
  *) usage ;;
esac
point=${POINT:+.$POINT}  # "" or ".k"
[[ -z $point || $point =~ ^\.(0|[1-9][0-9]*)$ ]] || usage
command -v jq > /dev/null || { echo "jq is needed to read the pieces' metadata: run scripts/setup.sh" >&2; exit 1; }
# The stem of the program's default results file, as the program names it.
exe=$root/executables/$program
[ -x "$exe" ] || { echo "$exe is missing (it names the results file): run scripts/setup.sh first" >&2; exit 1; }
stem=$("$exe" --print-results-file) && [[ $stem == ?*.csv ]] ||
  { echo "$exe --print-results-file named no results file" >&2; exit 1; }
stem=${stem%.csv}

tasks=$(((total + piece - 1) / piece))
problems=0
problem() { echo "$*" >&2; problems=$((problems + 1)); }

# The fields that make a run, as canonical JSON, and those of one piece.
# 64-bit numbers may be decimal strings ("\(...)" gives either as digits).
identity='(.program|tojson), (.seed|tojson), (.settings|tojson), (.input_tables_sha256|tojson), (.standard_library|tojson)'
fields='"\(.status) \(.first_repetition) \(.repetitions_requested) \(.repetitions_done) \(.results_file_sha256) \(.results_file_rows) \(.results_file|tojson)"'
names=(program seed settings "input tables" "standard library")
# One value as the programs write it (LC_ALL=C: the ranges are bytes).
digits='[0-9][0-9][0-9][0-9][0-9][0-9][0-9]'
number="^(-?[1-9][.]$digits${digits}e[-+][0-9][0-9][0-9]?|0|nan|inf|-inf)\$"
reference=() reference_piece=""
files=() metas=()
for ((k = 0; k < tasks; k++)); do
  name=$(printf '%s.piece-%05d%s.csv' "$stem" "$k" "$point")
  f=$dir/$name
  meta=${f%.csv}.json
  want=$((k == tasks - 1 ? total - k * piece : piece))
  if [ ! -f "$f" ]; then
    if [ -f "$f.journal" ]; then
      problem "piece $k is incomplete: $(($(wc -l < "$f.journal") - 1)) of $want rows in $f.journal" \
              "(requeue or rerun its task: it resumes)"
    else
      problem "missing piece $k: $f"
    fi
    continue
  fi
  if ! mapfile -t m < <(jq -S -r "$identity, $fields" "$meta" 2> /dev/null) || ((${#m[@]} != 6)); then
    problem "piece $k has no readable metadata: $meta"
    continue
  fi
  read -r status first asked done sha256 rows results_file <<< "${m[5]}"
  if [ "${m[0]}" != "\"$program\"" ]; then
    problem "piece $k is of program ${m[0]}, not \"$program\": $meta"
  elif [ -z "$reference_piece" ]; then
    reference=("${m[@]:0:5}") reference_piece=$k
  else
    for i in 1 2 3 4; do
      [ "${m[i]}" = "${reference[i]}" ] ||
        problem "piece $k belongs to another run: ${names[i]} ${m[i]} where piece $reference_piece has ${reference[i]}: $meta"
    done
  fi
  if [ "$status" != complete ]; then
    problem "piece $k is $status, not complete: $meta"
  elif [ "$first" != $((k * piece)) ] || [ "$asked" != "$want" ] || [ "$done" != "$want" ]; then
    problem "piece $k holds repetitions $first to $((first + done - 1)), not $((k * piece)) to $((k * piece + want - 1)): $meta"
  elif [ "$results_file" != "\"$name\"" ]; then
    problem "piece $k's metadata describes $results_file, not $name: $meta"
  fi
  have=$(wc -l < "$f")
  if [ "$have" -ne "$want" ]; then
    problem "piece $k has $have rows, expected $want: $f"
  fi
  if [ "$status" = complete ]; then
    sum=$(sha256sum < "$f" | cut -c 1-64)
    if [ "$sha256" = null ] || [ "$rows" = null ]; then
      problem "piece $k's metadata records no SHA-256 and row count of its file: $meta"
    elif [ "$rows" != "$have" ]; then
      problem "piece $k does not match its metadata: $have rows, the metadata records $rows: $f"
    elif [ "$sum" != "$sha256" ]; then
      problem "piece $k does not match its metadata: SHA-256 $sum, the metadata records $sha256: $f"
    fi
  fi
  # The first line that is not seven numbers, named.
  if ! why=$(LC_ALL=C awk -F, -v number="$number" '
        /\r$/ { print "line " NR " ends in CR LF"; exit 1 }
        NF != 7 { print "line " NR " has " NF " values, not 7"; exit 1 }
        { for (i = 1; i <= 7; i++) if ($i !~ number) {
            v = length($i) > 40 ? substr($i, 1, 37) "..." : $i
            print "line " NR ", value " i " is not a number as the programs write it: \047" v "\047"; exit 1 } }
      ' "$f"); then
    problem "piece $k $why: $f"
  fi
  files+=("$f") metas+=("$meta")
done
# A piece beyond TOTAL is another run's, or TOTAL or PIECE is not the run's.
for f in "$dir/$stem".piece-*; do
  [ -e "$f" ] || continue
  k=${f#"$dir/$stem.piece-"}
  k=${k%%.*}
  if ! [[ $k =~ ^[0-9]+$ ]] || ((10#$k >= tasks)); then
    problem "$f lies beyond the $tasks pieces of TOTAL $total and PIECE $piece"
  fi
done
if ((problems > 0)); then
  echo "not merged: $problems problem(s) in the pieces of $stem ($tasks expected)" >&2
  exit 1
fi

target="$dir/$stem$point.csv"
target_meta="$dir/$stem$point.json"
tmp=$(mktemp "$target.tmp_XXXXXX")
tmp_meta=$(mktemp "$target_meta.tmp_XXXXXX")
trap 'rm -f "$tmp" "$tmp_meta"' EXIT
# mktemp makes the files private; give them the mode a one-piece run gives.
mode=$(printf '%o' $((0644 & ~8#$(umask))))
chmod "$mode" "$tmp" "$tmp_meta"
cat "${files[@]}" > "$tmp"
# The run's metadata: piece 0's, over the whole run; times, resumed rows and
# rank-deficient span fits over all pieces (elapsed_seconds is their sum),
# hosts and compilers joined; the joined file's SHA-256 and rows.
jq -s --arg file "$stem$point.csv" --argjson total "$total" \
      --arg sha256 "$(sha256sum < "$tmp" | cut -c 1-64)" '
  .[0] + {
    command_line: $ARGS.positional,
    first_repetition: 0, repetitions_requested: $total, repetitions_done: $total,
    resumed_rows: (map(.resumed_rows) | add), threads: (map(.threads) | max),
    start_time: (map(.start_time) | min), end_time: (map(.end_time) | max),
    elapsed_seconds: (map(.elapsed_seconds) | add),
    host: (map(.host) | unique | join(",")), compiler: (map(.compiler) | unique | join(", ")),
    rank_deficient_span_fits: (map(.rank_deficient_span_fits | tonumber) | add),
    results_file: $file, results_file_sha256: $sha256, results_file_rows: $total,
    status: "complete", signal: "", failures: [], message: "", pieces: length
  }' "${metas[@]}" --args "$0" "$@" > "$tmp_meta"
sync "$tmp" "$tmp_meta" 2> /dev/null || true
mv "$tmp_meta" "$target_meta"
mv "$tmp" "$target"
trap - EXIT
echo "merged $tasks pieces ($total rows) into $target"
