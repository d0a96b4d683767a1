# bash completion for login-history: its one argument is a user name.
_login_history() {
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -u -- "${COMP_WORDS[COMP_CWORD]}")
    fi
}
complete -F _login_history login-history
