#!/usr/bin/env bash
# veltrane-cli (and the dialog, with "gui") under hostile surroundings, through the real
# executables: standard streams full or closed, a reader gone, non-UTF-8 paths, control
# characters in stored values and arguments, odd numbers, signals.
# Usage: hostile-output.sh <build dir> [gui]
set -uo pipefail
build=$1
cli=$build/veltrane-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VELTRANE_AUDIO=simulated VELTRANE_TIME_SCALE=50 VELTRANE_REGISTRY_FILE=$work/r.reg
# Time runs fast and a sanitizer build slowly, so the band can be wider than a tuner's limit:
# these rows are about where the result goes, not its digits.
cal="$cli calibrate --device 'Simulated Input' --rate 44100 --seconds 5 --max-band-ppm 1e6"
# A hive whose values hold escape sequences and no numbers.
hive() {
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel'"'"'s Projects\\T]\n"Calib_1_Of A"="\033]0;x\007"\n"Calib_2_Of B"="nan"\n' >"$work/r.reg"
}
clean_log='! grep -qvE "^[0-9.]+ [0-9]+$" $work/step.log && echo clean log'
# The store's check before measuring is over once steps reach the step log.
measuring='for i in $(seq 300); do [ -s '"$work"'/step.log ] && break; sleep 0.1; done'
closed_pipe='python3 -c "import os,subprocess,sys; r,w=os.pipe(); os.close(r); sys.exit(subprocess.call(sys.argv[1:], stdout=w))"'

# name | expected status | text the output must hold | command (its stdout and stderr are
# read; last, so that it may hold "|")
cases=(
  "calibrate to a full disk|5|No space left on device|$cal >/dev/full"
  "stored but not printed|5|stored all the same|$cal --store T >/dev/full; s=\$?; grep -c Calib_ $work/r.reg; exit \$s"
  "list to a closed stdout|5|Bad file descriptor|$cli list >&-"
  "show json to a full disk|5|could not be written|$cli show --json >/dev/full"
  "help to a full disk|5|could not be written|$cli --help >/dev/full"
  "list to a gone reader|5|Broken pipe|$closed_pipe $cli list"
  "no stderr, step log|0|clean log|VELTRANE_STEP_LOG=$work/step.log $cal --seconds 20 2>&- && $clean_log"
  "no stdout, step log|5|clean log|VELTRANE_STEP_LOG=$work/step.log $cal >&-; s=\$?; $clean_log; exit \$s"
  "non-UTF-8 hive, json|0|ff2e726567|VELTRANE_REGISTRY_FILE=$work/bad\$'\\xff'.reg $cal --store T --json | python3 -c 'import json,sys; print(json.load(sys.stdin)[\"stored\"][\"file_bytes\"])'"
  "non-UTF-8 hive, show|0|bad\\xff.reg|VELTRANE_REGISTRY_FILE=$work/bad\$'\\xff'.reg $cli show"
  "escapes in the hive|0|\\x1b]0;x\\x07|hive; $cli show T | grep -v \$'\\e'"
  "nan in the hive|0|nan (not a number)|hive; $cli show T"
  "escapes in a device name|2|\\x1b[31mX|$cli calibrate --device \$'\\e[31mX' --rate 44100 2>&1 | grep -v \$'\\e'"
  "store fails after measuring|4|Ratio:|VELTRANE_STEP_LOG=$work/step.log VELTRANE_TIME_SCALE=10 $cal --seconds 30 --store T & $measuring; echo garbage >$work/r.reg; wait \$!"
  "store fails, json|4|\"stored\": null|VELTRANE_STEP_LOG=$work/step.log VELTRANE_TIME_SCALE=10 $cal --seconds 30 --store T --json 2>/dev/null & $measuring; echo garbage >$work/r.reg; wait \$!"
  "json refusal|2|\"status\": 2|$cal --json --rate 0x10 2>/dev/null"
  "hex seconds|2|--seconds takes|$cal --seconds 0x10"
  "hex time scale|2|VELTRANE_TIME_SCALE must be|VELTRANE_TIME_SCALE=0x10 $cli list"
  "blank seconds|2|--seconds takes|$cal --seconds ' 5'"
  "show -x|2|Unknown option|$cli show -x"
  "show -- -x|0|none|$cli show -- -x"
)
if [ "${2:-}" = gui ]; then
  # Without standard error the display connection must not take its place.
  cases=("dialog without stderr|0|1|VELTRANE_UNATTENDED=1 VELTRANE_AUDIO=simulated:ppm=-250 timeout 60 $build/veltrane 'Simulated Input;Tuner;Input1;English;;44100' 2>&-; s=\$?; grep -c Calib_ $work/r.reg; exit \$s")
fi
failed=0
for row in "${cases[@]}"; do
  IFS='|' read -r name want text command <<<"$row"
  rm -f "$work/r.reg" "$work/step.log"
  (eval "$command") >"$work/out" 2>&1
  status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" "$work/out"; then
    echo "FAILED $name: status $status (wanted $want), output:"; cat "$work/out"
    failed=1
  fi
done
exit $failed
