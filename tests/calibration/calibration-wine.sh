#!/usr/bin/env bash
# The calibration reader's Windows build under Wine, through its example program: the value
# and details veltrane-cli.exe --store put into Wine's registry, a value of another type that
# `wine reg add` put there, a missing one, and a hive file read by path. Runs in the Wine
# prefix that WINEPREFIX names, or in a fresh one.
# Usage: calibration-wine.sh <Windows build dir>
set -uo pipefail
build=$1
# shellcheck source=../wine-scratch.sh
source "$(dirname "$0")/../wine-scratch.sh"
unset DISPLAY
example=$build/veltrane-calibration-example.exe
failed=0
fail() { echo "FAILED $*"; failed=1; }

VELTRANE_AUDIO=simulated:ppm=-250 VELTRANE_TIME_SCALE=50 wine "$build/veltrane-cli.exe" calibrate \
  --device "Simulated Input" --rate 48000 --seconds 10 --max-band-ppm 1e6 --store " Tuner " \
  --json >"$work/json" 2>"$work/err" || fail "store: $(cat "$work/err")"
stored=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["stored"]["value"])' "$work/json")
want=$(awk -v r="$stored" 'BEGIN { printf "%.6f", 440.11 * r }')
out=$(wine "$example" Tuner "" 48000 "Simulated Input" 440.11 2>&1 | tr -d '\r')
grep -qF "true $want Hz" <<<"$out" && grep -qF "95 % band" <<<"$out" || fail "read: $out"

wine reg add "HKCU\\Software\\Ombrel's Projects\\Tuner" /v "Calib_8000_Of D" /t REG_DWORD /d 1 /f \
  >/dev/null 2>&1
# name | arguments | status | text
cases=(
  "another type|Tuner||8000|D|440|2|not a string value"
  "missing value|Tuner||44100|Simulated Input|440|2|No calibration is stored"
  "missing folder|Nowhere||48000|Simulated Input|440|2|No calibration is stored"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name folder prefix rate device hz want_status text <<<"$row"
  out=$(wine "$example" "$folder" "$prefix" "$rate" "$device" "$hz" 2>&1 | tr -d '\r')
  status=${PIPESTATUS[0]}
  [ "$status" = "$want_status" ] && grep -qF "$text" <<<"$out" || fail "$name: status $status: $out"
done

printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel'"'"'s Projects\\T]\r\n"Calib_48000_Of M"="0.999750"\r\n' \
  >"$work/hand.reg"
out=$(wine "$example" T "" 48000 M 440.110028 "$(winepath -w "$work/hand.reg" 2>/dev/null)" 2>&1 | tr -d '\r')
grep -qF "true 440.000000 Hz" <<<"$out" || fail "hive file by path: $out"
exit $failed
