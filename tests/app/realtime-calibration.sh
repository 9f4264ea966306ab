#!/usr/bin/env bash
# A full calibration through the real dialog, unattended under Xvfb, on the ALSA device of
# the private PulseAudio null sink that the test run started (scripts/with-pulse-null-sink).
# The null sink runs on the system clock, so the stored ratio must be 1 within a few ppm.
# Usage: realtime-calibration.sh <build dir>
set -euo pipefail
build=$1
device=$("$build/veltrane-cli" list | sed -n 's/^[0-9][0-9]*  //p' | grep -i -m1 pulse || true)
if [ -z "$device" ]; then
  echo "No PulseAudio device is listed; run under scripts/with-pulse-null-sink." >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
VELTRANE_UNATTENDED=1 VELTRANE_REGISTRY_FILE="$work/r.reg" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/veltrane" "$device;Realtime;Test;English;;44100" \
  2>"$work/messages" || true
echo "took $(( $(date +%s) - start )) s"
cat "$work/messages"
grep -qx "\[veltrane\] The calibration succeeded" "$work/messages"
value=$(grep -F "\"TestCalib_44100_Of $device\"=" "$work/r.reg" | sed -E 's/.*="([^"]*)"/\1/')
echo "stored: $value"
awk -v v="$value" 'BEGIN { d = v - 1; if (d < 0) d = -d; exit !(v != "" && d <= 0.000005) }'
