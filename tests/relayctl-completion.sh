#!/usr/bin/env bash
# relayctl's bash completion, called as bash calls it for each line of a table, against what it
# must offer. Usage: relayctl-completion.sh COMPLETION-SCRIPT RELAYCTL
set -u

bash_completion=/usr/share/bash-completion/bash_completion
if [[ ! -r $bash_completion ]]; then
    echo "SKIP: $bash_completion is missing (the bash-completion package)"
    exit 77
fi
script=$1
relayctl=$2

# shellcheck disable=SC1090
source "$bash_completion"
# shellcheck disable=SC1090
source "$script"
if [[ "$(complete -p relayctl 2>/dev/null)" != "complete -F _relayctl relayctl" ]]; then
    echo "FAIL: $script does not register _relayctl for relayctl"
    exit 1
fi

scratch=$(mktemp -d /tmp/relayctl-completion.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# Adapters named for good, and a place without any.
mkdir "$scratch/by-id" "$scratch/none"
touch "$scratch/by-id/usb-FTDI_A-if00-port0" "$scratch/by-id/usb-FTDI_B-if00-port0"
touch "$scratch/pty-link"

# What `relayctl ports` would list, without asking the system.
relayctl() { printf '1\t/dev/ttyS0\t-\t-\t-\n2\t/dev/ttyUSB0\tFT232R\tFTDI\tA1\n'; }

# Every long option relayctl's help names: the completion offers them all.
long_options=$(QT_QPA_PLATFORM=offscreen "$relayctl" --help \
    | sed -n '/^Options:/,/^$/p' | grep -oE '^  (-[a-z], )?--[a-z][a-z-]*' | grep -oE -- '--[a-z-]+')

commands="on off toggle all-on all-off stop show set-address hold wait"
relays="1 2 3 4 5 6 7 8"
failures=0

# The words bash makes of a line: split at blanks and around "=", an empty one after a blank.
complete_line() {
    local line=$1 token
    COMP_WORDS=()
    for token in $line; do
        while [[ $token == *=* ]]; do
            COMP_WORDS+=("${token%%=*}" "=")
            token=${token#*=}
        done
        [[ -n $token ]] && COMP_WORDS+=("$token")
    done
    [[ $line == *' ' || $line == *= ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _relayctl relayctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

# row exact|includes BY-ID-DIR LINE EXPECTED: the offers are EXPECTED, or include all of it.
row() {
    local kind=$1 line=$3 got want missing
    local -a expected
    read -r -d "" -a expected <<<"$4"
    _relayctl_by_id=$2
    got=$(complete_line "$line")
    want=$(printf '%s\n' "${expected[@]}" | sed '/^$/d' | sort)
    if [[ $kind == exact ]]; then
        [[ $got == "$want" ]] && return
    else
        missing=$(comm -13 <(echo "$got") <(echo "$want"))
        [[ -z $missing ]] && return
    fi
    echo "FAIL: \"$line\" offers [${got//$'\n'/ }], expected $kind [${expected[*]}]"
    failures=$((failures + 1))
}

if [[ -z $long_options ]]; then
    echo "FAIL: no options found in $relayctl --help"
    exit 1
fi

none=$scratch/none
byid=$scratch/by-id
row exact "$none" 'relayctl ' "$commands ports"
row exact "$none" 'relayctl o' 'on off'
row exact "$none" 'relayctl t' 'toggle'
row exact "$none" 'relayctl a' 'all-on all-off'
row exact "$none" 'relayctl s' 'stop show set-address'
row exact "$none" 'relayctl p' 'ports'
row exact "$none" 'relayctl --address 3 p' ''
row exact "$none" 'relayctl on ' "$relays"
row exact "$none" 'relayctl off ' "$relays"
row exact "$none" 'relayctl toggle ' "$relays"
row exact "$none" 'relayctl on 1 ' "$relays $commands"
row exact "$none" 'relayctl on 1 p' ''
row exact "$none" 'relayctl --address 3 hold ' "$relays"
row exact "$none" 'relayctl --address 3 hold 2 ' '250ms 1s'
row exact "$none" 'relayctl --address=3 hold 2 5' '5ms 5s 5m'
row exact "$none" 'relayctl wait ' '250ms 1s'
row exact "$none" 'relayctl wait 1.5' '1.5ms 1.5s 1.5m'
row exact "$none" 'relayctl wait 2m' '2ms 2m'
row exact "$none" 'relayctl hold 2 1s ' "$commands"
row exact "$none" 'relayctl set-address ' ''
# A command's name where its argument belongs is that argument, as relayctl reads it.
row exact "$none" 'relayctl hold 2 on ' "$commands"
row exact "$none" 'relayctl set-address on ' "$commands"
row exact "$none" 'relayctl set-address 7 s' 'stop show set-address'
row exact "$none" 'relayctl ports ' ''
row exact "$none" 'relayctl --address ' ''
row exact "$none" 'relayctl --dev' '--device'
row exact "$none" 'relayctl --' "$long_options"
row exact "$none" 'relayctl --device /dev/ttyUSB0 --address 2 on ' "$relays"
row exact "$none" 'relayctl --port ' '1 2'
row exact "$byid" 'relayctl --device ' "$byid/usb-FTDI_A-if00-port0 $byid/usb-FTDI_B-if00-port0"
row exact "$byid" "relayctl --device=$byid/usb-FTDI_B" "$byid/usb-FTDI_B-if00-port0"
row includes "$none" 'relayctl --device ' '/dev/tty'
row exact "$byid" "relayctl --device $scratch/pty" "$scratch/pty-link"

[[ $failures -eq 0 ]] || exit 1
echo "All completions as expected"
