#!/usr/bin/env bash
# A complete calibration through the real program on the simulated device, time running 50
# times faster: it ends by itself, says it succeeded and stores the device's ratio.
# Usage: scaled-calibration.sh <build dir> [--ordinary-user | <device options> <ratio> <within>]
# (needs a display). The device options default to ppm=-250, the ratio stored to 0.999750 and
# the allowance to 0.000010.
# With --ordinary-user, run as root, the program runs as the user nobody, who may not raise
# priorities: the run must go on without any priority message. Exit 77: skipped.
set -euo pipefail
build=$1
if [ "${2:-}" = "--ordinary-user" ]; then
  if [ "$(id -u)" != 0 ] || ! id nobody >/dev/null 2>&1; then
    echo "needs root and the user nobody"; exit 77
  fi
  if ! su nobody -s /bin/bash -c "test -x '$build/veltrane' && test -r '$0'"; then
    echo "the build is not readable by nobody"; exit 77
  fi
  exec su nobody -s /bin/bash -c "HOME=/tmp xvfb-run -a bash '$0' '$build'"
fi
options=${2:-ppm=-250}
wanted=${3:-0.999750}
within=${4:-0.000010}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$(date +%s.%N)
VELTRANE_AUDIO="simulated:$options" VELTRANE_TIME_SCALE=50 VELTRANE_UNATTENDED=1 \
  VELTRANE_REGISTRY_FILE="$work/r.reg" timeout 60 "$build/veltrane" \
  "Simulated Input;Tuner;Input1;English;;44100" 2>"$work/messages"
elapsed=$(echo "$(date +%s.%N) - $start" | bc)
cat "$work/messages"
cat "$work/r.reg"
echo "took $elapsed s"
# Besides the box, an unattended run only says every 30 s how long it still takes.
[ "$(grep -v '^Time left: ' "$work/messages")" = "[veltrane] The calibration succeeded" ]
grep -qx "\[HKEY_CURRENT_USER\\\\SOFTWARE\\\\Ombrel's Projects\\\\Tuner\]" "$work/r.reg"
value=$(grep -F '"Input1Calib_44100_Of Simulated Input"=' "$work/r.reg" | sed -E 's/.*="([^"]*)"/\1/')
awk -v v="$value" -v t="$elapsed" -v w="$wanted" -v e="$within" 'BEGIN {
  d = v - w; if (d < 0) d = -d
  if (v == "" || d > e) { print "stored " v ", wanted " w " +- " e; exit 1 }
  if (t > 15) { print "took " t " s, wanted at most 15"; exit 1 }
}'
