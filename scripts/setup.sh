#!/usr/bin/env bash
# Installs what building and testing Cadenza needs, from Debian's packages.
# Safe to run again: packages already present are not fetched.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-tidy help2man
  nlohmann-json3-dev libcli11-dev
  libssl-dev libplist-dev zlib1g-dev
  ffmpeg mpgtx lame sox
  libgpod-dev libtag1-dev
  python3-dev pybind11-dev python3-pybind11 python3-pytest
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
