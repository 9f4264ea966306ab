#!/usr/bin/env bash
# The bash completion of veltrane-cli, sourced as bash-completion loads it, asked for the
# words of a few command lines: commands, options, the simulated device's name however its
# word is begun, and rates, from the list of a device that tells its own.
# Usage: completion.sh <completion file> <veltrane-cli>
set -uo pipefail
completion=$1
cli=$2
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1090
source "$completion"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A sound card as the list shows one that tells its rates.
cat >"$work/card-cli" <<'CARD'
#!/bin/sh
printf '0  Simulated Input\n1  USB Audio\n     rates without resampling: 44100 48000\n'
CARD
chmod +x "$work/card-cli"
export VELTRANE_AUDIO=simulated
failed=0

# The words as bash hands them over (COMP_WORDBREAKS makes "=" a word of its own), the last
# being completed | the completions, sorted, joined by ";" | the program, if not veltrane-cli
cases=(
  "|--help;calibrate;list;show"
  "-|--help"
  "cal|calibrate"
  "list,-|--help;--json"
  "show,--|--;--help;--json"
  "calibrate,--s|--seconds;--store"
  "calibrate,--device,|Simulated Input"
  "calibrate,--device,Sim|Simulated Input"
  "calibrate,--device,\"Simulated In|Simulated Input"
  "calibrate,--device,=,Sim|Simulated Input"
  "calibrate,--device,Other|"
  "calibrate,--device,Simulated\\ Input,--rate,4|44100;48000"
  "calibrate,--rate,19|192000"
  "calibrate,--device,USB\\ Audio,--rate,|44100;48000|$work/card-cli"
  "calibrate,--seconds,|"
)
for row in "${cases[@]}"; do
  IFS='|' read -r line want program <<<"$row"
  mapfile -t typed < <(tr ',' '\n' <<<"$line")
  COMP_WORDS=("${program:-$cli}" "${typed[@]}")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_LINE=${COMP_LINE// = /=}
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _veltrane_cli "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ';')
  if [ "$got" != "$want" ]; then
    echo "FAILED ${COMP_WORDS[*]:1}: got \"$got\", wanted \"$want\""
    failed=1
  fi
done
exit $failed
