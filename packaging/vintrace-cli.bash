# bash completion for vintrace-cli. Subcommands, options and option values are read from the
# program's own --help at completion time, so they always match the installed version.

# Prints what one CLI11 --help lists: "subcommands", "options" (every name), or "values OPT"
# (the choices of OPT, when it has a fixed set) or "takes OPT" (prints 1 when OPT takes a value).
_vintrace_cli_help() {
    local what=$1 option=$2
    shift 2
    "$@" --help 2>/dev/null | awk -v what="$what" -v option="$option" '
        /^Subcommands:$/ { section = "subcommands"; next }
        /^Options:$/ { section = "options"; next }
        /^[A-Z][A-Za-z ]*:$/ || /^$/ { section = ""; next }
        section == "subcommands" && /^  [a-z]/ && what == "subcommands" { print $1 }
        section == "options" && /^  -/ {
            n = split($1, names, ",")
            for (i = 1; i <= n; i++) {
                if (what == "options") print names[i]
                if (names[i] != option) continue
                if (what == "takes" && $2 ~ /^[A-Z]/) print 1
                if (what == "values" && match($2, /\{[^}]*\}/)) {
                    choices = substr($2, RSTART + 1, RLENGTH - 2)
                    gsub(/,/, " ", choices)
                    print choices
                }
            }
        }'
}

_vintrace_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local -a command=("${COMP_WORDS[0]}")
    local i word subs
    # The subcommands typed so far, each one a subcommand of those before it.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        [[ $word == -* ]] && continue
        subs=" $(_vintrace_cli_help subcommands "" "${command[@]}" | tr '\n' ' ') "
        [[ $subs == *" $word "* ]] && command+=("$word")
    done

    # --assume ADDRESS.ENDPOINT=KIND: the kinds are those the program's usage error lists.
    # Bash splits "1.1=bu" at the "=" unless COMP_WORDBREAKS lacks it.
    local before=
    ((COMP_CWORD > 1)) && before=${COMP_WORDS[COMP_CWORD - 2]}
    local prefix= kind=
    if [[ $prev == --assume && $cur == *=* ]]; then
        prefix=${cur%%=*}= kind=${cur#*=}
    elif [[ $cur == = && $before == --assume ]] ||
        [[ $prev == = && $COMP_CWORD -gt 2 && ${COMP_WORDS[COMP_CWORD - 3]} == --assume ]]; then
        [[ $cur != = ]] && kind=$cur
    else
        prefix=-
    fi
    if [[ $prefix != - ]]; then
        local kinds
        kinds=$("${command[@]}" --assume 1.1=? 2>&1 | sed -n 's/.*(kinds: \([^)]*\)).*/\1/p' | tr -d ',')
        mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "$kinds" -- "$kind")
        return
    fi
    if [[ $prev == -* && -n $(_vintrace_cli_help takes "$prev" "${command[@]}") ]]; then
        local values
        values=$(_vintrace_cli_help values "$prev" "${command[@]}")
        if [[ -n $values ]]; then
            mapfile -t COMPREPLY < <(compgen -W "$values" -- "$cur")
        else
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        fi
        return
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_vintrace_cli_help options "" "${command[@]}")" -- "$cur")
        return
    fi
    subs=$(_vintrace_cli_help subcommands "" "${command[@]}")
    if [[ -n $subs ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$subs" -- "$cur")
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}
complete -F _vintrace_cli vintrace-cli
