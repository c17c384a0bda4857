#!/usr/bin/env bash
# Builds the pipeline benchmark (Release) and runs it: one table of stage
# timings per alpha, whole-pipeline repetitions per second with 1 and 2
# threads, and peak memory, for the plain and the fast pipeline.
#
#   bash bench/run.sh [pipeline_bench options]
#
# The build goes to build-bench/ in the project root (BUILD_DIR overrides it);
# JOBS sets the build's parallelism (default 2). Takes about three minutes on two
# cores. Build output and progress go to stderr, the table to stdout. Other
# options are listed by "bash bench/run.sh --help".
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=ON \
      -DQUARNEL_EXECUTABLES_DIR="$build/executables" >&2
cmake --build "$build" -j"${JOBS:-2}" --target pipeline_bench >&2
exec "$build/bench/pipeline_bench" "$@"
