#!/usr/bin/env bash
# Installs the Debian packages that the programs, the post-processing and the
# merge of cluster pieces need (only those missing), then configures and builds
# the Release programs into executables/, without the tests or the benchmark
# (scripts/test.sh builds those). Any arguments are passed on to CMake's
# configure step (scripts/test.sh passes -DCMAKE_COMPILE_WARNING_AS_ERROR=ON).
# Runs as root on a fresh Debian 12 machine, or with sudo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"

install_missing \
  g++ make cmake \
  libarmadillo-dev liblapack-dev libblas-dev \
  libboost-dev libboost-math-dev libboost-program-options-dev \
  nlohmann-json3-dev libssl-dev jq \
  r-base-core

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF \
      -DQUARNEL_EXECUTABLES_DIR="$root/executables" "$@"
cmake --build "$root/build" -j "$jobs"
