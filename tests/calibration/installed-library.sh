#!/usr/bin/env bash
# The calibration library as a tuner's developer gets it: installed with cmake --install into
# a temporary prefix, the example built against it with pkg-config and with a small
# find_package project, shared and static, and run on a hive that veltrane-cli --store wrote
# (the simulated device at -250 ppm), found through XDG_CONFIG_HOME as the program finds it.
# Also: the installed files, the SONAME, only the C API exported, the correction's direction
# with numbers, the details --store leaves and its refusal of a name holding ';'.
# Usage: installed-library.sh <build dir>
set -uo pipefail
build=$(cd "$1" && pwd)
cli=$build/veltrane-cli
# A sanitizer build's library needs its runtime in the program too: a tuner's plain build
# cannot load it. Skipped there; the plain build runs it.
if grep -Eq '^VELTRANE_SANITIZE:STRING=.+' "$build/CMakeCache.txt"; then
  echo "skipped: a sanitizer build"; exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tuner-project.sh
source "$(dirname "$0")/tuner-project.sh"
failed=0
fail() { echo "FAILED $*"; failed=1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
pc=$(find "$prefix" -name veltrane-calibration.pc)
libdir=$(dirname "$(dirname "$pc")")
for file in "$libdir/libveltrane-calibration.so.0.1.0" "$libdir/libveltrane-calibration.so.0" \
  "$libdir/libveltrane-calibration.so" "$libdir/libveltrane-calibration.a" \
  "$prefix/include/veltrane/calibration.h" "$prefix/include/veltrane/calibration.hpp" \
  "$prefix/include/veltrane/calibration_export.h" \
  "$libdir/cmake/VeltraneCalibration/VeltraneCalibrationConfig.cmake" \
  "$libdir/cmake/VeltraneCalibration/VeltraneCalibrationConfigVersion.cmake" \
  "$libdir/cmake/VeltraneCalibration/VeltraneCalibrationTargets.cmake" \
  "$prefix/bin/veltrane-calibration-example" \
  "$prefix/share/doc/veltrane-calibration/example/tuner-example.c"; do
  [ -e "$file" ] || fail "not installed: ${file#"$prefix"/}"
done
so=$libdir/libveltrane-calibration.so.0
objdump -p "$so" | grep -q 'SONAME *libveltrane-calibration.so.0$' || fail "SONAME"
if nm -D --defined-only "$so" | awk '$2 != "A" { print $3 }' | grep -v '^veltrane_calibration_'; then
  fail "the shared library exports more than the C API"
fi

# A hive written by the program, where the program puts it.
export XDG_CONFIG_HOME=$work/config
unset VELTRANE_REGISTRY_FILE
hive=$XDG_CONFIG_HOME/veltrane/HKEY_CURRENT_USER.reg
VELTRANE_AUDIO=simulated:ppm=-250 VELTRANE_TIME_SCALE=50 timeout 60 "$cli" calibrate \
  --device "Simulated Input" --rate 48000 --seconds 10 --max-band-ppm 1e6 --store " Tuner " \
  --prefix "Tune " --json >"$work/store.json" 2>"$work/store.err" || fail "--store: $(cat "$work/store.err")"
stored=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["stored"]["value"])' "$work/store.json")
case $stored in 0.9997[45]*) ;; *) fail "stored ratio $stored, wanted about 0.999750" ;; esac

example=$prefix/share/doc/veltrane-calibration/example/tuner-example.c
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/by-pkg-config" "$example" $(pkg-config --cflags --libs veltrane-calibration) \
  -Wl,-rpath,"$libdir" || fail "the example does not build with pkg-config"
cc -Wall -Werror -o "$work/by-pkg-config-static" "$example" $(pkg-config --cflags veltrane-calibration) \
  "$(pkg-config --variable=libdir veltrane-calibration)/libveltrane-calibration.a" -lstdc++ -lm ||
  fail "the example does not build with the static archive"
readelf -d "$work/by-pkg-config-static" | grep -q 'libveltrane-calibration' && fail "static build needs the .so"

write_tuner_project "$work/project" "$example"
cmake -S "$work/project" -B "$work/project/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/project/build" >>"$work/cmake.log" 2>&1 || { fail "find_package project"; cat "$work/cmake.log"; }
readelf -d "$work/project/build/by-cmake-static" 2>/dev/null | grep -q 'libveltrane-calibration' &&
  fail "Veltrane::calibration-static needs the .so"

# Each build reads the program's value and corrects in the right direction: true = measured * ratio.
want=$(awk -v r="$stored" 'BEGIN { printf "%.6f", 440.11 * r }')
for program in "$work/by-pkg-config" "$work/by-pkg-config-static" "$work/project/build/by-cmake" \
  "$work/project/build/by-cmake-static" "$prefix/bin/veltrane-calibration-example"; do
  out=$("$program" " Tuner" "Tune " 48000 "Simulated Input" 440.11 2>&1)
  grep -qF "true $want Hz" <<<"$out" || fail "$(basename "$program"): wanted true $want Hz, got: $out"
  grep -qF "95 % band" <<<"$out" || fail "$(basename "$program") shows no details: $out"
  out=$("$program" Tuner "Tune " 48000 "Simulated Input" 440.11 "$hive" 2>&1)
  grep -qF "true $want Hz" <<<"$out" || fail "$(basename "$program") with the path: $out"
done

# The direction with numbers: a device at 47988 Hz for 48000 reads a true 440 Hz as 440.110028.
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel'"'"'s Projects\\T]\n"Calib_48000_Of M"="0.999750"\n' >"$work/by-hand.reg"
out=$("$work/by-pkg-config" T "" 48000 M 440.110028 "$work/by-hand.reg")
grep -qF "true 440.000000 Hz" <<<"$out" || fail "direction: $out"
"$work/by-pkg-config" T "" 44100 M 440 "$work/by-hand.reg" >/dev/null 2>&1
[ $? = 2 ] || fail "a missing value does not give status 2"
printf 'garbage\0\1\2' >"$work/bad.reg"
"$work/by-pkg-config" T "" 48000 M 440 "$work/bad.reg" >/dev/null 2>&1
[ $? = 3 ] || fail "a file that is not a hive does not give status 3"

# The details beside the value, with show; a second run replaces them all.
grep -q '"Tune Calib_48000_Of Simulated Input;of"="'"$stored"'"' "$hive" || fail "no ;of detail"
for key in band_ppm seconds date method relative_to; do
  grep -q "\"Tune Calib_48000_Of Simulated Input;$key\"=\"" "$hive" || fail "no $key detail"
done
grep -q ';relative_to"="crystal"' "$hive" || fail "relative_to is not crystal"
grep -Eq ';date"="[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"' "$hive" || fail "date format"
"$cli" show Tuner | grep -q '^      relative_to: crystal$' || fail "show prints no details"
"$cli" show Tuner | grep -q ';' && fail "show lists a detail as a value"
"$cli" show --json Tuner | python3 -c 'import json,sys; v=json.load(sys.stdin)["values"]; assert len(v)==1 and v[0]["details"]["relative_to"]=="crystal"' ||
  fail "show --json"
# Another device's value, stored by the dialog's way (no details), and a name with ';' refused.
for row in "device|--device|Simulated Input;band_ppm" "prefix|--prefix|x;"; do
  IFS='|' read -r name option value <<<"$row"
  before=$(cat "$hive")
  VELTRANE_AUDIO=simulated VELTRANE_TIME_SCALE=50 timeout 60 "$cli" calibrate --device "Simulated Input" \
    --rate 48000 --seconds 10 --store Tuner "$option" "$value" >"$work/out" 2>&1
  status=$?
  [ $status = 2 ] && grep -qF "holds ';'" "$work/out" || fail "';' in the $name: status $status: $(cat "$work/out")"
  [ "$before" = "$(cat "$hive")" ] || fail "';' in the $name: the hive changed"
done
exit $failed
