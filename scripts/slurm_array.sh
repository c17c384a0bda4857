#!/bin/bash
# One piece of a reproducible run per task of a Slurm job array.
#
# Every task runs the same program with the same seed on its own block of
# repetitions and writes results/<stem>.piece-<k>.csv; once all tasks have
# finished, scripts/merge_pieces.sh checks the pieces and joins them into the
# file a one-piece run would have written, row for row.
#
# Submit from anywhere, giving the resources your cluster needs:
#
#   bash scripts/slurm_array.sh PROGRAM SEED TOTAL PIECE [SBATCH_OPTION...]
#   bash scripts/slurm_array.sh quarnel 20261208 100000 1000 \
#        --cpus-per-task=4 --mem=1G --time=1:00:00
#
# This submits ceil(TOTAL / PIECE) tasks named after the program, in as many
# arrays as the cluster's MaxArraySize requires, with the project root as the
# working directory and the logs in slurm-logs/. The script can also be given
# to sbatch directly, from the project root or with --chdir=<project root>:
#
#   sbatch --job-name=quarnel --array=0-99 --cpus-per-task=4 \
#          --export=ALL,PROGRAM=quarnel,SEED=20261208,TOTAL=100000,PIECE=1000 \
#          scripts/slurm_array.sh
#
# Task t writes piece OFFSET + t (OFFSET defaults to 0). A stopped or failed
# task leaves the rows it finished in <piece>.journal and exits non-zero;
# requeued (scontrol requeue) or rerun alone (--array=0 and OFFSET=K for
# piece K), the task resumes from that journal.
#
# OPTIONS, when set in the submitting environment, holds further options for
# the program, split at blanks: settings (OPTIONS='--set sigma=0') or a sweep
# (OPTIONS='--sweep alpha=1.9,2.5'), whose point k of piece K goes to
# <stem>.piece-K.<k>.csv; merge each point with POINT=k scripts/merge_pieces.sh.
#
# No CPU, memory or time limit is set here, so the partition's defaults apply
# and any node accepts the job; each task uses --cpus-per-task threads.
#SBATCH --output=slurm-logs/%x-%A_%a.out
#SBATCH --open-mode=append
#SBATCH --requeue
set -euo pipefail

check_program() {
  case "$1" in
    quarnel | vesktor) ;;
    *) echo "PROGRAM must be quarnel or vesktor, got '$1'" >&2; exit 2 ;;
  esac
}
# stem_of EXECUTABLE: the stem of the program's default results file, as the
# program itself names it.
stem_of() {
  local name
  name=$("$1" --print-results-file) && [[ $name == ?*.csv ]] ||
    { echo "$1 --print-results-file named no results file" >&2; exit 1; }
  echo "${name%.csv}"
}
count_ok() { [[ $1 =~ ^[1-9][0-9]*$ ]]; }
# check_run SEED TOTAL PIECE OFFSET: the run's numbers, before any arithmetic.
check_run() {
  [[ $1 =~ ^[0-9]+$ ]] || { echo "SEED must be a non-negative integer, got '$1'" >&2; exit 2; }
  count_ok "$2" || { echo "TOTAL must be a positive integer, got '$2'" >&2; exit 2; }
  count_ok "$3" || { echo "PIECE must be a positive integer, got '$3'" >&2; exit 2; }
  [[ $4 =~ ^[0-9]+$ ]] || { echo "OFFSET must be a non-negative integer, got '$4'" >&2; exit 2; }
}

if (($# > 0)); then
  # Submission: one array per MaxArraySize pieces.
  (($# >= 4)) || { sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
  program=$1 seed=$2 total=$3 piece=$4
  shift 4
  check_program "$program"
  check_run "$seed" "$total" "$piece" 0
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  if [ ! -x "$root/executables/$program" ]; then
    echo "$root/executables/$program is missing: run scripts/setup.sh first" >&2
    exit 1
  fi
  command -v sbatch > /dev/null || { echo "sbatch not found: submit on the cluster's login node" >&2; exit 1; }
  mkdir -p "$root/slurm-logs"
  # Array indices run from 0 to MaxArraySize - 1.
  max=$(scontrol show config 2>/dev/null | awk '$1 == "MaxArraySize" { print $3 }')
  count_ok "${max:-}" || max=1001
  tasks=$(((total + piece - 1) / piece))
  for ((offset = 0; offset < tasks; offset += max)); do
    n=$((tasks - offset < max ? tasks - offset : max))
    job=$(sbatch --parsable --job-name="$program" --chdir="$root" --array="0-$((n - 1))" \
                 --export="ALL,PROGRAM=$program,SEED=$seed,TOTAL=$total,PIECE=$piece,OFFSET=$offset" \
                 "$@" "$root/scripts/slurm_array.sh")
    echo "submitted job ${job%%;*}: pieces $offset to $((offset + n - 1))"
  done
  echo "when every task has finished: bash scripts/merge_pieces.sh $program $total $piece"
  exit 0
fi

program=${PROGRAM:-quarnel}
check_program "$program"
seed=${SEED:?set SEED, the run seed shared by every piece}
total=${TOTAL:?set TOTAL, the repetitions of the whole run}
piece=${PIECE:?set PIECE, the repetitions of one piece}
offset=${OFFSET:-0}
task=${SLURM_ARRAY_TASK_ID:?run this script as a Slurm array task}
check_run "$seed" "$total" "$piece" "$offset"
# The job's working directory: the submit directory, or --chdir.
root=$PWD
if [ ! -x "$root/executables/$program" ]; then
  echo "no $root/executables/$program: submit from the project root or with --chdir=<project root>" >&2
  exit 2
fi
stem=$(stem_of "$root/executables/$program")

index=$((offset + task))
first=$((index * piece))
if ((first >= total)); then
  echo "piece $index has no repetitions (TOTAL=$total, PIECE=$piece)"
  exit 0
fi
count=$((total - first < piece ? total - first : piece))

output=$(printf '%s.piece-%05d.csv' "$stem" "$index")
# A requeued or rerun task continues from the rows in its piece's journal.
resume=()
[ -f "$root/results/$output.journal" ] && resume=(--resume)
# A sweep's task resumes once any of its points has begun.
for f in "$root/results/${output%.csv}".[0-9]*.csv.journal "$root/results/${output%.csv}".[0-9]*.json; do
  [ -e "$f" ] && resume=(--resume)
done

# As many threads as the task has CPUs, whatever the submitting shell had.
export OMP_NUM_THREADS=${SLURM_CPUS_PER_TASK:-${OMP_NUM_THREADS:-1}}
cd "$root/executables"
exec "./$program" --seed "$seed" --first-repetition "$first" --repetitions "$count" \
  --output "$output" --no-postprocess "${resume[@]}" ${OPTIONS:-}  # OPTIONS split on purpose
