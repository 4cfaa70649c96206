# Bash completion for qvx: the commands, their options, and for extract, cat
# and delete the names of the entries in the archive already on the line.
_qvx() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local commands="list check extract cat create update delete help"
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
    return
  fi
  local command=${COMP_WORDS[1]} options
  case $prev in
    -C | --directory)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    -T | --files-from)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    --exclude) return ;;
    --charset)
      mapfile -t COMPREPLY < <(compgen -W "CP1252 CP932 CP1251 CP1250 CP936 CP949 CP950 UTF-8" \
        -- "$cur")
      return
      ;;
  esac
  case $command in
    list) options="--json --names --exclude --charset --help --version" ;;
    extract) options="-C --directory -k --keep -v --verbose --exclude --charset --help --version" ;;
    create) options="-f --force -T --files-from --charset --help --version" ;;
    update) options="-T --files-from --charset --help --version" ;;
    check | cat | delete) options="--charset --help --version" ;;
    help)
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
      return
      ;;
    *) return ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  # The archive is the first word after the command that is neither an
  # option nor an option's value. Names are listed in the charset given.
  local i word archive="" value_next="" charset=()
  for ((i = 2; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -n $value_next ]]; then
      value_next=""
      continue
    fi
    case $word in
      --charset)
        charset=(--charset "${COMP_WORDS[i + 1]}")
        value_next=1
        ;;
      -C | --directory | -T | --files-from | --exclude) value_next=1 ;;
      -*) ;;
      *)
        archive=$word
        break
        ;;
    esac
  done
  if [[ -n $archive && $command =~ ^(extract|cat|delete)$ ]]; then
    local names
    names=$(qvx list --names "${charset[@]}" -- "$archive" 2>/dev/null)
    local IFS=$'\n'
    mapfile -t COMPREPLY < <(compgen -W "$names" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -F _qvx qvx
