#!/usr/bin/env bash
# Repeated real runs on a private sound server's null sink, each on a fresh server: veltrane-cli
# over 60 s, then the dialog's full calibration, each judged against the truth of 1 (a step of
# whole microseconds: 441 or 882 frames at 44100 on PulseAudio; PipeWire's null sink runs true).
# Prints one line a run: the result and its band, or what the program said instead.
# Usage: bench/server-runs.sh <build dir> pulseaudio|pipewire [cli runs] [dialog runs]
set -euo pipefail
build=$(realpath "$1")
case $2 in
  pulseaudio) null_sink=scripts/with-pulse-null-sink ;;
  pipewire) null_sink=scripts/with-pipewire-null-sink ;;
  *) echo "usage: $0 <build dir> pulseaudio|pipewire [cli runs] [dialog runs]" >&2; exit 2 ;;
esac
cli_runs=${3:-10}
dialog_runs=${4:-3}
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for i in $(seq "$cli_runs"); do
  status=0
  bash "$null_sink" "$build/veltrane-cli" calibrate --device "PulseAudio Sound Server" \
    --rate 44100 --seconds 60 --json >"$work/cli.json" 2>"$work/cli.err" || status=$?
  python3 - "$work" "$i" "$status" "$(cut -d' ' -f1 /proc/loadavg)" <<'PY'
import json, os, sys
work, run, status, load = sys.argv[1:]
try:
    r = json.load(open(os.path.join(work, "cli.json")))
except ValueError:
    lines = open(os.path.join(work, "cli.err")).read().strip().splitlines()
    print(f"cli {run:>2}  status {status}  load {load:>5}  no result: {lines[-1] if lines else '?'}")
    sys.exit()
low, high = r["band_ppm"]
print(f"cli {run:>2}  status {status}  load {load:>5}  {r['ppm']:+7.2f} ppm  band [{low:+.2f}, {high:+.2f}]"
      f"  {'holds 1' if low <= 0 <= high else 'MISSES 1'}  losses {r['losses']} ({r['lost_ms']:.1f} ms)")
PY
done

for i in $(seq "$dialog_runs"); do
  status=0
  bash "$null_sink" bash -c '
    device=$("$1/veltrane-cli" list | sed -n "s/^[0-9][0-9]*  //p" | grep -i -m1 pulse)
    VELTRANE_UNATTENDED=1 VELTRANE_REGISTRY_FILE="$2/r.reg" xvfb-run -a -s "-screen 0 1280x1024x24" \
      "$1/veltrane" "$device;Realtime;Test;English;;44100" 2>"$2/messages"' _ "$build" "$work" ||
    status=$?
  value=$(sed -n -E 's/^"TestCalib_44100_Of [^"]*"="([^"]*)"/\1/p' "$work/r.reg" 2>/dev/null || true)
  said=$(grep '^\[veltrane\]' "$work/messages" | sed 's/^\[veltrane\] //' | paste -sd' ' -)
  echo "dialog $i  status $status  load $(cut -d' ' -f1 /proc/loadavg)  stored '${value}'  said: $said"
  rm -f "$work/r.reg"
done
