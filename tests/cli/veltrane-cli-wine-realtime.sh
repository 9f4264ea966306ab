#!/usr/bin/env bash
# veltrane-cli.exe in real time under Wine: a minute through Wine's waveIn from the private
# PulseAudio null sink, whose rate is the truth (ratio 1). The result must hold the truth in
# its band, the band must still be of use, and the stored value must be what Wine's registry
# holds. Needs the null sink (scripts/with-pulse-null-sink) and a calm machine.
# Usage: veltrane-cli-wine-realtime.sh <Windows build dir>
set -uo pipefail
cli=$1/veltrane-cli.exe
if [ -z "${VELTRANE_NULL_SINK:-}" ]; then
  echo "needs a sound server: run under scripts/with-pulse-null-sink"
  exit 77
fi
# shellcheck source=../wine-scratch.sh
source "$(dirname "$0")/../wine-scratch.sh"
# DISPLAY stays: in a shared prefix, a Wine started without it may restart the prefix's
# desktop with no display driver, and the dialog after us could then open no window.
# Wider than any band seen on a calm machine (about +-3 ppm); a band this wide says nothing.
widest_half_ppm=10

device=$(wine "$cli" list 2>&1 | tr -d '\r' | sed -n 's/^[0-9]*  \(Monitor of .*\)$/\1/p' | head -1)
if [ -z "$device" ]; then
  echo "FAILED: no monitor of the null sink among Wine's devices"; wine "$cli" list; exit 1
fi
wine "$cli" calibrate --device "$device" --rate 44100 --seconds 60 --store Tuner \
  --prefix Live --json >"$work/json" 2>"$work/err"
status=$?
tr -d '\r' <"$work/json" >"$work/result"
wine reg query "HKCU\\Software\\Ombrel's Projects\\Tuner" /v "LiveCalib_44100_Of $device" 2>&1 |
  tr -d '\r' >"$work/reg"
python3 - "$status" "$work/result" "$work/reg" "$widest_half_ppm" <<'PY'
import json, re, sys
status, result, reg, widest = int(sys.argv[1]), sys.argv[2], open(sys.argv[3]).read(), float(sys.argv[4])
try:
    r = json.load(open(result))
except ValueError:
    sys.exit(f"FAILED: status {status}, no result")
low, high = r["band_ppm"]
print(f"{r['ppm']:+.2f} ppm, band [{low:+.2f}, {high:+.2f}], {r['steps']} steps, "
      f"losses {r['losses']} ({r['lost_ms']:.1f} ms), status {status}")
stored = (r.get("stored") or {}).get("value")
failures = []
if status != 0: failures.append("no result stored")
if not low <= 0.0 <= high: failures.append("the band misses the truth")
if max(high - r["ppm"], r["ppm"] - low) > widest: failures.append("the band is too wide to be of use")
if stored is None or not re.search(r"REG_SZ +" + re.escape(str(stored)) + r"\s*$", reg, re.M):
    failures.append(f"Wine's registry does not hold the stored value {stored}: {reg.strip()}")
if failures: sys.exit("FAILED: " + "; ".join(failures))
PY
outcome=$?
[ "$outcome" = 0 ] || cat "$work/err"
exit $outcome
