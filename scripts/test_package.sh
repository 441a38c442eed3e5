#!/usr/bin/env bash
# Installs a build into a staging prefix and checks what a user gets: every
# public header compiles on its own, the example builds against the package
# with CMake (find_package, shared and static) and with pkg-config (shared and
# static), and each build lists the three tracks of a copy of the demo device;
# the installed Python module passes its tests.
#   scripts/test_package.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name cadenza.pc)")
libdir=$(dirname "$pcdir")
for f in bin/cadenza share/cadenza/Cadenza share/man/man1/cadenza.1 \
         share/bash-completion/completions/cadenza include/cadenza/version.h; do
  [ -s "$prefix/$f" ] || { echo "package: $f is not installed" >&2; exit 1; }
done
bash -n "$prefix/share/bash-completion/completions/cadenza"

for h in "$prefix"/include/cadenza/*.h; do
  echo "#include <cadenza/${h##*/}>" |
    g++ -std=c++20 -fsyntax-only -Wall -Wextra -I"$prefix/include" -x c++ - ||
    { echo "package: cadenza/${h##*/} does not compile on its own" >&2; exit 1; }
done

cmake -S examples -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cmake" -j2 >/dev/null
mkdir "$tmp/pc"
PKG_CONFIG_PATH=$pcdir make -s -C "$tmp/pc" -f "$src/examples/Makefile" VPATH="$src/examples" \
  list_tracks list_tracks_static

cp -r demo/device "$tmp/device"
for prog in cmake/list_tracks cmake/list_tracks_static pc/list_tracks pc/list_tracks_static; do
  out=$(LD_LIBRARY_PATH=$libdir "$tmp/$prog" "$tmp/device")
  n=$(printf '%s\n' "$out" | grep -c .)
  [ "$n" -eq 3 ] || { echo "package: $prog listed $n tracks, not 3:" >&2; echo "$out" >&2; exit 1; }
done

# The Python module as installed, not the one in the build tree.
pydir=$(dirname "$(find "$prefix" -name 'cadenza.cpython-*.so' | head -1)")
PYTHONPATH=$pydir PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  python/tests >/dev/null
echo "package: installed, example built four ways, 3 tracks listed by each, Python module tested"
