#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), runs every test on the Release build,
# then builds again with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test there too.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

bash "$root/scripts/setup.sh"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DQUARNEL_SANITIZE=ON \
      -DQUARNEL_EXECUTABLES_DIR="$root/build-sanitize/executables"
cmake --build "$root/build-sanitize" -j "$jobs"
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/build-sanitize" --output-on-failure -j "$jobs"
