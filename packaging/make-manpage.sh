#!/bin/sh
# Writes the manual page of PROGRAM from the program's own --help and --version (help2man),
# plus one section per subcommand from `PROGRAM SUB --help` (and SUB's own subcommands), so a
# new subcommand or option is documented by the next build without editing anything here.
# Usage: make-manpage.sh PROGRAM NAME "SHORT DESCRIPTION" OUTPUT[.gz] [EXTRA.h2m]
set -eu
program=$1
name=$2
summary=$3
output=$4
extra=${5:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# The subcommand names a CLI11 --help lists under "Subcommands:".
subcommands() {
    "$@" --help | sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z0-9-]*\)\( .*\)\{0,1\}$/\1/p'
}

# One subcommand's --help as roff: description, usage, then each option as a tagged paragraph.
# CLI11 puts an option's names in columns 3-30 and its description from column 31 (on the
# next line when the names are longer).
to_roff() {
    awk -v name="$name" '
        function esc(s) { gsub(/\\/, "\\e", s); gsub(/-/, "\\-", s); return s }
        function flush() { if (tag != "") { print ".TP"; print "\\fB" esc(tag) "\\fR"; print esc(desc) } tag = ""; desc = "" }
        /^Usage: / { flush(); sub(/^Usage: [^ ]+/, ""); print ".PP"; print "\\fBUsage:\\fR " esc(name $0); next }
        /^[A-Z][A-Za-z ]*:$/ { flush(); print ".PP"; print "\\fB" $0 "\\fR"; next }
        /^$/ { flush(); next }
        /^                              / { sub(/^ +/, ""); desc = desc (desc == "" ? "" : " ") $0; next }
        /^  [^ ]/ {
            flush()
            if (length($0) > 30 && substr($0, 29, 2) == "  ") {
                tag = substr($0, 3, 28); desc = substr($0, 31)
                sub(/ +$/, "", tag); sub(/^ +/, "", desc)
            } else { tag = substr($0, 3); desc = "" }
            next
        }
        { flush(); line = $0; if (line ~ /^[.\047]/) line = "\\&" line; print ".PP"; print esc(line) }
        END { flush() }'
}

# Sections for the subcommands below "$@" (the program and the words so far), depth first.
describe() {
    for sub in $(subcommands "$@"); do
        shift_words=$(printf '%s ' "$@" | cut -d' ' -f2-)
        words="$name ${shift_words}$sub"
        printf '.SS "%s"\n' "$words"
        "$@" "$sub" --help | to_roff
        describe "$@" "$sub"
    done
}

{
    if [ -n "$extra" ]; then
        cat "$extra"
        echo
    fi
    if [ -n "$(subcommands "$program")" ]; then
        echo "[SUBCOMMANDS]"
        describe "$program"
    fi
} > "$work/include.h2m"

# The page's footer takes the plain version; the commit stays with --version.
version=$("$program" --version | awk '{ print $2; exit }')
set -- --no-info --no-discard-stderr --name="$summary" --version-string="$version"
[ -s "$work/include.h2m" ] && set -- "$@" --include="$work/include.h2m"
help2man "$@" --output="$work/page.1" "$program"
# help2man names the program after the file it ran: keep the installed name.
sed "s|$(dirname "$program")/||g" "$work/page.1" > "$work/page"
case $output in
*.gz) gzip -9n < "$work/page" > "$output" ;;
*) cp "$work/page" "$output" ;;
esac
