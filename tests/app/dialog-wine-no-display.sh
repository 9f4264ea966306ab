#!/usr/bin/env bash
# The Windows dialog under Wine in a prefix whose desktop started without a display driver,
# and no DISPLAY: it cannot make its window, so it must say why and end with status 3 within
# seconds, not stop at a breakpoint nor wait.
# Usage: dialog-wine-no-display.sh <Windows build dir>
set -uo pipefail
build=$1
unset WINEPREFIX DISPLAY WAYLAND_DISPLAY
# shellcheck source=../wine-scratch.sh
source "$(dirname "$0")/../wine-scratch.sh"
export WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -p 30 && wineboot -i >/dev/null 2>&1
failed=0
started=$SECONDS
VELTRANE_AUDIO=simulated VELTRANE_TIME_SCALE=50 VELTRANE_UNATTENDED=1 \
  timeout 60 wine "$build/veltrane.exe" "Simulated Input;Tuner;Input1;English;;44100" \
  2>&1 | tr -d '\r' >"$work/messages"
status=${PIPESTATUS[0]}
took=$((SECONDS - started))
if [ "$status" != 3 ] || [ "$took" -gt 30 ] || grep -qF "Unhandled exception" "$work/messages" ||
   ! grep -qF "veltrane: the window system failed: " "$work/messages"; then
  echo "FAILED: status $status after $took s (wanted 3), output:"
  cat "$work/messages"
  failed=1
fi
exit $failed
