#!/usr/bin/env bash
# veltrane-cli against a real chronyd (scripts/with-private-chrony names it): the result is
# against true time with chronyd's own figures; with no chronyd at the address named, the
# kernel's state stands (unsynchronised here, so against the crystal).
# Usage: chrony-reference.sh <build dir>   Exit 77: no private chronyd.
set -euo pipefail
build=$1
[ -n "${VELTRANE_CHRONY_ADDRESS:-}" ] || { echo "no VELTRANE_CHRONY_ADDRESS"; exit 77; }
calibrate() {
  VELTRANE_AUDIO=simulated:ppm=-250 "$build/veltrane-cli" calibrate --device "Simulated Input" \
    --rate 44100 --seconds 10 --json 2>/dev/null
}
json=$(calibrate)
port=${VELTRANE_CHRONY_ADDRESS##*:}
chronyc -h 127.0.0.1 -p "$port" -c tracking
echo "$json" | python3 -c '
import json, sys
clock = json.load(sys.stdin)["reference_clock"]
print(clock)
assert clock["source"] == "chrony" and clock["relative_to"] == "true time", clock
low, high = clock["frequency_band_ppm"]
assert low < high, clock
assert clock["slew_ppm"] is not None, clock
'
# A port nobody answers on: chronyd's figures are not there to be had.
json=$(VELTRANE_CHRONY_ADDRESS=127.0.0.1:9 calibrate)
echo "$json" | python3 -c '
import json, sys
clock = json.load(sys.stdin)["reference_clock"]
print(clock)
assert clock["source"] != "chrony" and clock["relative_to"] == "crystal", clock
assert clock["frequency_band_ppm"] is None, clock
'
