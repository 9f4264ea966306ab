#!/usr/bin/env bash
# Side by side, in one run on the sound server that scripts/with-pulse-null-sink (or
# scripts/with-pipewire-null-sink) started: the dialog's method (the worker's reports for
# 300 s through the dialog's own evaluation), veltrane-cli over 60 s, and recording 300 s with
# arecord divided by the wall time. Each ratio with its error against the null sink's truth.
# PulseAudio's follows from the step size seen: the sink counts each chunk in whole
# microseconds, truncated. PipeWire's sink times each quantum in whole nanoseconds, truncated:
# 1 within 0.2 ppm for any quantum of 256 frames or more (docs/pipewire.md).
# veltrane-cli runs first and alone: the dialog's worker spins pinned at real-time priority
# near every report, and the sound server's threads that land on its processor wait for it,
# which would charge the command line for the dialog's method. arecord records beside the
# worker, as it blocks and costs nothing.
# Usage: compare-methods.sh <build dir> calm|busy
# busy: one busy loop per processor at normal priority for the whole run.
set -euo pipefail
build=$1
condition=$2
rate=44100
work=$(mktemp -d)
busy=()
cleanup() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
if [ "$condition" = busy ]; then
  for _ in $(seq "$(nproc)"); do
    (while :; do :; done) &
    busy+=($!)
  done
fi

/usr/bin/time -f "%U %S %e" -o "$work/cli.time" "$build/veltrane-cli" calibrate \
  --device "PulseAudio Sound Server" --rate $rate --seconds 60 --json >"$work/cli.json" 2>/dev/null
"$build/measurement_bench" --alsa-only >"$work/dialog" 2>&1 &
dialog=$!
start=$(date +%s.%N)
arecord -q -D pulse -f U8 -c 1 -r $rate -d 300 -t raw >"$work/arecord.raw" 2>"$work/arecord.err"
end=$(date +%s.%N)
wait $dialog

python3 - "$work" "$rate" "$condition" "$start" "$end" "${VELTRANE_SOUND_SERVER:-pulseaudio}" <<'PY'
import json, math, os, sys
work, rate, condition, start, end = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4]), float(sys.argv[5])
server = sys.argv[6]
cli = json.load(open(os.path.join(work, "cli.json")))
step = cli["step_frames"]
if server == "pipewire":
    # The sink's timer moves on by the whole nanoseconds of each quantum.
    truth = 1.0
else:
    # The sink's clock moves on by the whole microseconds of each chunk.
    truth = (step / rate * 1e6) / math.floor(step / rate * 1e6)
user, system, wall = (float(x) for x in open(os.path.join(work, "cli.time")).read().split())
dialog_line = [l for l in open(os.path.join(work, "dialog")) if l.startswith("ALSA pulse")]
rows = []
if dialog_line:
    fields = dialog_line[0].split()
    rows.append(("dialog's method (its evaluation)", 300, float(fields[-8]), None, None))
    rows.append(("  same reports, least squares", 300, float(fields[-4]), None, None))
rows.append(("veltrane-cli", cli["seconds"], cli["ratio"], cli["band_ppm"], 100 * (user + system) / wall))
frames = os.path.getsize(os.path.join(work, "arecord.raw"))
rows.append(("arecord, frames / wall time", end - start, frames / (end - start) / rate, None, None))
print(f"{server}, {condition}: step {step} frames, truth {truth:.7f} ({(truth - 1) * 1e6:+.2f} ppm)")
print(f"  {'method':34} {'seconds':>7} {'ratio':>10} {'error ppm':>9}  {'95 % band holds truth':>22} {'cpu %':>6}")
for name, seconds, ratio, band, cpu in rows:
    error = (ratio / truth - 1) * 1e6
    inside = "" if band is None else ("yes" if band[0] <= (truth - 1) * 1e6 <= band[1] else "NO") + \
        f" [{band[0]:+.2f}, {band[1]:+.2f}]"
    print(f"  {name:34} {seconds:7.1f} {ratio:10.7f} {error:+9.2f}  {inside:>22} {'' if cpu is None else f'{cpu:6.2f}'}")
PY
