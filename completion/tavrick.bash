# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for tavrick(1)                                   -*- shell-script -*-
#
# Completes the option letters, the letters of -Q and -F, the formats of -o, host names for -S, and user names of the
# local account database for the operand. Words are read the way tavrick's option scanner reads
# them: an option that takes an argument takes the rest of its word or else the next word, options
# may be bundled (-as), -- ends the options, and with POSIXLY_CORRECT set so does the first operand.

_tavrick()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local takes_argument=QSqidmrFo
    local pending='' operands=0 options_ended=0 word i j letter

    COMPREPLY=()
    # Scan the words before the cursor: is the word under it the argument of an option?
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $pending ]]; then
            pending=''
            continue
        fi
        if ((options_ended)) || [[ $word != -?* ]]; then
            ((operands++))
            [[ -v POSIXLY_CORRECT ]] && options_ended=1
            continue
        fi
        if [[ $word == -- ]]; then
            options_ended=1
            continue
        fi
        for ((j = 1; j < ${#word}; j++)); do
            letter=${word:j:1}
            if [[ $takes_argument == *"$letter"* ]]; then
                # The rest of the word is the argument; with nothing left, the next word is.
                ((j + 1 == ${#word})) && pending=$letter
                break
            fi
        done
    done

    case $pending in
    Q)
        mapfile -t COMPREPLY < <(compgen -W 'a e d' -- "$cur")
        return
        ;;
    F)
        mapfile -t COMPREPLY < <(compgen -W 'h s n' -- "$cur")
        return
        ;;
    o)
        mapfile -t COMPREPLY < <(compgen -W 'csv json' -- "$cur")
        return
        ;;
    S)
        mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
        return
        ;;
    ?)
        return # a free string: nothing to offer
        ;;
    esac

    if ((!options_ended)) && [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-Q -a -s -q -i -d -m -r -F -o -S -v -h --' -- "$cur")
        return
    fi
    # One user name at most: a second operand is an error.
    if ((operands == 0)); then
        mapfile -t COMPREPLY < <(compgen -u -- "$cur")
    fi
}

complete -F _tavrick tavrick
