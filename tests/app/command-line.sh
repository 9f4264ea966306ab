#!/usr/bin/env bash
# The real program from outside, unattended on the simulated device with time running fast:
# its exit status for each way a run ends, its usage text, a display that is missing or lost, fields that are not ASCII under a
# locale that cannot decode them, and its bounded wait at exit for a worker stuck in a device.
# Usage: command-line.sh <build dir>   (needs a display)
set -uo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# name | expected status | audio options | fields | line the messages must hold
cases=(
  "usage|0||--help|VELTRANE_UNATTENDED=1"
  "usage short|0||-h|Exit status:"
  "no such device|2||Other Input;Tuner;Input1;English;;44100|[veltrane] This sound input cannot be calibrated."
  "rate too large|2||Simulated Input;Tuner;Input1;English;;4294967296|[veltrane] The sample rate is not supported."
  "device refuses|3|fail_open=4|Simulated Input;Tuner;Input1;English;;44100|[veltrane] The calibration was interrupted."
  "device refuses the format|2|fail_open=32|Simulated Input;Tuner;Input1;English;;44100|[veltrane] The sample rate is not supported."
  "device refuses the rate|2|rates=44100/48000|Simulated Input;Tuner;Input1;English;;4.41e4|[veltrane] The sample rate is not supported."
  "cannot store|4||Simulated Input;Not set;Input1;English;;44100|[veltrane] The result cannot be stored.\\nRegistry folder not set."
  "picture of too many pixels|0|ppm=-250|Simulated Input;Tuner;Input1;English;$work/bomb.pgm;44100|Picture not shown: $work/bomb.pgm: it declares 30000 x 30000 pixels"
  "picture file too large|0|ppm=-250|Simulated Input;Tuner;Input1;English;$work/huge.png;44100|Picture not shown: $work/huge.png: it is larger than 100 MiB"
  "stored|0|ppm=-250|Simulated Input;Réglages;Input1;English;$(printf '\xff');44100|Time left: 00:0"
)
# Pictures that cost minutes or gigabytes if decoded or read whole: a 1 kB grey map declaring
# 30000 x 30000 and a sparse file of 1 GiB.
{ printf 'P5\n30000 30000\n255\n'; head -c 1000 /dev/zero; } >"$work/bomb.pgm"
truncate -s 1G "$work/huge.png"
for row in "${cases[@]}"; do
  IFS='|' read -r name want options fields line <<<"$row"
  rm -f "$work/r.reg"
  LC_ALL=C VELTRANE_AUDIO="simulated${options:+:$options}" VELTRANE_TIME_SCALE=100 \
    VELTRANE_UNATTENDED=1 VELTRANE_REGISTRY_FILE="$work/r.reg" VELTRANE_TRACE=- \
    timeout 60 "$build/veltrane" "$fields" >"$work/out" 2>&1
  status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$line" "$work/out"; then
    echo "FAILED $name: status $status (wanted $want), output:"; cat "$work/out"
    failed=1
  fi
done

# The last run: the folder stored as it was given although the locale is C (in UTF-16, as
# the registry editor reads a name beyond ASCII), and the invalid byte in the picture field
# cost nothing else (the device was found, the value stored).
stored=$(iconv -f UTF-16 -t UTF-8 "$work/r.reg" 2>/dev/null || true)
if ! grep -qF "[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\Réglages]" <<<"$stored" ||
   ! grep -qF '"Input1Calib_44100_Of Simulated Input"="0.99' <<<"$stored"; then
  echo "FAILED stored: the registry file holds"; echo "$stored"
  failed=1
fi

# Another program holds the settings file's lock from the start of the measuring to its end:
# the store fails after measuring, and the message says why as well as that it failed.
hive=$work/locked.reg
LC_ALL=C VELTRANE_AUDIO=simulated VELTRANE_TIME_SCALE=20 VELTRANE_UNATTENDED=1 VELTRANE_TRACE=- \
  VELTRANE_REGISTRY_FILE="$hive" \
  timeout 60 "$build/veltrane" "Simulated Input;Tuner;Input1;English;;44100" >"$work/out" 2>&1 &
program=$!
for _ in $(seq 200); do grep -qF "CalibrationThread start" "$work/out" && break; sleep 0.1; done
exec 9>"$hive.lock"
flock 9
wait "$program"
status=$?
exec 9>&-
reason="The settings file \"$hive\" is in use by another program."
if [ "$status" != 4 ] ||
   ! grep -qF "[veltrane] The result could not be stored.\nPlease try again.\n$reason" "$work/out"; then
  echo "FAILED store refused after measuring: status $status (wanted 4), output:"; cat "$work/out"
  failed=1
fi

# A sound server that hangs while the device is opened, and the user cancels: the program ends
# after its bounded wait for the worker (a few seconds), not when the hang is over (60 s).
VELTRANE_AUDIO=simulated:hang_open_s=600 VELTRANE_TIME_SCALE=10 VELTRANE_UNATTENDED=1 \
  VELTRANE_TRACE=- VELTRANE_REGISTRY_FILE="$work/hang.reg" \
  timeout 60 "$build/veltrane" "Simulated Input;Tuner;Input1;English;;44100" >"$work/out" 2>&1 &
program=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --class veltrane | head -n 1)
# Cancel once the worker is inside the hanging open, which follows its first trace line.
for _ in $(seq 200); do grep -qF "CalibrationThread start" "$work/out" && break; sleep 0.1; done
sleep 0.5
canceled=$SECONDS
xdotool key --window "$window" Escape
wait "$program"
status=$?
took=$((SECONDS - canceled))
if [ "$status" != 1 ] || [ "$took" -gt 10 ] || ! grep -qF "The worker did not end" "$work/out"; then
  echo "FAILED hanging device: status $status after $took s (wanted 1 within 10 s), output:"
  cat "$work/out"
  failed=1
fi

# No display to start on, and a display that goes away during the run: a message and status 3
# within seconds, not status 1 ("canceled") nor a run that goes on unseen.
# name | DISPLAY ("lost": an X server of its own, ended once the run shows progress) | line
displays=(
  "no DISPLAY||Unable to initialize GTK+"
  "no server|:4095|Unable to initialize GTK+"
  "display lost|lost|veltrane: the connection to the display was lost"
)
for row in "${displays[@]}"; do
  IFS='|' read -r name display line <<<"$row"
  server=
  if [ "$display" = lost ]; then
    Xvfb -displayfd 3 -screen 0 1280x1024x24 3>"$work/displayfd" >/dev/null 2>&1 &
    server=$!
    for _ in $(seq 100); do [ -s "$work/displayfd" ] && break; sleep 0.1; done
    display=:$(head -n 1 "$work/displayfd")
  fi
  where=(-u DISPLAY)
  [ -n "$display" ] && where=("DISPLAY=$display")
  started=$SECONDS
  env -u WAYLAND_DISPLAY "${where[@]}" \
    VELTRANE_AUDIO=simulated VELTRANE_TIME_SCALE=10 VELTRANE_UNATTENDED=1 \
    VELTRANE_REGISTRY_FILE="$work/display.reg" \
    timeout 60 "$build/veltrane" "Simulated Input;Tuner;Input1;English;;44100" >"$work/out" 2>&1 &
  program=$!
  if [ -n "$server" ]; then
    for _ in $(seq 200); do grep -qF "Time left" "$work/out" && break; sleep 0.1; done
    kill "$server"
  fi
  wait "$program"
  status=$?
  took=$((SECONDS - started))
  if [ "$status" != 3 ] || [ "$took" -gt 20 ] || ! grep -qF -- "$line" "$work/out"; then
    echo "FAILED $name: status $status after $took s (wanted 3), output:"; cat "$work/out"
    failed=1
  fi
done
exit $failed
