# bash completion for vorpane                              -*- shell-script -*-

_vorpane()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev='' i word command=''
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}

    # Bash splits "--option=value" at the "=", so the option sits one word further back.
    if [[ $cur == '=' ]]; then
        cur=''
    elif [[ $prev == '=' ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --version | --help) return 0 ;;
            init | modules | install | download-examples | status | logout | profiles)
                command=$word
                break
                ;;
        esac
    done

    case $command:$prev in
        init:--cloud-environment)
            mapfile -t COMPREPLY < <(compgen -W 'cloud dev' -- "$cur")
            return 0
            ;;
        *:--profile)
            local root=${XDG_CONFIG_HOME:-$HOME/.config}/Vorpane/profiles
            mapfile -t COMPREPLY < <(compgen -W "$(command ls "$root" 2>/dev/null)" -- "$cur")
            return 0
            ;;
        init:--credential-store)
            local names
            names=$(compgen -c docker-credential- | sed 's/^docker-credential-//' | sort -u)
            mapfile -t COMPREPLY < <(compgen -W "$names" -- "$cur")
            return 0
            ;;
        init:--token-id | init:--token | download-examples:-m | download-examples:--modules)
            COMPREPLY=()
            return 0
            ;;
        install:-r | install:--requirements)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return 0
            ;;
        download-examples:--download-dir)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return 0
            ;;
    esac

    # Aliases of one option are joined by "|"; so are -q and -v, which exclude each other and
    # are accepted before and after the command name.
    local groups global='-q|--quiet|-v|--verbose --offline --profile'
    case $command in
        '') groups="--version --info --help $global" ;;
        init) groups="--token-id --token --cloud-environment --credential-store --help $global" ;;
        modules | status | profiles) groups="--json --help $global" ;;
        logout) groups="--help $global" ;;
        install) groups="-y|--yes -a|--all -r|--requirements --help $global" ;;
        download-examples)
            groups="--download-dir -m|--modules --list-available --json --help $global"
            ;;
    esac

    if [[ $cur == -* ]]; then
        # Offer each option once; only -m/--modules may be repeated.
        local given=' ' group alias seen
        for ((i = 1; i < COMP_CWORD; i++)); do
            given+="${COMP_WORDS[i]} "
        done
        local -a offered=()
        for group in $groups; do
            seen=''
            if [[ $group != '-m|--modules' ]]; then
                for alias in ${group//|/ }; do
                    [[ $given == *" $alias "* ]] && seen=1
                done
            fi
            # shellcheck disable=SC2206 # the aliases are split on purpose
            [[ -z $seen ]] && offered+=(${group//|/ })
        done
        mapfile -t COMPREPLY < <(compgen -W "${offered[*]}" -- "$cur")
        return 0
    fi

    case $command in
        '')
            mapfile -t COMPREPLY < <(compgen -W \
                'download-examples init install logout modules profiles status' -- "$cur")
            ;;
        install) mapfile -t COMPREPLY < <(compgen -W 'mkl' -- "$cur") ;;
        *) COMPREPLY=() ;;
    esac
    return 0
} &&
    complete -F _vorpane vorpane

# ex: filetype=sh
