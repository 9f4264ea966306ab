#!/usr/bin/env bash
# veltrane-cli.exe under Wine against Wine's registry: a value it stores is what `wine reg
# query` reads there, and a value `wine reg add` puts there is what it shows, names beyond
# ASCII included, as are device names on its command line. Runs in the Wine prefix that WINEPREFIX names, or in a fresh one.
# Usage: veltrane-cli-wine.sh <Windows build dir>
set -uo pipefail
cli=$1/veltrane-cli.exe
# shellcheck source=../wine-scratch.sh
source "$(dirname "$0")/../wine-scratch.sh"
unset DISPLAY
key="HKCU\\Software\\Ombrel's Projects\\Tuner"
failed=0

# The simulated device with time running fast; the digits are the engine's tests' concern.
VELTRANE_AUDIO=simulated:ppm=-250 VELTRANE_TIME_SCALE=50 wine "$cli" calibrate \
  --device "Simulated Input" --rate 44100 --seconds 10 --max-band-ppm 1e6 --store Tuner \
  --prefix Input1 --json \
  >"$work/json" 2>"$work/err"
status=$?
stored=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["stored"]["value"])' \
  "$work/json" 2>/dev/null)
wine reg query "$key" /v "Input1Calib_44100_Of Simulated Input" 2>&1 | tr -d '\r' >"$work/reg"
if [ "$status" != 0 ] || [ -z "$stored" ] ||
    ! grep -qE "Input1Calib_44100_Of Simulated Input +REG_SZ +$stored\$" "$work/reg"; then
  echo "FAILED store: status $status, stored '$stored', reg query said:"
  cat "$work/reg" "$work/err"
  failed=1
fi

# The other way: what the registry holds, veltrane-cli shows.
name="Input2Calib_48000_Of Grüße 🎵"
wine reg add "$key\\Sub" /v "$name" /t REG_SZ /d 0.999750 /f >/dev/null 2>&1
wine "$cli" show Tuner 2>&1 | tr -d '\r' >"$work/show"
if ! grep -qF "[Software\\Ombrel's Projects\\Tuner\\Sub] \"$name\" = 0.999750" "$work/show"; then
  echo "FAILED show:"; cat "$work/show"; failed=1
fi

# A device name beyond ASCII arrives as typed, though argv on Windows is in the ANSI code page.
device="Grüße 🎵"
VELTRANE_AUDIO=simulated wine "$cli" calibrate --device "$device" --rate 44100 2>&1 |
  tr -d '\r' >"$work/device"
if ! grep -qF "No recording device is named \"$device\"" "$work/device"; then
  echo "FAILED device name:"; cat "$work/device"; failed=1
fi

[ "$failed" = 0 ] && echo "veltrane-cli.exe stores into and shows Wine's registry"
exit $failed
