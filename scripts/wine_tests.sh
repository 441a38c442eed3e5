#!/usr/bin/env bash
# Runs the Windows build under Wine, both bitnesses: registration of
# Cadenza.dll, the COM test client (early and late bound, type library,
# detection), the JScript and VBScript clients and cadenza.exe, on a copy of
# the demo device mapped to drive K:; then reads the device written under
# Wine with the Linux tool and with libgpod.
#   scripts/wine_tests.sh W32_BIN W64_BIN LINUX_BIN [WORK_DIR]
# W32_BIN and W64_BIN hold Cadenza.dll, the blank template and cadenza.exe
# ("-" leaves that bitness out); the test programs are in ../tests/windows.
# LINUX_BIN holds cadenza and gpod_oracle. Exit 77 when something is missing.
set -u
[ $# -ge 3 ] || { echo "usage: $0 W32_BIN W64_BIN LINUX_BIN [WORK_DIR]" >&2; exit 2; }
root="$(cd "$(dirname "$0")/.." && pwd)"
lnx="$(cd "$3" && pwd)"
work="${4:-$(mktemp -d)}"
mkdir -p "$work" && work="$(cd "$work" && pwd)"
declare -A bin
[ "$1" = - ] || bin[32]="$(cd "$1" 2>/dev/null && pwd)"
[ "$2" = - ] || bin[64]="$(cd "$2" 2>/dev/null && pwd)"
skip() { echo "skipped: $*"; exit 77; }
[ -x /usr/lib/wine/wine64 ] || skip "wine64 is not installed"
[ -z "${bin[32]+x}" ] || [ -x /usr/lib/wine/wine ] || skip "32-bit wine is not installed"
for b in "${!bin[@]}"; do
  for f in Cadenza.dll Cadenza ../tests/windows/com_client.exe ../tests/windows/ffmpeg.exe; do
    [ -f "${bin[$b]}/$f" ] || skip "${bin[$b]}/$f is missing"
  done
done
for f in cadenza gpod_oracle; do [ -x "$lnx/$f" ] || skip "$lnx/$f is missing"; done
for t in jq ffmpeg sox lame; do command -v $t >/dev/null || skip "$t is not installed"; done

export WINEPREFIX="$work/prefix" TMPDIR="$work/tmp" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
failed=0
check() {  # NAME STATUS
  if [ "$2" = 0 ]; then echo "ok: $1"; else echo "FAIL: $1"; failed=$((failed + 1)); fi
}
wine_of() { [ "$1" = 64 ] && echo /usr/lib/wine/wine64 || echo /usr/lib/wine/wine; }
sys_of() { [ "$1" = 64 ] && echo 'C:\windows\system32' || echo 'C:\windows\syswow64'; }
# Runs a Windows program; its output goes to log/NAME.txt without CRs.
w() {  # BITS NAME SECONDS PROGRAM ARGS...
  local bits=$1 name=$2 secs=$3 rc
  shift 3
  timeout "$secs" "$(wine_of "$bits")" "$@" 2>&1 | tr -d '\r' >"$work/log/$name.txt"
  rc=${PIPESTATUS[0]}
  return "$rc"
}
# A client run passes when it ends with "done: 0 failed"; its failures are shown.
client() {  # BITS NAME PROGRAM ARGS...
  local bits=$1 name=$2 rc
  shift 2
  w "$bits" "$name" 300 "$@"
  rc=$?
  grep -E '^(FAIL|bench)' "$work/log/$name.txt" | sed "s/^/    $name: /"
  [ "$(tail -n 1 "$work/log/$name.txt")" = "done: 0 failed" ] && [ $rc = 0 ]
  check "$name (log/$name.txt)" $?
}
fresh_device() {
  rm -rf "$work/device" && cp -r "$root/demo/device" "$work/device"
  ln -sfn "$work/device" "$WINEPREFIX/dosdevices/k:"
}
titles() {  # the sorted titles of the device's tracks, as the Linux tool reads them
  "$lnx/cadenza" --device "$work/device" --json --no-images tracks |
    jq -r '.m_mhlt.m_mhit[] | [.m_mhod[] | select(.iType == 1) | .sString][0]' | LC_ALL=C sort
}

rm -rf "$work/prefix" "$work/tmp" "$work/log" "$work/media" && mkdir -p "$work/tmp" "$work/log" "$work/media"
echo "work folder: $work"

# What each DLL exports and imports, read from the file itself: the four
# entry points of an in-process server, undecorated, and nothing but the
# system's DLLs (the runtime is linked in).
for b in "${!bin[@]}"; do
  [ "$b" = 64 ] && od=x86_64-w64-mingw32-objdump || od=i686-w64-mingw32-objdump
  "$od" -p "${bin[$b]}/Cadenza.dll" >"$work/log/objdump$b.txt" 2>&1
  for e in DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer; do
    grep -Eq "^[[:space:]]+\[ *[0-9]+\] $e\$" "$work/log/objdump$b.txt"
    check "Cadenza.dll ($b-bit) exports $e" $?
  done
  ! grep 'DLL Name:' "$work/log/objdump$b.txt" | grep -Eiv 'DLL Name: (kernel32|user32|advapi32|ole32|oleaut32|shell32|shlwapi|bcrypt|msvcrt|api-ms-win-[a-z0-9-]+)\.dll'
  check "Cadenza.dll ($b-bit) imports only system DLLs" $?
done

# 32-bit Windows programs need a kernel that runs 32-bit processes (Wine's
# 32-bit loader is one). Where it does not, the 32-bit build is checked
# above and not run.
if [ -n "${bin[32]+x}" ] && ! timeout 30 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "note: this machine cannot run 32-bit programs (the kernel's 32-bit emulation is off);"
  echo "note: the 32-bit component was built and its exports and imports checked, not run"
  unset 'bin[32]'
fi

# Media files, made here by real encoders, and what ffmpeg reports on the MP4.
m="$work/media"
sox -n -r 44100 -c 2 -b 16 "$m/tone.wav" synth 2 sine 440 &&
  sox "$m/tone.wav" "$m/tone.aiff" &&
  sox -n -r 44100 -c 2 -b 16 "$m/big.wav" synth 40 sine 330 &&
  lame --quiet --add-id3v2 --tt "Wine Tone" --ta "Wine Artist" --tl "Wine Album" "$m/tone.wav" "$m/tone.mp3" &&
  ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=10:duration=2 -f lavfi -i sine=duration=2 \
    -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$m/clip.mp4"
check "media files made" $?
(cd "$m" && ffmpeg -i clip.mp4 2>ffmpeg_report.txt)
cp "$root"/tests/windows/script_client.* "$m/"

# Expectations, from the Linux tool's view of the demo device before any run.
fresh_device_dir="$root/demo/device"
mp4_ms=$(awk -F'[:., ]+' '/^  Duration: /{print ($3 * 3600 + $4 * 60 + $5) * 1000 + substr($6, 1, 1) * 100}' \
  "$m/ffmpeg_report.txt")
{
  "$lnx/cadenza" --device "$fresh_device_dir" --json --no-images tracks |
    jq -r '.m_mhlt.m_mhit[] | "title=" + [.m_mhod[] | select(.iType == 1) | .sString][0]'
  (cd "$fresh_device_dir" && find iPod_Control/Music -type f | LC_ALL=C sort) | sed 's|/|\\|g; s|^|file=K:\\|'
  for f in tone.mp3 tone.wav tone.aiff clip.mp4; do echo "size.$f=$(stat -c %s "$m/$f")"; done
  echo "mp4_ms=$mp4_ms"
  sed -n 's/.* Video: \([^,]*\), .*/mp4_video=\1/p; s/.* Audio: \([^,]*\), .*/mp4_audio=\1/p' "$m/ffmpeg_report.txt"
  echo "aiff_ms=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$m/tone.aiff" | awk '{printf "%d", $1 * 1000 + 0.5}')"
} >"$m/expect.txt"
[ "$(grep -c '^title=' "$m/expect.txt")" -gt 0 ] && [ -n "$mp4_ms" ]
check "expectations written (expect.txt)" $?
demo_titles="$(grep '^title=' "$m/expect.txt" | cut -d= -f2-)"

# A fresh prefix with the null graphics driver: dialogs are real windows.
timeout 120 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
timeout 120 wineserver -w
timeout 60 /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
check "prefix made, null graphics driver" $?
timeout 30 wineserver -k
timeout 60 wineserver -w
ln -sfn "$m" "$WINEPREFIX/dosdevices/m:"

clsid='{8C0B6064-2BC2-4EFC-8E82-769C3654C4C9}'
libid='{F1C74165-CB48-4B4B-9F67-25682A6B4A35}'
reg_has() {  # BITS KEY TEXT: the key exists in that view and its listing holds TEXT
  timeout 60 /usr/lib/wine/wine64 reg query "$2" /s "/reg:$1" 2>/dev/null | tr -d '\r' | grep -qiF -- "$3"
}
register() {  # BITS [/u]
  timeout 60 /usr/lib/wine/wine64 regsvr32 /s ${2:-} "C:\\cadenza$1\\Cadenza.dll" >/dev/null 2>&1
}

# Install and register each bitness from its own folder, with the stand-in
# ffmpeg.exe beside the component.
for b in "${!bin[@]}"; do
  d="$WINEPREFIX/drive_c/cadenza$b"
  mkdir -p "$d" && cp "${bin[$b]}"/Cadenza.dll "${bin[$b]}"/Cadenza "$d/" &&
    cp "${bin[$b]}"/../tests/windows/{com_client,ffmpeg,image_roundtrip}.exe "$m/ffmpeg_report.txt" "$d/"
  [ -f "${bin[$b]}/cadenza.exe" ] && cp "${bin[$b]}/cadenza.exe" "$d/"
  register "$b"
  check "regsvr32 Cadenza.dll ($b-bit)" $?
  reg_has "$b" "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" "C:\\cadenza$b\\Cadenza.dll"
  check "InprocServer32 in the $b-bit view" $?
  reg_has "$b" "HKLM\\Software\\Classes\\TypeLib\\$libid\\1.0" "win$b"
  check "type library registered for win$b" $?
  reg_has "$b" "HKLM\\Software\\Classes\\Cadenza.clsCadenza\\CLSID" "$clsid"
  check "ProgID Cadenza.clsCadenza in the $b-bit view" $?
done

for b in "${!bin[@]}"; do
  c="C:\\cadenza$b\\com_client.exe"
  client "$b" "typelib$b" "$c" --typelib
  client "$b" "detect$b" "$c" --detect
  client "$b" "image$b" "C:\\cadenza$b\\image_roundtrip.exe"
  for mode in early late; do
    fresh_device
    client "$b" "$mode$b" "$c" "--$mode" 'K:\' 'M:\'
    # The database written under Wine, read back on Linux.
    want="$(printf '%s\nRenamed\ntone.aiff\nclip.mp4\n' "$demo_titles" | LC_ALL=C sort)"
    [ "$(titles)" = "$want" ]
    check "$mode$b: the Linux tool reads the tracks written under Wine" $?
    "$lnx/gpod_oracle" dump "$work/device" >"$work/log/gpod-$mode$b.json" 2>&1 &&
      jq -e --argjson n "$(echo "$want" | wc -l)" '
        .track_count == $n and
        ([.playlists[] | select(.is_master) | .count] == [$n]) and
        ([.tracks[] | select(.title == "clip.mp4") | [.mediatype, .movie_flag]] == [[2, 1]]) and
        ([.tracks[] | select(.title == "Renamed") | [.album, .year]] == [["New Album", 2008]])' "$work/log/gpod-$mode$b.json" >/dev/null
    check "$mode$b: libgpod reads the tracks, master playlist, video and edited track" $?
  done
  fresh_device
  for s in js vbs; do
    client "$b" "$s$b" "$(sys_of "$b")\\cscript.exe" //nologo "M:\\script_client.$s" 'K:\' 'M:\clip.mp4'
  done
done

# cadenza.exe on the mapped drive.
for b in "${!bin[@]}"; do
  [ -f "$WINEPREFIX/drive_c/cadenza$b/cadenza.exe" ] || { echo "note: no cadenza.exe ($b-bit)"; continue; }
  fresh_device
  x="C:\\cadenza$b\\cadenza.exe"
  w "$b" "exe-info$b" 120 "$x" --device 'K:\' info && grep -q . "$work/log/exe-info$b.txt"
  check "cadenza.exe info ($b-bit)" $?
  w "$b" "exe-add$b" 120 "$x" --device 'K:\' add 'M:\tone.mp3'
  check "cadenza.exe add ($b-bit)" $?
  w "$b" "exe-tracks$b" 120 "$x" --device 'K:\' tracks && grep -q "Wine Tone" "$work/log/exe-tracks$b.txt"
  check "cadenza.exe tracks lists the added track ($b-bit)" $?
  titles | grep -qx "Wine Tone"
  check "the Linux tool reads the track cadenza.exe added ($b-bit)" $?
done

# Unregistering one bitness leaves the other creatable by its ProgID.
if [ -n "${bin[32]+x}" ] && [ -n "${bin[64]+x}" ]; then
  for pair in "32 64" "64 32"; do
    set -- $pair
    register "$1" /u
    check "regsvr32 /u ($1-bit)" $?
    ! reg_has "$1" "HKLM\\Software\\Classes\\CLSID\\$clsid" "InprocServer32"
    check "the $1-bit class is gone" $?
    reg_has "$2" "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" "C:\\cadenza$2\\Cadenza.dll"
    check "the $2-bit class is still registered" $?
    client "$2" "create$2-without$1" "C:\\cadenza$2\\com_client.exe" --create-only
    register "$1"
    client "$1" "create$1-again" "C:\\cadenza$1\\com_client.exe" --create-only
  done
else
  # One bitness alone: unregistration removes its class, type library and
  # ProgID; registering again makes it creatable again.
  for b in "${!bin[@]}"; do
    register "$b" /u
    check "regsvr32 /u ($b-bit)" $?
    ! reg_has "$b" "HKLM\\Software\\Classes\\CLSID\\$clsid" "InprocServer32" &&
      ! reg_has "$b" "HKLM\\Software\\Classes\\TypeLib\\$libid" "win$b" &&
      ! reg_has "$b" "HKLM\\Software\\Classes\\Cadenza.clsCadenza" "$clsid"
    check "class, type library and ProgID gone ($b-bit)" $?
    register "$b"
    client "$b" "create$b-again" "C:\\cadenza$b\\com_client.exe" --create-only
  done
fi

timeout 30 wineserver -k
echo "done: $failed failed"
[ "$failed" = 0 ]
