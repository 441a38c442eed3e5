#!/bin/sh
# Makes the media files (one second, tiny pictures, low bit rates) that the
# analysis tests run the real ffmpeg and mpgtx on, in video/ beside this
# script. They are committed, so the tests do not depend on local encoders.
set -eu
cd "$(dirname "$0")"
out=video
mkdir -p $out
ff="ffmpeg -nostdin -hide_banner -loglevel error -y"
# No creation times: reruns give the same bytes.
noclock="-map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact"

picture="-f lavfi -i testsrc=size=96x64:rate=15:duration=1"
tone="-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1"
tone48="-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1"
h264="-c:v libx264 -preset veryfast -crf 40 -pix_fmt yuv420p -g 15"
aac="-c:a aac -b:a 32k"

# H.264 + AAC in the three MPEG-4 containers.
$ff $picture $tone $h264 $aac $noclock -shortest "$out/h264_aac.mp4"
$ff $picture $tone $h264 $aac $noclock -shortest -f mp4 "$out/h264_aac.m4v"
$ff $picture $tone $h264 $aac $noclock -shortest -f mov "$out/h264_aac.mov"
# H.264 + MP3 audio: a pairing the device does not take.
$ff $picture $tone $h264 -c:a libmp3lame -b:a 32k $noclock -shortest "$out/h264_mp3.mp4"
# Two audio streams, 44.1 kHz then 22.05 kHz: the last one gives the rate.
$ff $picture $tone -f lavfi -i sine=frequency=660:sample_rate=22050:duration=1 \
  $h264 $aac -map 0:v -map 1:a -map 2:a $noclock -shortest "$out/h264_two_audio.mp4"
# A raw H.264 stream under an MP4 name: it has no duration.
$ff $picture $h264 $noclock -f h264 "$out/raw_h264.mp4"
# MPEG-4 part 2 video + AAC at 48 kHz.
$ff $picture $tone48 -c:v mpeg4 -q:v 20 $aac $noclock -shortest "$out/mpeg4_aac.mp4"
# Audio only: AAC in ADTS frames, MPEG-1 layer II.
$ff $tone $aac $noclock "$out/tone.aac"
$ff $tone48 -c:a mp2 -b:a 64k $noclock "$out/tone.mp2"
# MPEG program stream: MPEG-2 video + MPEG-1 layer II audio.
$ff $picture $tone48 -c:v mpeg2video -q:v 20 -c:a mp2 -b:a 64k $noclock -shortest \
  -f vob "$out/program.mpg"
ls -l "$out"
