#!/usr/bin/env bash
# Sets up, builds the cadenza tool and runs its main job on the bundled demo
# device: a copy of demo/device (so the bundled one stays as it is) gets its
# database listed, a track imported, one edited and one deleted.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target cadenza
cadenza=build/bin/cadenza
dev="$(mktemp -d)/ipod"
cp -r demo/device "$dev"
echo "Demo device: $dev"
set -x
"$cadenza" --device "$dev" info
"$cadenza" --device "$dev" tracks
"$cadenza" --device "$dev" playlists
"$cadenza" --device "$dev" add demo/media/04-moscow.mp3
"$cadenza" --device "$dev" edit 1 --title "Morning Tone (edited)" --year 2000
"$cadenza" --device "$dev" rm 2
"$cadenza" --device "$dev" playlist new Favourites
"$cadenza" --device "$dev" playlist add Favourites 3 1
"$cadenza" --device "$dev" playlist show Favourites
"$cadenza" --device "$dev" plays
"$cadenza" --device "$dev" tracks
"$cadenza" --device "$dev" show 3
