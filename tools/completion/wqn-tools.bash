# Bash completion for kelvara and sampora. Installed once per tool (as
# share/bash-completion/completions/kelvara and .../sampora); it knows no
# command of its own but reads them from the tool's --help, so it never falls
# behind the tool. Completes commands (also after a lone "--" that starts the
# next command of a chain), subcommands and options; other words are local
# files (card paths are not completed).

# The commands (or, with -o, the options) of one help text on stdin.
_wqn_tools_help_words()
{
    local want=$1 line section= word
    while IFS= read -r line; do
        if [[ $line =~ ^([A-Za-z][A-Za-z\ ]*):[[:space:]]*$ ]]; then
            section=${BASH_REMATCH[1],,}
            continue
        fi
        [[ $line =~ ^\ \ +([^[:space:]]+) ]] || continue
        word=${BASH_REMATCH[1]}
        if [[ $word == -* ]]; then
            [[ $want == -o ]] && printf '%s\n' ${word//,/ }
        elif [[ $want != -o && $section != positionals* && $section != usage* ]]; then
            printf '%s\n' "$word"
        fi
    done
}

_wqn_tools_complete()
{
    local tool=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} i word
    local -a path=()
    # The command the cursor is in: the known command words since the last "--".
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -- ]]; then
            path=()
        elif [[ $word != -* ]] &&
            "$tool" "${path[@]}" --help 2>/dev/null | _wqn_tools_help_words | grep -qxF -- "$word"; then
            path+=("$word")
        fi
    done
    local help
    help=$("$tool" "${path[@]}" --help 2>/dev/null)
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_wqn_tools_help_words -o <<<"$help")" -- "$cur")
        return
    fi
    local commands
    commands=$(_wqn_tools_help_words <<<"$help")
    if [[ -n $commands ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        [[ ${#COMPREPLY[@]} -gt 0 || ${#path[@]} -eq 0 ]] && return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -o filenames -F _wqn_tools_complete kelvara sampora
