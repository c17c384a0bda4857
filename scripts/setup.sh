#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the post-processing
# need (only those missing), then configures and builds the Release programs
# into executables/.  Runs as root on a fresh Debian 12 machine, or with sudo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
  g++ make cmake
  libarmadillo-dev liblapack-dev libblas-dev
  libboost-dev libboost-math-dev libboost-program-options-dev
  googletest libgtest-dev
  nlohmann-json3-dev libssl-dev
  r-base-core
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$root/build" -j "$jobs"
