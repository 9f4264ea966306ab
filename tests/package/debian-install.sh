#!/usr/bin/env bash
# The Debian packages as users get them: built (scripts/package-debian, lintian-clean),
# installed with apt, their programs run from where they put them (veltrane-cli lists,
# calibrates and stores on the simulated device with time running fast; the dialog calibrates
# unattended under Xvfb, in German, from the language file in /usr/share/veltrane), the
# library's example built by a tuner's developer from the installed source with pkg-config and
# with find_package, shared and static, and run on both stored values, then purged, and nothing
# they installed is left. Needs root (or sudo) and a system without them installed, and asks
# to be meant: a plain ctest run must not install anything.
# Usage: VELTRANE_INSTALL_PACKAGE=1 debian-install.sh   (from anywhere; exit 77: skipped)
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=../calibration/tuner-project.sh
source tests/calibration/tuner-project.sh
if [ "${VELTRANE_INSTALL_PACKAGE:-}" != 1 ]; then
  echo "installs a package on this system: only with VELTRANE_INSTALL_PACKAGE=1"; exit 77
fi
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if ! sudo -n true 2>/dev/null; then
    echo "needs root or sudo to install the package"; exit 77
  fi
  sudo_cmd=(sudo)
fi
packages=(veltrane libveltrane-calibration0 libveltrane-calibration-dev)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
# A package installed by someone else is not ours to replace and purge.
for package in "${packages[@]}"; do
  if installed "$package"; then
    echo "$package is installed already; this test would replace it and purge it"; exit 77
  fi
done
work=$(mktemp -d)
purge() {
  local ours=()
  for package in "${packages[@]}"; do installed "$package" && ours+=("$package"); done
  [ ${#ours[@]} = 0 ] || "${sudo_cmd[@]}" apt-get purge -y -qq "${ours[@]}" >/dev/null
}
trap 'purge; rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

bash scripts/package-debian >"$work/package.log" 2>&1 || { cat "$work/package.log"; exit 1; }
tail -n 20 "$work/package.log"
debs=()
for package in "${packages[@]}"; do
  found=(build-deb/"$package"_*.deb)
  [ ${#found[@]} -eq 1 ] || { echo "FAILED: wanted one ${package}_*.deb, found ${found[*]}"; exit 1; }
  debs+=("./${found[0]}")
  dpkg-deb -c "${found[0]}" | sed "s|.* \\./|$package /|; s| -> .*||" >>"$work/contents"
done

# What each package carries (a system may be set to leave manual pages or docs out).
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch
while read -r package path; do
  grep -qxF "$package $path" "$work/contents" || fail "$package does not hold $path"
done <<CONTENTS
veltrane /usr/bin/veltrane
veltrane /usr/bin/veltrane-cli
veltrane /usr/bin/veltrane-calibration-example
veltrane /usr/share/veltrane/Text - Deutsch.txt
veltrane /usr/share/veltrane/Text - Français.txt
veltrane /usr/share/man/man1/veltrane.1.gz
veltrane /usr/share/man/man1/veltrane-cli.1.gz
veltrane /usr/share/man/man1/veltrane-calibration-example.1.gz
veltrane /usr/share/bash-completion/completions/veltrane-cli
veltrane /usr/share/doc/veltrane/copyright
libveltrane-calibration0 $lib/libveltrane-calibration.so.0.1.0
libveltrane-calibration0 $lib/libveltrane-calibration.so.0
libveltrane-calibration-dev $lib/libveltrane-calibration.so
libveltrane-calibration-dev $lib/libveltrane-calibration.a
libveltrane-calibration-dev $lib/pkgconfig/veltrane-calibration.pc
libveltrane-calibration-dev $lib/cmake/VeltraneCalibration/VeltraneCalibrationConfig.cmake
libveltrane-calibration-dev /usr/include/veltrane/calibration.h
libveltrane-calibration-dev /usr/include/veltrane/calibration.hpp
libveltrane-calibration-dev /usr/include/veltrane/calibration_export.h
libveltrane-calibration-dev /usr/share/doc/libveltrane-calibration-dev/examples/tuner-example.c
CONTENTS

DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "${debs[@]}" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
for package in "${packages[@]}"; do dpkg -L "$package"; done >"$work/installed"

# bash-completion finds the completion by the command's name, where the package put it.
# shellcheck disable=SC1091
bash -c 'source /usr/share/bash-completion/bash_completion && __load_completion veltrane-cli &&
  complete -p veltrane-cli' | grep -qF _veltrane_cli || fail "bash-completion does not load it"

# veltrane-cli from the PATH, as installed.
export VELTRANE_AUDIO=simulated:ppm=-250 VELTRANE_TIME_SCALE=50
[ "$(command -v veltrane-cli)" = /usr/bin/veltrane-cli ] || fail "veltrane-cli is not /usr/bin's"
veltrane-cli list | grep -qF "Simulated Input" || fail "veltrane-cli list"
if ! VELTRANE_REGISTRY_FILE=$work/cli.reg veltrane-cli calibrate --device "Simulated Input" \
    --rate 44100 --seconds 10 --max-band-ppm 1e6 --store Tuner --prefix Input1 >"$work/out" 2>&1 ||
  ! VELTRANE_REGISTRY_FILE=$work/cli.reg veltrane-cli show Tuner |
    grep -qF 'Input1Calib_44100_Of Simulated Input'; then
  fail "veltrane-cli calibrate --store"; cat "$work/out"
fi

# The dialog, unattended under Xvfb, in German: its one message box (a line "[caption] text";
# the others say the time left) is German only when it read the installed language file,
# which the trace names.
status=0
VELTRANE_UNATTENDED=1 VELTRANE_REGISTRY_FILE=$work/dialog.reg VELTRANE_TRACE=$work/trace \
  timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" veltrane \
  "Simulated Input;Tuner;Input1;Deutsch;;44100" 2>"$work/messages" || status=$?
if [ "$status" != 0 ] ||
  [ "$(grep '^\[' "$work/messages")" != "[veltrane] Die Kalibrierung war erfolgreich" ] ||
  ! grep -qF '"Input1Calib_44100_Of Simulated Input"="0.99975' "$work/dialog.reg"; then
  fail "the installed dialog (status $status)"; cat "$work/messages" "$work/dialog.reg"
fi
grep -A1 'Opening language file: /usr/share/veltrane/Text - Deutsch.txt' "$work/trace" |
  grep -qF 'Closing language file' || { fail "the language file's trace"; grep -i language "$work/trace"; }

# A tuner's developer builds the installed example with the system's own tools: pkg-config
# (its module names /usr, so nothing but the library is left to say) and a find_package
# project, each shared and static (the archive with the private libraries the module names).
example=/usr/share/doc/libveltrane-calibration-dev/examples/tuner-example.c
flags=$(pkg-config --cflags --libs veltrane-calibration | xargs)
[ "$flags" = -lveltrane-calibration ] || fail "pkg-config gives '$flags'"
static_libs=$(pkg-config --static --libs veltrane-calibration |
  sed 's/-lveltrane-calibration/-Wl,-Bstatic & -Wl,-Bdynamic/')
write_tuner_project "$work/project" "$example"
# shellcheck disable=SC2086
{ cc -Wall -Werror -o "$work/by-pkg-config" "$example" $flags &&
  cc -Wall -Werror -o "$work/by-pkg-config-static" "$example" $static_libs &&
  cmake -S "$work/project" -B "$work/project/build" && cmake --build "$work/project/build"; } \
  >"$work/build.log" 2>&1 || { fail "building the example"; cat "$work/build.log"; }
# Each reads both stored values (the hive file as its last argument) and corrects 440.11 Hz
# by them; the shared builds load the installed library, the static ones need none.
for program in "$work/by-pkg-config" "$work/by-pkg-config-static" "$work/project/build/by-cmake" \
  "$work/project/build/by-cmake-static" /usr/bin/veltrane-calibration-example; do
  needs=$(readelf -d "$program" 2>/dev/null | grep -c 'NEEDED.*libveltrane-calibration.so.0' || true)
  case $program in *static) want_needs=0 ;; *) want_needs=1 ;; esac
  [ "$needs" = "$want_needs" ] || fail "$(basename "$program") needs the shared library $needs times"
  for hive in "$work/cli.reg" "$work/dialog.reg"; do
    stored=$(sed -n 's/^"Input1Calib_44100_Of Simulated Input"="\(.*\)"\r\{0,1\}$/\1/p' "$hive")
    want=$(awk -v r="$stored" 'BEGIN { printf "%.6f", 440.11 * r }')
    out=$("$program" Tuner Input1 44100 "Simulated Input" 440.11 "$hive" 2>&1)
    grep -qF "true $want Hz" <<<"$out" ||
      fail "$(basename "$program") on $(basename "$hive") ($stored): wanted true $want Hz, got: $out"
  done
done

# Purged, nothing of them is left: what remains of their lists are folders that other packages
# (or files that are not theirs) still use.
"${sudo_cmd[@]}" apt-get purge -y -qq "${packages[@]}" >/dev/null
while IFS= read -r path; do
  [ -e "$path" ] || continue
  if [ ! -d "$path" ] || { [ -z "$(ls -A "$path")" ] && ! dpkg-query -S "$path" >/dev/null 2>&1; }; then
    fail "left behind: $path"
  fi
done <"$work/installed"
[ $failed = 0 ] && echo "The packages install, run, build a tuner and purge cleanly."
exit $failed
