#!/bin/bash
# One piece of a reproducible run per task of a Slurm job array.
#
# Every task runs the same program with the same seed on its own block of
# repetitions and writes results/<stem>.piece-<task>.csv; once all tasks have
# finished, scripts/merge_pieces.sh checks the pieces and joins them into the
# file a one-piece run would have written, row for row.
#
# Submit from the project root (the directory holding executables/), with as
# many tasks as TOTAL / PIECE rounded up, for example the full quarnel run in
# 100 pieces of 1000 repetitions:
#
#   sbatch --array=0-99 --export=ALL,PROGRAM=quarnel,SEED=20261208,TOTAL=100000,PIECE=1000 \
#          scripts/slurm_array.sh
#   bash scripts/merge_pieces.sh quarnel 100000 1000
#
# A failed task leaves <piece>.partial with the rows it finished and exits
# non-zero; rerun that task alone (sbatch --array=K ...) before merging.
#SBATCH --job-name=quarnel
#SBATCH --cpus-per-task=8
#SBATCH --mem-per-cpu=1G
#SBATCH --time=24:00:00
#SBATCH --output=slurm-%A_%a.out
set -euo pipefail

program=${PROGRAM:-quarnel}
seed=${SEED:?set SEED, the run seed shared by every piece}
total=${TOTAL:?set TOTAL, the repetitions of the whole run}
piece=${PIECE:?set PIECE, the repetitions of one piece}
task=${SLURM_ARRAY_TASK_ID:?run this script as a Slurm array task}
root=${SLURM_SUBMIT_DIR:-$PWD}

case "$program" in
  quarnel) stem=inequality ;;
  vesktor) stem=inequality_frontier ;;
  *) echo "PROGRAM must be quarnel or vesktor, got '$program'" >&2; exit 2 ;;
esac

first=$((task * piece))
if ((first >= total)); then
  echo "task $task has no repetitions (TOTAL=$total, PIECE=$piece)"
  exit 0
fi
count=$((total - first < piece ? total - first : piece))

export OMP_NUM_THREADS=${OMP_NUM_THREADS:-${SLURM_CPUS_PER_TASK:-1}}
cd "$root/executables"
exec "./$program" --seed "$seed" --first-repetition "$first" --repetitions "$count" \
  --output "$(printf '%s.piece-%05d.csv' "$stem" "$task")" --no-postprocess
