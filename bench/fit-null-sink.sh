#!/usr/bin/env bash
# Real runs of veltrane-cli on a private PulseAudio null sink (truth exactly 1), each one's
# steps logged (VELTRANE_STEP_LOG) and then given to another build's step_log_fit, so that two
# fits are compared on the very same steps: what this build's veltrane-cli said, and what the
# other build's fit says of its log. A busy run keeps both processors busy for the first half
# of it and leaves them idle for the second, as a computer does that finishes some work.
# Prints one line a run. Run it on an otherwise calm machine. With KEEP_LOGS=<folder>, each
# run's step log is kept there as <seconds>s-<calm|busy>-<n>.steps.
# Usage: bench/fit-null-sink.sh <build dir> <other build dir> <runs> <seconds>...
set -euo pipefail
build=$(realpath "$1")
other=$(realpath "$2")
runs=$3
shift 3
cd "$(dirname "$0")/.."
work=$(mktemp -d)
loads=()
stop_loads() {
  for pid in "${loads[@]}"; do kill "$pid" 2>/dev/null || true; done
  loads=()
}
trap 'stop_loads; rm -rf "$work"' EXIT

busy_for() {
  local seconds=$1
  for _ in $(seq "$(nproc)"); do
    timeout "$seconds" bash -c 'while :; do :; done' &
    loads+=($!)
  done
}

# A loaded server answers the first look late; the load begins once the run is under way.
run_once() {
  local seconds=$1 kind=$2 log=$work/run.steps
  rm -f "$log"
  if [ "$kind" = busy ]; then
    (sleep 3 && busy_for $((seconds / 2))) &
    loads+=($!)
  fi
  local status=0
  VELTRANE_STEP_LOG=$log bash scripts/with-pulse-null-sink "$build/veltrane-cli" calibrate \
    --device "PulseAudio Sound Server" --rate 44100 --seconds "$seconds" --json \
    >"$work/cli.json" 2>"$work/cli.err" || status=$?
  wait "${loads[@]}" 2>/dev/null || true
  loads=()
  local replay=""
  if [ -n "${KEEP_LOGS:-}" ] && [ -s "$log" ]; then
    mkdir -p "$KEEP_LOGS"
    local n=1
    while [ -e "$KEEP_LOGS/${seconds}s-$kind-$n.steps" ]; do n=$((n + 1)); done
    cp "$log" "$KEEP_LOGS/${seconds}s-$kind-$n.steps"
  fi
  [ -s "$log" ] && replay=$("$other/step_log_fit" --replay 25 44100 0 "$log" | tail -n 1)
  python3 - "$work" "$status" "$seconds" "$kind" "$replay" <<'PY'
import json, os, sys
work, status, seconds, kind, replay = sys.argv[1:]
try:
    r = json.load(open(os.path.join(work, "cli.json")))
    low, high = r["band_ppm"]
    now = f"{r['ppm']:+7.2f} [{low:+6.2f}, {high:+6.2f}] {'holds' if low <= 0 <= high else 'MISSES'}"
except (ValueError, KeyError, TypeError):
    now = f"no result (status {status})"
other = "no log"
if replay:
    f = replay.replace("[", " ").replace("]", " ").replace(",", " ").split()
    other = f"{float(f[2]):+7.2f} [{float(f[3]):+6.2f}, {float(f[4]):+6.2f}] {f[-1]}"
print(f"{seconds:>3} s {kind:<5}  this build {now}   other build {other}", flush=True)
PY
}

for seconds in "$@"; do
  for kind in calm busy; do
    for _ in $(seq "$runs"); do run_once "$seconds" "$kind"; done
  done
done
