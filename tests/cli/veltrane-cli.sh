#!/usr/bin/env bash
# veltrane-cli from outside, on the simulated device with time running fast: its exit status
# and what it says for each way a run ends, what it stores, and that a signal stores nothing.
# Usage: veltrane-cli.sh <build dir>
set -uo pipefail
cli=$1/veltrane-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VELTRANE_REGISTRY_FILE=$work/r.reg VELTRANE_TIME_SCALE=50
failed=0

# name | expected status | audio options | arguments | text the output must hold [| time scale]
# Time runs fast here and a sanitizer build runs slowly, so the looks come late by varying
# amounts: the stored digits are not checked here (the engine's tests in virtual time check
# the rate), only that the value is stored in the dialog's form, and the band's limit is lifted
# but where a row sets it. For the same reason the losses
# are several steps each: the late looks scatter the floors by a few of the fast time's ms, and
# time runs only ten times faster for them: on a busy machine a sanitizer build's looks at 50
# times came a second of fast time apart, so that every window held a loss and the losses read
# as a slower rate.
cases=(
  "stores|0|ppm=198.6,step=219|--seconds 30 --store Tuner --prefix Input1|\"Input1Calib_44100_Of Simulated Input\"=\"1.000"
  "json|0|ppm=-250|--seconds 10 --json|\"band_ppm\": ["
  "unknown device|2||--device Other|These are:"
  "bad rate|2||--rate 0|greater than 0"
  "device refuses|3|fail_open=4|--seconds 10|The device could not be opened"
  "device refuses the format|2|fail_open=32|--seconds 10 --store Tuner|The sample rate is not supported"
  "device refuses the rate|2|rates=44100/48000|--rate 1 --seconds 10 --store Tuner|The sample rate is not supported"
  "overrun|3|overrun_after_s=8|--seconds 30 --store Tuner|The recording broke off"
  "stall|3|stall_after_s=8|--seconds 30|stopped delivering"
  "samples lost|1|drop_every_s=1,drop_ms=60|--seconds 30 --store Tuner|Samples were lost|10"
  "losses in every other window|1|ppm=-250,drop_every_s=0.5,drop_ms=100|--seconds 30 --store Tuner|Samples were lost|10"
  "cannot store|4||--store Bad\\\\\\\\Folder|cannot be stored"
  "band too wide|1|late_us=1e9|--seconds 10 --max-band-ppm 58 --store Tuner|more than the 58 ppm"
  "band too wide, shown|1|late_us=1e9|--seconds 10 --max-band-ppm 58 --json|\"ratio\": "
  "band allowed wider|0|late_us=1e9|--seconds 10 --max-band-ppm 1e9 --store Tuner|Calib_44100"
  "bad band limit|2||--max-band-ppm 0|--max-band-ppm takes"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name want options arguments text scale <<<"$row"
  rm -f "$work/r.reg"
  # shellcheck disable=SC2086
  VELTRANE_TIME_SCALE=${scale:-$VELTRANE_TIME_SCALE} VELTRANE_AUDIO="simulated${options:+:$options}" \
    timeout 60 "$cli" calibrate \
      --device "Simulated Input" --rate 44100 --max-band-ppm 1e6 $arguments >"$work/out" 2>&1
  status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" "$work/out"; then
    echo "FAILED $name: status $status (wanted $want), output:"; cat "$work/out"
    failed=1
  fi
  # Only a run that succeeded may leave a value behind.
  if [ "$want" != 0 ] && grep -qs Calib_ "$work/r.reg"; then
    echo "FAILED $name: a value was stored"; failed=1
  fi
done

# The value stored by the first row is what show lists; the JSON is one object.
VELTRANE_AUDIO=simulated "$cli" calibrate --device "Simulated Input" --rate 44100 --seconds 10 \
  --max-band-ppm 1e6 \
  --store Tuner --json >"$work/json" 2>/dev/null
if ! python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); assert r["stored"]["name"]' \
    "$work/json" || ! "$cli" show Tuner | grep -qF 'Calib_44100_Of Simulated Input'; then
  echo "FAILED show"; cat "$work/json"; failed=1
fi

# A signal ends the run at once with 128 + its number and stores nothing, while measuring and
# while the device's open hangs (as a sound server's may, in a call nothing interrupts).
# signal | status | audio options
signals=(
  "INT|130|" "TERM|143|" "INT|130|hang_open_s=600" "TERM|143|hang_open_s=600"
)
for row in "${signals[@]}"; do
  IFS='|' read -r signal want options <<<"$row"
  rm -f "$work/r.reg"
  VELTRANE_AUDIO="simulated${options:+:$options}" VELTRANE_TIME_SCALE=10 timeout 30 "$cli" \
    calibrate --device "Simulated Input" --rate 44100 --store Tuner >"$work/out" 2>&1 &
  program=$!
  sleep 3
  sent=$(date +%s%N)
  kill -"$signal" $program
  wait $program
  status=$?
  took=$((($(date +%s%N) - sent) / 1000000))
  # At once, against the hang's ten minutes: well under a second in a plain build; a
  # sanitizer's runtime alone takes about one more to finish at the exit.
  if [ "$status" != "$want" ] || [ "$took" -gt 2500 ] || grep -qs Calib_ "$work/r.reg"; then
    echo "FAILED SIG$signal ${options:-measuring}: status $status after $took ms (wanted $want)"
    cat "$work/out"; failed=1
  fi
done

exit $failed
