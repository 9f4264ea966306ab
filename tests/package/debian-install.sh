#!/usr/bin/env bash
# The Debian package as a user gets it: built (scripts/package-debian, lintian-clean),
# installed with apt, its programs run from where it put them (veltrane-cli lists, calibrates
# and stores on the simulated device with time running fast; the dialog calibrates unattended
# under Xvfb, in German, from the language file in /usr/share/veltrane), then purged, and
# nothing it installed is left. Needs root (or sudo) and a system without veltrane installed,
# and asks to be meant: a plain ctest run must not install anything.
# Usage: VELTRANE_INSTALL_PACKAGE=1 debian-install.sh   (from anywhere; exit 77: skipped)
set -euo pipefail
cd "$(dirname "$0")/../.."
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
# A veltrane installed by someone else is not ours to replace and purge.
if dpkg-query -W -f='${Status}' veltrane 2>/dev/null | grep -q 'ok installed'; then
  echo "veltrane is installed already; this test would replace it and purge it"; exit 77
fi
work=$(mktemp -d)
purge() {
  if dpkg-query -W -f='${Status}' veltrane 2>/dev/null | grep -q 'ok installed'; then
    "${sudo_cmd[@]}" apt-get purge -y -qq veltrane >/dev/null
  fi
}
trap 'purge; rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

bash scripts/package-debian >"$work/package.log" 2>&1 || { cat "$work/package.log"; exit 1; }
tail -n 20 "$work/package.log"
debs=(build-deb/veltrane_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAILED: wanted one veltrane_*.deb, found ${debs[*]}"; exit 1; }

# What the package carries (a system may be set to leave manual pages or docs out).
dpkg-deb -c "${debs[0]}" | sed 's|.* \./|/|' >"$work/contents"
for path in /usr/bin/veltrane /usr/bin/veltrane-cli "/usr/share/veltrane/Text - Deutsch.txt" \
  "/usr/share/veltrane/Text - Français.txt" /usr/share/man/man1/veltrane.1.gz \
  /usr/share/man/man1/veltrane-cli.1.gz /usr/share/bash-completion/completions/veltrane-cli \
  /usr/share/doc/veltrane/copyright; do
  grep -qxF "$path" "$work/contents" || fail "the package does not hold $path"
done

DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "./${debs[0]}" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
dpkg -L veltrane >"$work/installed"

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

# Purged, nothing of it is left: what remains of its list are folders that other packages
# (or files that are not its own) still use.
"${sudo_cmd[@]}" apt-get purge -y -qq veltrane >/dev/null
while IFS= read -r path; do
  [ -e "$path" ] || continue
  if [ ! -d "$path" ] || { [ -z "$(ls -A "$path")" ] && ! dpkg-query -S "$path" >/dev/null 2>&1; }; then
    fail "left behind: $path"
  fi
done <"$work/installed"
[ $failed = 0 ] && echo "The package installs, runs and purges cleanly."
exit $failed
