#!/usr/bin/env bash
# Times the COM component under Wine (64-bit) against the Linux library on
# one database of N tracks (default 50,000) made by libgpod:
#   - clsCadenza::LoadiPodDB through the component, and Library::Open on Linux
#   - GetAllTracks through the vtable, and late-bound through IDispatch
# Each figure is the median of RUNS runs (default 3), each in a process of
# its own.
#   scripts/wine_bench.sh LINUX_BENCH_BIN W64_BIN [TRACKS] [RUNS]
# LINUX_BENCH_BIN holds db_bench and gpod_oracle (a Release build with
# -DCADENZA_BUILD_BENCH=ON); W64_BIN the 64-bit Cadenza.dll, with the test
# client in ../tests/windows.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 LINUX_BENCH_BIN W64_BIN [TRACKS] [RUNS]" >&2; exit 2; }
lnx="$(cd "$1" && pwd)"
w64="$(cd "$2" && pwd)"
tracks="${3:-50000}"
runs="${4:-3}"
cache="${CADENZA_BENCH_CACHE:-/tmp/cadenza_db_bench_cache}"
dev="$cache/gpod_$tracks"
if [ ! -f "$dev/iPod_Control/iTunes/iTunesDB" ]; then
  mkdir -p "$dev"
  "$lnx/gpod_oracle" synth "$dev" --tracks "$tracks" >/dev/null
fi
work="$(mktemp -d)"
trap 'timeout 30 wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" TMPDIR="$work/tmp" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$TMPDIR" "$WINEPREFIX"
timeout 120 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
timeout 120 wineserver -w
mkdir -p "$WINEPREFIX/drive_c/cadenza"
cp "$w64/Cadenza.dll" "$w64/Cadenza" "$w64/../tests/windows/com_client.exe" "$WINEPREFIX/drive_c/cadenza/"
timeout 60 /usr/lib/wine/wine64 regsvr32 /s 'C:\cadenza\Cadenza.dll'
ln -sfn "$dev" "$WINEPREFIX/dosdevices/k:"

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
field() { sed -n "s/.*\\b$1=\\([0-9.]*\\).*/\\1/p"; }
open_ms=() load_ms=() early_ms=() late_ms=()
for ((i = 0; i < runs; i++)); do
  open_ms+=("$("$lnx/db_bench" --child open "$dev" | field s | awk '{printf "%.1f", $1 * 1000}')")
  line="$(timeout 300 /usr/lib/wine/wine64 'C:\cadenza\com_client.exe' --bench 'K:\' | tr -d '\r' | grep '^bench:')"
  load_ms+=("$(echo "$line" | field load_ms)")
  early_ms+=("$(echo "$line" | field early_ms)")
  late_ms+=("$(echo "$line" | field late_ms)")
done
o=$(printf '%s\n' "${open_ms[@]}" | median)
l=$(printf '%s\n' "${load_ms[@]}" | median)
e=$(printf '%s\n' "${early_ms[@]}" | median)
t=$(printf '%s\n' "${late_ms[@]}" | median)
echo "database: $dev ($tracks tracks, $(stat -c %s "$dev/iPod_Control/iTunes/iTunesDB") bytes); median of $runs runs"
printf '%-48s %10s\n' "Library::Open on Linux (ms)" "$o" \
  "LoadiPodDB through the component, Wine 64-bit (ms)" "$l" \
  "GetAllTracks through the vtable (ms)" "$e" \
  "GetAllTracks late-bound through IDispatch (ms)" "$t"
awk -v o="$o" -v l="$l" -v e="$e" -v t="$t" 'BEGIN {
  printf "LoadiPodDB / Library::Open: %.2fx (goal: at most 2x)\n", l / o
  printf "GetAllTracks early-bound: %.0f ms (goal: at most 1500 ms)\n", e
  printf "late-bound / early-bound: %.2fx (goal: at most 2x)\n", t / e }'
