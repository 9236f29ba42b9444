#!/usr/bin/env bash
# The bash completion of vintrace-cli, driven as bash drives it: each case sets the words
# typed so far and checks what is offered.
# Usage: completion_test.sh CLI COMPLETION_FILE
set -u
cli_dir=$(cd "$(dirname "$1")" && pwd)
export PATH="$cli_dir:$PATH"
# shellcheck source=/dev/null
source "$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" && touch capture-one.dat capture-two.pcap

failures=0
# check "WORDS TYPED" MUST-OFFER MUST-NOT-OFFER (space-separated; "-" for none)
check() {
    local line=$1 want=$2 unwanted=$3
    read -r -a COMP_WORDS <<< "$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _vintrace_cli
    local offered=" ${COMPREPLY[*]} " w
    for w in $want; do
        [[ $w == - || $offered == *" $w "* ]] && continue
        echo "FAIL '$line': '$w' not offered; offered:$offered"
        failures=$((failures + 1))
    done
    for w in $unwanted; do
        [[ $w == - || $offered != *" $w "* ]] && continue
        echo "FAIL '$line': '$w' offered"
        failures=$((failures + 1))
    done
}

check "vintrace-cli " "dump hide search export import stats analyzer" "status --check"
check "vintrace-cli an" "analyzer" "dump"
check "vintrace-cli analyzer " "status trigger speed acquire" "dump"
check "vintrace-cli analyzer acquire --" "--output --force --trigger --timeout --help" "--check"
check "vintrace-cli dump --" "--check --decode --output --force" "--timeout"
check "vintrace-cli export capture-one.dat out.pcap --speed " "full low" "capture-one.dat"
check "vintrace-cli analyzer speed " "-" "status"
check "vintrace-cli dump -o " "capture-one.dat capture-two.pcap" "--check"
check "vintrace-cli dump capture-o" "capture-one.dat" "capture-two.pcap"
check "vintrace-cli stats --json capture-t" "capture-two.pcap" "capture-one.dat"
check "vintrace-cli ch" "check" "dump"
check "vintrace-cli check --" "--json --fail-on --list" "--check"
check "vintrace-cli check --fail-on " "error warning info" "capture-one.dat"
check "vintrace-cli str" "stream" "stats dump"
check "vintrace-cli stream capture-one.dat --" "--address --endpoint --direction --output --force" "--check"
check "vintrace-cli stream capture-one.dat --direction " "in out" "capture-one.dat"
check "vintrace-cli transfers capture-one.dat --" "--assume --address --json" "--check"
check "vintrace-cli devices capture-one.dat --assume 1.0x81=" "1.0x81=hid-boot-mouse 1.0x81=bulk" "capture-one.dat"
check "vintrace-cli stream capture-one.dat --assume 5.2=c" "5.2=cdc-data" "5.2=bulk"
# As bash splits the words at "=".
check "vintrace-cli check capture-one.dat --assume 5.1 =" "bulk ftdi midi" "capture-one.dat"
check "vintrace-cli check capture-one.dat --assume 5.1 = hid" "hid-boot-mouse hid-boot-keyboard" "bulk"

if [ "$failures" -ne 0 ]; then
    echo "$failures completion checks failed"
    exit 1
fi
echo "completion: all cases passed"
