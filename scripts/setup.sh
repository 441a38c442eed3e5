#!/usr/bin/env bash
# Installs what building and testing Cadenza needs, from Debian's packages.
# Safe to run again: packages already present are not fetched.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-tidy help2man
  nlohmann-json3-dev libcli11-dev
  libssl-dev libplist-dev zlib1g-dev libjpeg62-turbo-dev libpng-dev
  ffmpeg mpgtx lame sox jq strace
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

# The Windows component and tool are cross-compiled with mingw-w64 and tested
# under Wine, 64-bit and 32-bit; 32-bit Wine needs the i386 architecture.
windows=(mingw-w64 mingw-w64-tools wine wine64 wine64-tools)
missing=()
for p in "${windows[@]}" wine32:i386; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing for the Windows build: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
