#!/usr/bin/env bash
# Installs, from Debian's packages, whatever building and testing
# fuse_results needs and is missing. Does nothing when all is there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libtbb-dev libopencv-core-dev libjsoncpp-dev
  libgtest-dev libbenchmark-dev time
  clang libfuzzer-14-dev libclang-rt-14-dev
  python3 python3-numpy python3-matplotlib python3-pytest
  libopenmpi-dev openmpi-bin libopenblas-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -q >&2
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q \
  --no-install-recommends "${missing[@]}" >&2
