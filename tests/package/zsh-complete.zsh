# Prints the matches zsh's completion system offers for a command line, one a
# line, by typing it with a Tab into an interactive zsh on a pseudo-terminal.
# Usage: zsh -f zsh-complete.zsh FPATH_DIR 'COMMAND LINE'
zmodload zsh/zpty
zpty z 'zsh -f -i'
zpty -w z "fpath=(${(q)1} \$fpath); autoload -U compinit; compinit -u -D; PROMPT='>'"
# Every match goes through compadd: print them as it adds them.
zpty -w z 'compadd() {
    if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@"; return; fi
    local -a hits; local h
    builtin compadd -A hits "$@"
    for h in $hits; do print -r -- "<HIT>$h</HIT>"; done
    builtin compadd "$@"
}'
zpty -w z "print SET''UP-DONE"
zpty -r z out '*SETUP-DONE*'
# The line, a Tab; then Ctrl+U and a marker that is printed only once the
# completion has run.
zpty -w -n z "$2"$'\t'$'\C-u'"print COMPLE''TION-DONE"$'\n'
zpty -r z out '*COMPLETION-DONE*'
print -r -- "$out" | grep -o '<HIT>[^<]*</HIT>' | sed 's/<[^>]*>//g' | sort -u
zpty -d z
