#!/usr/bin/env zsh
# Usage: zsh_complete.zsh COMPLETIONS_DIR WORK_DIR LINE...
# Types each LINE into an interactive zsh on a pseudo-terminal, presses Tab and prints the
# candidates that the completion system offered, sorted and joined by blanks, one line per LINE.
emulate -L zsh
setopt err_exit no_unset

dir=$1 work=$2
shift 2
out=$work/zsh-matches
: >$out

zmodload zsh/zpty
zpty -b vorpane_zsh env HOME=$work TERM=dumb zsh -f -i
zpty -w vorpane_zsh "PS1='' PS2='' RPS1='' LISTMAX=0; unsetopt beep zle_bracketed_paste 2>/dev/null"
zpty -w vorpane_zsh "fpath=(${(q)dir} \$fpath); autoload -Uz compinit; compinit -u -D"
# Records every candidate that reaches compadd; calls that only ask compadd to sort or filter
# (-O, -A, -D) are passed through untouched.
zpty -w vorpane_zsh "compadd() {
    if (( \${@[(I)-[OAD]]} )); then builtin compadd \"\$@\"; return; fi
    local -a __vorpane_hits
    builtin compadd -A __vorpane_hits \"\$@\"
    (( \$#__vorpane_hits )) && print -rl -- \$__vorpane_hits >> ${(q)out}
    builtin compadd \"\$@\"
}"

# Typing ahead before the shell has read its set-up can be discarded when its line editor starts.
zpty -w vorpane_zsh "print -r -- __VORPANE_RE''ADY__"
zpty -r vorpane_zsh reply '*__VORPANE_READY__*'

for line in "$@"; do
    # Ctrl-U clears what the completion inserted; the marker is split in the command so that
    # only its output, not its echo, matches.
    zpty -w -n vorpane_zsh "$line"$'\t'$'\C-u'
    zpty -w vorpane_zsh "print -r -- __VORPANE_DO''NE__"
    zpty -r vorpane_zsh reply '*__VORPANE_DONE__*'
    local -a hits=(${(f)"$(<$out)"})
    print -r -- ${(j: :)${(ou)hits}}
    : >$out
done
zpty -d vorpane_zsh
