#!/usr/bin/env bash
# veltrane-cli's --store and show against the settings file from outside: the key reported is
# the key written, what the registry would refuse is refused before measuring with nothing
# stored, and a user's own files beside the hive are left alone.
# Usage: veltrane-cli-registry.sh <build dir>
set -uo pipefail
cli=$1/veltrane-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VELTRANE_REGISTRY_FILE=$work/r.reg VELTRANE_TIME_SCALE=50 VELTRANE_AUDIO=simulated
failed=0
long=$(printf 't%.0s' $(seq 300))

# name | folder given to --store | expected status | text the output must hold | show's folder
cases=(
  "trimmed|  Tuner  |0|in [HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\Tuner]|  Tuner  "
  "maker key|   |0|in [HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects]|"
  "nested|A\\B|0|in [HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\A\\B]|A\\B"
  "key name too long|$long|4|is 300 characters long, and the registry allows at most 255|"
  "empty level|a\\\\b|4|not a valid key path|"
  "only backslashes|\\\\|4|not a valid key path|"
  "trailing backslash|Tuner\\|4|not a valid key path|"
  "not UTF-8|$(printf 'bad\xff')|4|holds U+FFFD|"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name folder want text show <<<"$row"
  rm -f "$work"/r.reg*
  echo "mine" >"$work/r.reg.tmp-backup"
  # The digits, and so the band's width, are not what is tested here.
  timeout 60 "$cli" calibrate --device "Simulated Input" --rate 44100 --seconds 10 \
    --max-band-ppm 1e6 --store "$folder" >"$work/out" 2>&1
  status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" "$work/out"; then
    echo "FAILED $name: status $status (wanted $want), output:"; cat "$work/out"; failed=1
  fi
  if [ "$want" != 0 ] && grep -qs Calib_ "$work/r.reg"; then
    echo "FAILED $name: a value was stored"; failed=1
  fi
  if [ "$(cat "$work/r.reg.tmp-backup" 2>/dev/null)" != mine ]; then
    echo "FAILED $name: the user's file beside the hive was removed"; failed=1
  fi
  # show with the same folder lists the value just stored.
  if [ "$want" = 0 ] && ! "$cli" show "$show" | grep -qF 'Calib_44100_Of Simulated Input'; then
    echo "FAILED $name: show \"$show\" does not list it"; "$cli" show "$show"; failed=1
  fi
done
exit $failed
