#!/usr/bin/env bash
# The Windows installer under Wine, as a user runs it: a silent install puts both programs
# and the language files into %LOCALAPPDATA%\Programs\Veltrane with a Start-menu folder and
# an Add/Remove Programs entry; the installed veltrane-cli.exe lists the simulated device,
# calibrates and stores; the silent uninstall named by that entry then takes away every one
# of them but leaves the stored value, which tuners read. With the files for developers, the
# installed example program reads the values that the installed dialog and veltrane-cli.exe
# stored and corrects a frequency with them. Runs in the Wine prefix that WINEPREFIX names,
# or in a fresh one, on the display that DISPLAY names (the dialog needs one).
# Usage: installer-wine.sh <veltrane-setup.exe>
set -uo pipefail
setup=$1
[ -f "$setup" ] || { echo "No installer $setup: scripts/package-windows writes it"; exit 77; }
# shellcheck source=wine-scratch.sh
source "$(dirname "$0")/wine-scratch.sh"
display=${DISPLAY:-}
unset DISPLAY
# Wine would copy the new Start-menu entries into this machine's own menus.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winemenubuilder.exe=d"
entry="HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Veltrane"
key="HKCU\\Software\\Ombrel's Projects\\Setup Test"
name="Input1Calib_44100_Of Simulated Input"
failed=0
fail() { echo "FAILED $1"; failed=1; }
reg_value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -nE "s/^ *$2 +REG_[A-Z_]+ +//p"; }
unix_path() { winepath -u "$1" 2>/dev/null | tr -d '\r'; }

wine "$setup" /S /DEVELOPER || fail "install: status $?"
folder=$(reg_value "$entry" InstallLocation)
dir=$(unix_path "$folder")
menu=$(unix_path "$(wine cmd /c echo %APPDATA% | tr -d '\r')")/Microsoft/Windows/Start\ Menu/Programs/Veltrane
[[ $folder == *'\AppData\Local\Programs\Veltrane' ]] || fail "install folder '$folder'"
for file in veltrane.exe veltrane-cli.exe "Text - Deutsch.txt" "Text - Français.txt" README.txt \
    uninstall.exe; do
  [ -f "$dir/$file" ] || fail "install: no $file in $dir"
done
for file in bin/libveltrane-calibration.dll bin/veltrane-calibration-example.exe \
    lib/libveltrane-calibration.dll.a lib/libveltrane-calibration.a include/veltrane/calibration.h \
    lib/pkgconfig/veltrane-calibration.pc; do
  [ -f "$dir/Developer/$file" ] || fail "install: no Developer/$file in $dir"
done
for file in "Veltrane command line.lnk" "Veltrane read-me.lnk"; do
  [ -f "$menu/$file" ] || fail "install: no Start-menu entry $file"
done

cli=$dir/veltrane-cli.exe
VELTRANE_AUDIO=simulated wine "$cli" list 2>&1 | grep -q "Simulated Input" || fail "list"
VELTRANE_AUDIO=simulated:ppm=-250 VELTRANE_TIME_SCALE=50 wine "$cli" calibrate \
  --device "Simulated Input" --rate 44100 --seconds 10 --max-band-ppm 1e6 --store "Setup Test" \
  --prefix Input1 >"$work/calibrate" 2>&1 || { fail "calibrate:"; cat "$work/calibrate"; }
stored=$(reg_value "$key" "$name")
[[ $stored =~ ^[01]\.[0-9]{6}$ ]] || fail "stored value '$stored'"
if [ -n "$display" ]; then
  VELTRANE_AUDIO=simulated:ppm=-250 VELTRANE_TIME_SCALE=50 VELTRANE_UNATTENDED=1 DISPLAY=$display \
    timeout 120 wine "$dir/veltrane.exe" "Simulated Input;Setup Test;Dialog;English;;44100" \
    >"$work/dialog" 2>&1 || { fail "dialog:"; cat "$work/dialog"; }
  # What a tuner does with either value: 440.110028 Hz measured corrects to 440.110028 * ratio.
  example=$dir/Developer/bin/veltrane-calibration-example.exe
  for prefix in Input1 Dialog; do
    value=$(reg_value "$key" "${prefix}Calib_44100_Of Simulated Input")
    wine "$example" "Setup Test" "$prefix" 44100 "Simulated Input" 440.110028 2>&1 |
      tr -d '\r' >"$work/example"
    true_hz=$(sed -nE 's/^measured .* -> true ([0-9.]+) Hz$/\1/p' "$work/example")
    grep -q "^ratio: $value " "$work/example" &&
      awk -v v="$value" -v t="$true_hz" 'BEGIN { d = t - 440.110028 * v; exit !(t != "" && d * d < 1e-10) }' ||
      { fail "the example on the value of $prefix ('$value'):"; cat "$work/example"; }
  done
else
  echo "no display: the installed dialog and the example were not tried"
fi

# The uninstaller copies itself elsewhere, starts the copy and returns at once; the copy then
# removes the folder with the uninstaller in it. Done here by hand, so as to wait for it.
uninstall=$(reg_value "$entry" QuietUninstallString)
[ "$uninstall" = "\"$folder\\uninstall.exe\" /S" ] || fail "QuietUninstallString '$uninstall'"
cp "$dir/uninstall.exe" "$work/"
wine "$work/uninstall.exe" /S "_?=$folder" || fail "uninstall: status $?"
[ ! -e "$dir" ] || { fail "uninstall left:"; find "$dir"; }
[ ! -e "$menu" ] || { fail "uninstall left the Start menu's:"; find "$menu"; }
wine reg query "$entry" >/dev/null 2>&1 && fail "uninstall left $entry"
[ "$(reg_value "$key" "$name")" = "$stored" ] || fail "uninstall took the stored value"

[ "$failed" = 0 ] && echo "veltrane-setup.exe installs, runs and uninstalls silently, the value kept"
exit $failed
