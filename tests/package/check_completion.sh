#!/usr/bin/env bash
# Loads mervo-cli's bash completion into bash and completes a few command lines
# the way readline does (COMP_WORDS, COMP_CWORD), printing each as a transcript.
# Usage: check_completion.sh COMPLETION_FILE TOOL_SOURCE_DIR
# TOOL_SOURCE_DIR holds the tool's getopt table, whose every long option must
# be offered (except those the completion leaves out on purpose).
set -uo pipefail

completion=$(realpath "${1:?usage: check_completion.sh COMPLETION_FILE TOOL_SOURCE_DIR}")
tool_sources=$(realpath "${2:?usage: check_completion.sh COMPLETION_FILE TOOL_SOURCE_DIR}")

# shellcheck source=/dev/null
source "$completion" || { echo "FAIL: $completion does not load"; exit 1; }
registered=$(complete -p mervo-cli 2>/dev/null) || { echo "FAIL: nothing completes mervo-cli"; exit 1; }
function=$(sed -n 's/.* -F \([^ ]*\) .*/\1/p' <<<"$registered")
[ -n "$function" ] || { echo "FAIL: no completion function in: $registered"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/backups" "$work/firmware"
touch "$work/vestra4-1.3.0.bin" "$work/backup_10.0.0.7.zip" "$work/report.json"
cd "$work" || exit 1

failures=0
# complete WORD... : the candidates bash offers for the last word, sorted, one a line.
complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$function" mervo-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort
}
# expect "LINE" CANDIDATE... : the candidates are exactly these. LINE is split
# into words as bash does it: at blanks, and around '='.
expect() {
    local line=$1; shift
    local -a words
    read -ra words <<<"${line//=/ = }"
    [[ $line == *' ' ]] && words+=("")
    local got wanted
    got=$(complete_line "${words[@]}")
    wanted=$( (($#)) && printf '%s\n' "$@" | sort)
    printf '$ %s<TAB>\n' "$line"
    printf '%s\n' "${got:-(nothing)}" | paste -sd' ' | sed 's/^/  /'
    if [ "$got" != "$wanted" ]; then
        echo "FAIL: expected: $*"
        failures=$((failures + 1))
    fi
}

# options
expect "mervo-cli --backup" --backupconfig --backupfilein --backupfileout --backupfileouttype
expect "mervo-cli --ip 10.0.0.7 --t" --tftp-blksize --timeout
expect "mervo-cli --no" --no-wait
# actions
expect "mervo-cli --action " get_status get_backup put_backup setup_channel push_firmware get_channel show_backup
expect "mervo-cli --action get_" get_backup get_channel get_status
# backup output types, also as --option=value
expect "mervo-cli --backupfileouttype " directory zip
expect "mervo-cli --backupfileouttype=" directory zip
expect "mervo-cli --backupfileouttype=d" directory
# channels
expect "mervo-cli --channel " 1 2 3 4
# paths: files, or directories only for the backup output
expect "mervo-cli --firmwarefile v" vestra4-1.3.0.bin
expect "mervo-cli --backupfilein b" backup_10.0.0.7.zip backups
expect "mervo-cli --report r" report.json
expect "mervo-cli --backupfileout " backups firmware
# free text: neither options nor file names
expect "mervo-cli --ip "
expect "mervo-cli --connect-timeout "

# Every long option in the tool's getopt table is offered, apart from the ones
# left out on purpose.
left_out=(delete file)
options=$(grep -rhoE '\{"[a-z][a-z0-9-]*", *(no|required|optional)_argument' "$tool_sources" |
    sed 's/{"\([^"]*\)".*/\1/' | sort -u)
[ -n "$options" ] || { echo "FAIL: no getopt table found under $tool_sources"; exit 1; }
offered=$(complete_line mervo-cli --)
for option in $options; do
    [[ " ${left_out[*]} " == *" $option "* ]] && continue
    grep -qx -- "--$option" <<<"$offered" || {
        echo "FAIL: --$option is not offered"
        failures=$((failures + 1))
    }
done

[ "$failures" -eq 0 ] || exit 1
