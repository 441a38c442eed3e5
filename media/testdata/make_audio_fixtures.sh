#!/bin/sh
# Makes the audio fixtures of the media reader tests with real encoders
# (lame, sox, ffmpeg) beside this script, and what ffprobe says of each in
# fixtures.txt.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# A second of tone, mono and stereo, at several rates.
sox -n -r 44100 -c 2 -b 16 "$tmp/s44.wav" synth 1 sine 440 sine 660
sox -n -r 44100 -c 1 -b 16 "$tmp/m44.wav" synth 1 sine 440
sox -n -r 22050 -c 2 -b 16 "$tmp/s22.wav" synth 1 sine 440 sine 660
sox -n -r 24000 -c 1 -b 16 "$tmp/m24.wav" synth 1 sine 440
sox -n -r 8000 -c 1 -b 16 "$tmp/m8.wav" synth 1 sine 440
sox -n -r 11025 -c 2 -b 16 "$tmp/s11.wav" synth 1 sine 440 sine 660

L="lame --quiet --noreplaygain"
# MPEG-1 layer III: CBR with a lame "Info" header, CBR without (-t), VBR.
$L -b 128 "$tmp/s44.wav" mp1l3_cbr128_stereo.mp3
$L -b 128 -t "$tmp/s44.wav" mp1l3_cbr128_noinfo.mp3
$L -V 4 "$tmp/s44.wav" mp1l3_vbr_stereo.mp3
$L -V 4 "$tmp/m44.wav" mp1l3_vbr_mono.mp3
$L -b 64 -m m "$tmp/m44.wav" mp1l3_cbr64_mono.mp3
# MPEG-2 layer III (22050 / 24000 Hz) and MPEG-2.5 layer III (8000 / 11025).
$L -b 64 "$tmp/s22.wav" mp2l3_cbr64_stereo.mp3
$L -V 6 "$tmp/m24.wav" mp2l3_vbr_mono.mp3
$L -b 16 "$tmp/m8.wav" mp25l3_cbr16_mono.mp3
$L -b 32 -t "$tmp/s11.wav" mp25l3_cbr32_stereo.mp3
# Layer II, MPEG-1 and MPEG-2.
ffmpeg -v error -y -i "$tmp/s44.wav" -c:a mp2 -b:a 192k -f mp2 mp1l2_cbr192_stereo.mp2
ffmpeg -v error -y -i "$tmp/s22.wav" -c:a mp2 -b:a 64k -f mp2 mp2l2_cbr64_stereo.mp2

# ID3v2.4, and ID3v2.3 with ID3v1, for the TagLib oracle.
ffmpeg -v error -y -i mp1l3_cbr128_stereo.mp3 -c copy \
  -metadata title="Grüße aus Köln" -metadata artist="Björk Ωmega" \
  -metadata album="Album ✓" -metadata date=2004 -metadata genre=Rock \
  -metadata track=7 -metadata comment="line one" -metadata composer="Jänis" \
  tagged_v24.mp3
ffmpeg -v error -y -i mp1l3_cbr128_stereo.mp3 -c copy -id3v2_version 3 \
  -write_id3v1 1 -metadata title="Café" -metadata artist="Señor" \
  -metadata album="Οδύσσεια" -metadata date=1999 -metadata genre=Jazz \
  -metadata track=3 -metadata copyright="(c) Someone" \
  -metadata encoded_by="Fixture Maker" tagged_v23_v1.mp3

# WAVE (PCM, and MP3 inside), AIFF, AIFF-C.
sox -n -r 44100 -c 2 -b 16 pcm_s16_stereo_44100.wav synth 0.5 sine 440 sine 660
sox -n -r 8000 -c 1 -b 8 pcm_u8_mono_8000.wav synth 1.5 sine 440
ffmpeg -v error -y -i "$tmp/s22.wav" -c:a libmp3lame -b:a 32k -f wav mp3_in_wave.wav
sox -n -r 11025 -c 2 -b 16 pcm_s16_stereo_11025.aiff synth 2 sine 440 sine 550
sox -n -r 16000 -c 1 -b 16 -t aifc pcm_s16_mono_16000.aifc synth 0.5 sine 440
# AVI with MP3, AC-3 and PCM audio beside a tiny video.
V="-f lavfi -i testsrc=size=32x32:rate=5:duration=1"
ffmpeg -v error -y $V -i "$tmp/s44.wav" -c:v mjpeg -c:a libmp3lame -b:a 64k -shortest avi_mp3.avi
ffmpeg -v error -y $V -i "$tmp/s44.wav" -c:v mjpeg -c:a ac3 -b:a 96k -shortest avi_ac3.avi
ffmpeg -v error -y $V -i "$tmp/m8.wav" -c:v mjpeg -c:a pcm_s16le -shortest avi_pcm.avi

# file,codec,sample rate,channels,bit rate,duration
: > fixtures.txt
for f in *.mp3 *.mp2 *.wav *.aiff *.aifc *.avi; do
  ffprobe -v error -select_streams a:0 \
    -show_entries stream=codec_name,sample_rate,channels,bit_rate:format=duration \
    -of csv=p=0:nk=1 "$f" | tr '\n' ',' | sed "s/^/$f,/;s/,\$//" >> fixtures.txt
  echo >> fixtures.txt
done
