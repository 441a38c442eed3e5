#!/usr/bin/env bash
# Makes the demo device bundled with the project: a few short tagged MP3
# files (real encoders: sox and lame through ffmpeg) imported by cadenza.
#   demo/make_demo.sh BUILD_BIN_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="${1:?usage: make_demo.sh BUILD_BIN_DIR}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$here/media"
make() {  # file title artist album genre year freq
  ffmpeg -v error -y -f lavfi -i "sine=frequency=$7:duration=3" -ac 2 -ar 44100 \
    -c:a libmp3lame -b:a 64k -id3v2_version 3 \
    -metadata title="$2" -metadata artist="$3" -metadata album="$4" \
    -metadata genre="$5" -metadata date="$6" "$here/media/$1"
}
make 01-morning.mp3 "Morning Tone" "The Oscillators" "Test Signals" "Ambient" 1999 440
make 02-evening.mp3 "Evening Tone" "The Oscillators" "Test Signals" "Ambient" 2001 330
make 03-tokyo.mp3 "東京の夜" "Sinewave Ensemble" "Città Lontane" "Electronic" 2008 523
make 04-moscow.mp3 "Москва" "Sinewave Ensemble" "Città Lontane" "Electronic" 2010 262
rm -rf "$here/device"
"$bin/cadenza" init "$here/device" >/dev/null
"$bin/cadenza" --device "$here/device" add "$here/media/01-morning.mp3" "$here/media/02-evening.mp3" \
  "$here/media/03-tokyo.mp3"
