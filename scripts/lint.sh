#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over the product's sources, two
# files at a time, with the compile commands of a configured build folder.
# Fails when it finds anything.
#   scripts/lint.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
db="$build/compile_commands.json"
[ -f "$db" ] || { echo "lint: no $db (configure the build first)" >&2; exit 2; }
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)

# The product: every layer, the hosts, the tools; not tests, not benchmarks.
files=()
for f in platform/*.cc db/*.cc media/*.cc device/*.cc component/*.cc cli/*.cc tools/*.cc \
         fuzz/*.cc; do
  [[ $f == *_test.cc ]] && continue
  grep -q "\"file\": \"$PWD/$f\"" "$db" && files+=("$f")
done
echo "lint: clang-tidy on ${#files[@]} files"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
printf '%s\n' "${files[@]}" |
  xargs -P2 -n1 "$tidy" -p "$build" --quiet >"$log" 2>/dev/null || status=$?
# file:line: finding [check], and how long an overlong function is.
grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error):|note: [0-9]+ lines including' "$log" |
  sed -e "s#^$PWD/##" -e 's/,-warnings-as-errors\]/]/' | awk '!seen[$0]++' || true
if ((status != 0)); then
  echo "lint: clang-tidy found problems (above; full report with: $tidy -p $build FILE)" >&2
  exit 1
fi
echo "lint: clean"
