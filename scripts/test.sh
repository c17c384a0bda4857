#!/usr/bin/env bash
# Sets up and builds the programs (scripts/setup.sh), installs what only the
# tests need, builds the tests and the benchmark and runs every test on the
# Release build (a short run of the benchmark among them), then builds again
# with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test
# there too. Every build treats a compiler warning as an error. Where Slurm or
# Chromium cannot be installed, its test is skipped.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
source "$root/scripts/packages.sh"

bash "$root/scripts/setup.sh" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
install_missing googletest libgtest-dev
install_missing slurmctld slurmd slurm-client munge ||
  echo "Slurm or munge could not be installed: the Slurm test will be skipped"
install_missing chromium ||
  echo "Chromium could not be installed: the reports' browser test will be skipped"

cmake -S "$root" -B "$root/build" -DQUARNEL_TESTS=ON -DQUARNEL_BENCH=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

# The benchmark's short run is slow under the sanitizers (its plain pipeline
# replays an economy of some 58 million members), so only the Release build
# builds and runs it.
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DQUARNEL_SANITIZE=ON -DQUARNEL_BENCH=OFF \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$root/build-sanitize" -j "$jobs"
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/build-sanitize" --output-on-failure -j "$jobs"
