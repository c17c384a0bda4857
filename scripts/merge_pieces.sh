#!/usr/bin/env bash
# Joins the pieces of a run split by scripts/slurm_array.sh into one results
# file, after checking that every piece is present and complete.
#
#   bash scripts/merge_pieces.sh PROGRAM TOTAL PIECE [RESULTS_DIR]
#
# PROGRAM is quarnel or vesktor; TOTAL and PIECE are those of the array job.
# Piece k must hold min(PIECE, TOTAL - k*PIECE) lines of seven values. The
# joined file (results/inequality.csv or results/inequality_frontier.csv) is
# written under a temporary name and renamed, so it is whole or absent, with
# the permissions a one-piece run gives it. The pieces are left in place.
set -euo pipefail

usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 3 ] && [ $# -le 4 ] || usage
program=$1 total=$2 piece=$3
dir=${4:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/results}
[[ $total =~ ^[1-9][0-9]*$ && $piece =~ ^[1-9][0-9]*$ ]] || usage
case "$program" in
  quarnel) stem=inequality ;;
  vesktor) stem=inequality_frontier ;;
  *) usage ;;
esac

tasks=$(((total + piece - 1) / piece))
problems=0
files=()
for ((k = 0; k < tasks; k++)); do
  f=$(printf '%s/%s.piece-%05d.csv' "$dir" "$stem" "$k")
  want=$((k == tasks - 1 ? total - k * piece : piece))
  if [ ! -f "$f" ]; then
    echo "missing piece $k: $f" >&2
    [ -f "$f.journal" ] && echo "  (an unfinished task left $f.journal)" >&2
    problems=$((problems + 1))
    continue
  fi
  have=$(wc -l <"$f")
  if [ "$have" -ne "$want" ]; then
    echo "piece $k has $have rows, expected $want: $f" >&2
    problems=$((problems + 1))
  elif ! awk -F, 'NF != 7 { exit 1 }' "$f"; then
    echo "piece $k has a line without seven values: $f" >&2
    problems=$((problems + 1))
  fi
  files+=("$f")
done
if ((problems > 0)); then
  echo "not merged: $problems of $tasks pieces missing or incomplete" >&2
  exit 1
fi

target="$dir/$stem.csv"
tmp=$(mktemp "$target.tmp_XXXXXX")
trap 'rm -f "$tmp"' EXIT
# mktemp makes the file private; give it the mode a one-piece run gives.
chmod "$(printf '%o' $((0644 & ~8#$(umask))))" "$tmp"
cat "${files[@]}" >"$tmp"
sync "$tmp" 2>/dev/null || true
mv "$tmp" "$target"
trap - EXIT
echo "merged $tasks pieces ($total rows) into $target"
