#!/usr/bin/env bash
# Regenerates R/example_report.html, the post-processing report of
# `quarnel -n 200 -s 1`. Builds nothing: runs the built quarnel (by default
# executables/quarnel, which scripts/setup.sh builds) in a scratch copy of
# the project layout, where quarnel starts the post-processing itself, and
# copies the report it wrote.
#
# Usage: scripts/example_report.sh [QUARNEL_PROGRAM]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
program=${1:-$root/executables/quarnel}
if [ ! -x "$program" ] || [ -d "$program" ]; then
  echo "example_report.sh: $program: no such program; build it first (scripts/setup.sh)" >&2
  exit 1
fi
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/example_report.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/executables" "$scratch/data" "$scratch/results" "$scratch/R"
cp "$root"/data/*.txt "$scratch/data/"
cp "$root/R/energy_estimator.R" "$scratch/R/"

if ! (cd "$scratch/executables" && "$program" -n 200 -s 1) > "$scratch/log" 2>&1 ||
   [ ! -s "$scratch/results/inequality_report.html" ]; then
  cat "$scratch/log" >&2
  echo "example_report.sh: quarnel -n 200 -s 1 wrote no report" >&2
  exit 1
fi
cp "$scratch/results/inequality_report.html" "$root/R/example_report.html"
echo "wrote $root/R/example_report.html"
