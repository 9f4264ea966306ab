#!/usr/bin/env bash
# The Windows dialog under Wine: a complete calibration in French on the simulated device,
# time running 50 times faster, unattended, under Xvfb. It must find its language file next
# to itself (a name beyond ASCII), say it succeeded and store the device's ratio in Wine's
# registry, where `wine reg query` reads it. Runs on the display and in the Wine prefix that
# DISPLAY and WINEPREFIX name (scripts/test starts the prefix under Xvfb); without a display,
# under Xvfb in a fresh prefix, since Wine picks its display driver when a prefix's desktop
# starts.
# Usage: dialog-wine.sh <Windows build dir>
set -uo pipefail
if [ -z "${DISPLAY:-}" ]; then
  unset WINEPREFIX
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
build=$1
# shellcheck source=../wine-scratch.sh
source "$(dirname "$0")/../wine-scratch.sh"
key="HKCU\\Software\\Ombrel's Projects\\Tuner"
name="Input1Calib_44100_Of Simulated Input"
wine reg delete "$key" /v "$name" /f >/dev/null 2>&1

VELTRANE_AUDIO=simulated:ppm=-250 VELTRANE_TIME_SCALE=50 VELTRANE_UNATTENDED=1 \
  timeout 120 wine "$build/veltrane.exe" "Simulated Input;Tuner;Input1;Fran$(printf '\xc3\xa7')ais;;44100" \
  2>&1 | tr -d '\r' >"$work/messages"
status=${PIPESTATUS[0]}
wine reg query "$key" /v "$name" 2>&1 | tr -d '\r' >"$work/reg"
value=$(sed -nE "s/^ *$name +REG_SZ +//p" "$work/reg")
cat "$work/messages" "$work/reg"
failed=0
if [ "$status" != 0 ] || ! grep -qx "\[veltrane\] L’étalonnage a réussi" "$work/messages"; then
  echo "FAILED: status $status, not the French success message"
  failed=1
fi
if ! awk -v v="$value" 'BEGIN { d = v - 0.999750; if (d < 0) d = -d; exit !(v != "" && d <= 0.000010) }'; then
  echo "FAILED: stored '$value', wanted 0.999750 +- 0.000010"
  failed=1
fi
[ "$failed" = 0 ] && echo "veltrane.exe calibrated under Wine and stored $value"
exit $failed
