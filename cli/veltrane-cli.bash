# bash completion for veltrane-cli: its commands, each command's options, the recording
# devices' names for --device as "veltrane-cli list" gives them, and sample rates for --rate.
# Needs bash-completion's helpers, as every file of its completions folder does.

# The devices' names, one a line, from the list's "<number>  <name>" lines.
_veltrane_cli_devices()
{
    "$1" list 2>/dev/null | sed -n 's/^[0-9][0-9]*  //p'
}

# The rates the named device records at without resampling where the list gives them, else
# the usual ones.
_veltrane_cli_rates()
{
    local rates=""
    if [[ $2 ]]; then
        rates=$("$1" list 2>/dev/null | awk -v name="$2" '
            /^[0-9]+  / { here = substr($0, index($0, "  ") + 2) == name; next }
            here && /rates without resampling:/ { sub(/.*:/, ""); print; exit }')
    fi
    echo "${rates:-8000 11025 16000 22050 32000 44100 48000 88200 96000 176400 192000}"
}

# The word as the program will get it: without its quotes and escapes, and an open quote
# taken as typed so far.
_veltrane_cli_unquoted()
{
    case $1 in
        \"* | \'*) local word=${1:1} && printf '%s' "${word%[\"\']}" ;;
        *) dequote "$1" ;;
    esac
}

_veltrane_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    if ((cword == 1)); then
        mapfile -t COMPREPLY < <(compgen -W 'list calibrate show --help' -- "$cur")
        return
    fi
    local command=${words[1]} device="" i
    for ((i = 2; i < cword; i++)); do
        case ${words[i]} in
            --device) device=$(_veltrane_cli_unquoted "${words[i + 1]}") ;;
            --device=*) device=$(_veltrane_cli_unquoted "${words[i]#--device=}") ;;
        esac
    done

    case $command:$prev in
        calibrate:--device)
            # Names hold blanks: taken as they are, with readline quoting them as it does
            # file names. Never through compgen -W, which would expand a name's $( ).
            compopt -o filenames 2>/dev/null
            local typed name
            typed=$(_veltrane_cli_unquoted "$cur")
            while IFS= read -r name; do
                [[ $name == "$typed"* ]] && COMPREPLY+=("$name")
            done < <(_veltrane_cli_devices "$1")
            return
            ;;
        calibrate:--rate)
            mapfile -t COMPREPLY < <(compgen -W "$(_veltrane_cli_rates "$1" "$device")" -- "$cur")
            return
            ;;
        calibrate:--seconds | calibrate:--until-ppm | calibrate:--max-band-ppm | \
            calibrate:--store | calibrate:--prefix)
            return
            ;;
    esac
    $split && return

    local options
    case $command in
        list) options='--json --help' ;;
        calibrate) options='--device --rate --seconds --until-ppm --max-band-ppm --store --prefix
                            --json --help' ;;
        show) options='--json --help --' ;;
        *) return ;;
    esac
    # Only show takes an operand, a folder, which is left to the user.
    if [[ $cur == -* || $command != show ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    fi
} &&
    complete -F _veltrane_cli veltrane-cli
