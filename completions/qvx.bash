# Bash completion for qvx: the commands, their options, and for list,
# extract, cat, delete, rename (its first name), set and --exclude the names
# of the entries in the archive on the line.
#
# Entry names come from the archive, which anyone may have made: they are
# compared and quoted here, never expanded or run (an entry may well be
# called `$(reboot)`). The line itself is read as the shell will read it,
# quotes and all, but nothing on it is expanded except a leading ~.
# Needs nothing from the bash-completion package.

# Splits the command line up to the cursor into words as the shell does.
# Sets _qvx_words to the values of the words before the cursor's (a leading
# ~ or ~/ expanded) and _qvx_cur to the value of the word at the cursor.
# Readline replaces only what follows an open quote in that word, or else
# its last unquoted COMP_WORDBREAKS character: _qvx_pre is the value before
# that point, and _qvx_quote the quote open at the cursor ('', "'", '"' or
# "$'"). _qvx_tilde is set when the word begins with a ~ the shell expands.
_qvx_split() {
  local line=$1 c quote="" value="" pre="" quoted_pre="" ansi="" started="" tilde="" i
  _qvx_words=()
  for ((i = 0; i < ${#line}; i++)); do
    c=${line:i:1}
    case $quote in
      "'")
        if [[ $c == "'" ]]; then quote=""; else value+=$c; fi
        continue
        ;;
      '"')
        if [[ $c == '"' ]]; then
          quote=""
        elif [[ $c == \\ && ${line:i+1:1} == [\$\`\"\\] ]]; then
          value+=${line:i+1:1}
          ((++i))
        else
          value+=$c
        fi
        continue
        ;;
      "\$'")
        if [[ $c == "'" ]]; then
          quote=""
          value+=${ansi@E}
          ansi=""
        elif [[ $c == \\ ]]; then
          ansi+=${line:i:2}
          ((++i))
        else
          ansi+=$c
        fi
        continue
        ;;
    esac
    # A ~ is expanded only when a slash or the end of the word follows it.
    [[ -n $tilde && $value == "~" && $c != [/[:space:]] ]] && tilde=""
    case $c in
      [[:space:]])
        if [[ -n $started ]]; then
          [[ -n $tilde ]] && value=$HOME${value:1}
          _qvx_words+=("$value")
        fi
        value="" pre="" quoted_pre="" started="" tilde=""
        ;;
      \\)
        value+=${line:i+1:1}
        ((++i))
        started=1
        ;;
      \' | \")
        quoted_pre=$value quote=$c started=1
        ;;
      \$)
        started=1
        case ${line:i+1:1} in
          \') quoted_pre=$value quote="\$'" ;;
          \") quoted_pre=$value quote='"' ;; # $"..." is translated text, read as "..."
          *) value+=$c ;;
        esac
        [[ -n $quote ]] && ((++i))
        ;;
      *)
        [[ -z $started && $c == "~" ]] && tilde=1
        value+=$c
        started=1
        [[ $COMP_WORDBREAKS == *"$c"* ]] && pre=$value
        ;;
    esac
  done
  [[ $quote == "\$'" ]] && value+=${ansi@E}
  [[ -n $quote ]] && pre=$quoted_pre
  _qvx_cur=$value _qvx_pre=$pre _qvx_quote=$quote _qvx_tilde=$tilde
}

# Quotes `text` for where readline puts it, so that the shell reads back
# exactly `text`: bare, or in the quote open at the cursor. There it is
# quoted whole, as readline takes a match that begins with the quote in
# place of the one typed, and adds no closing quote after one that ends
# with the quote (an entry's name may itself begin or end with a quote).
_qvx_quoted() {
  local text=$1 b='\'
  case $_qvx_quote in
    "'") _qvx_text="'${text//"'"/"'$b''"}'" ;;
    "\$'")
      text=${text//"$b"/"$b$b"}
      _qvx_text="'${text//"'"/"$b'"}'"
      ;;
    '"')
      text=${text//"$b"/"$b$b"}
      text=${text//'$'/"$b\$"}
      text=${text//'`'/"$b\`"}
      text=${text//'"'/"$b\""}
      # A ! would start history expansion, and in double quotes its
      # backslash would stay: it goes in single quotes instead.
      _qvx_text="\"${text//'!'/"\"'!'\""}\""
      ;;
    *)
      # A ~ the user typed to be expanded stays as it is.
      if [[ -n $_qvx_tilde && $text == "~" ]]; then
        _qvx_text="~"
      elif [[ -n $_qvx_tilde && $text == "~/"* ]]; then
        printf -v _qvx_text '~%q' "${text:1}"
      else
        printf -v _qvx_text %q "$text"
      fi
      ;;
  esac
}

# Offers each of the words given that begins with the word at the cursor.
_qvx_offer() {
  local word
  for word; do
    [[ $word == "$_qvx_cur"* ]] || continue
    _qvx_quoted "${word:${#_qvx_pre}}"
    COMPREPLY+=("$_qvx_text")
  done
}

# Offers files (-f) or directories (-d) by the name at the cursor, which
# follows `prefix` there (an option, as in --directory=DIR or -CDIR).
_qvx_offer_files() {
  local mode=$1 prefix=$2 path plain
  while IFS= read -r path; do
    plain=$path
    [[ -n $_qvx_tilde && $plain == "~/"* ]] && plain=$HOME${plain:1}
    [[ -d $plain ]] && path+=/
    _qvx_offer "$prefix$path"
  done < <(compgen "$mode" -- "${_qvx_cur:${#prefix}}")
  # A directory is completed without the space, to go on into it.
  if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} == */ ]]; then
    compopt -o nospace 2>/dev/null
  fi
}

# Reads `word` as short options combined (-kC, -vCdir): sets _qvx_letter
# to the first that takes a value, if any, and _qvx_rest to what follows it.
_qvx_short() {
  local word=${1:1}
  _qvx_letter="" _qvx_rest=""
  while [[ -n $word ]]; do
    if [[ $word == [CT]* ]]; then
      _qvx_letter=${word:0:1} _qvx_rest=${word:1}
      return 0
    fi
    word=${word:1}
  done
  return 1
}

# Whether the first word given is one of the others.
_qvx_among() {
  local word=$1 name
  shift
  for name; do [[ $name == "$word" ]] && return 0; done
  return 1
}

_qvx() {
  COMPREPLY=()
  _qvx_split "${COMP_LINE:0:COMP_POINT}"
  local -a words=("${_qvx_words[@]}")
  local commands="list check extract cat diff create update delete rename set repack view help"
  if ((${#words[@]} == 1)); then
    _qvx_offer $commands --help --version
    return
  fi
  local command=${words[1]} options
  case $command in
    list)
      options="--json --names --hex --human-readable --salvage --literal --entry --exclude"
      options+=" --charset"
      options+=" --help --version"
      ;;
    extract)
      options="-C --directory -k --keep -v --verbose --salvage --paths --literal --entry"
      options+=" --exclude --charset --help --version"
      ;;
    create) options="-f --force --paths --align -T --files-from --charset --help --version" ;;
    update)
      options="-n --dry-run -v --verbose --in-place --no-add --paths --align --tag --spare"
      options+=" --entry -T --files-from --charset --help --version"
      ;;
    delete) options="-n --dry-run -v --verbose --literal --entry --charset --help --version" ;;
    rename) options="-n --dry-run -v --verbose --in-place --entry --charset --help --version" ;;
    set)
      options="-n --dry-run -v --verbose --in-place --tag --spare --entry --charset --help"
      options+=" --version"
      ;;
    repack) options="--align --help --version" ;;
    view) options="--port --no-browser --read-only --charset --help --version" ;;
    diff) options="--json -v --verbose --charset --help --version" ;;
    check) options="--charset --help --version" ;;
    cat) options="--literal --entry --charset --help --version" ;;
    help)
      ((${#words[@]} == 2)) && _qvx_offer $commands
      return
      ;;
    *) return ;;
  esac

  # Reads the words before the cursor as qvx will: options (short ones may
  # be combined, -kC DIR, and a value may follow = or the letter), their
  # values, and the other words, the first of which is the archive; after
  # --, every word is one of those.
  local i word archive="" given=0 dashes="" value_of="" charset=()
  for ((i = 2; i < ${#words[@]}; i++)); do
    word=${words[i]}
    if [[ -n $value_of ]]; then
      [[ $value_of == --charset ]] && charset=(--charset "$word")
      value_of=""
    elif [[ -z $dashes && $word == -- ]]; then
      dashes=1
    elif [[ -z $dashes && $word == --?* ]]; then
      case $word in
        --charset=*) charset=(--charset "${word#*=}") ;;
        --charset | --directory | --files-from | --exclude | --align | --entry | --tag | --spare | --port)
          value_of=$word
          ;;
      esac
    elif [[ -z $dashes && $word == -?* ]]; then
      _qvx_short "$word" && [[ -z $_qvx_rest ]] && value_of=-$_qvx_letter
    elif [[ -z $archive ]]; then
      archive=$word
    else
      ((++given))
    fi
  done

  # The word at the cursor may itself be an option with its value so far.
  local cur=$_qvx_cur prefix=""
  if [[ -z $value_of && -z $dashes && $cur == --*=* ]]; then
    value_of=${cur%%=*} prefix=${cur%%=*}=
  elif [[ -z $value_of && -z $dashes && $cur == -[!-]* ]] && _qvx_short "$cur" &&
    [[ -n $_qvx_rest ]]; then
    value_of=-$_qvx_letter prefix=${cur%"$_qvx_rest"}
  fi
  case $value_of in
    -C | --directory)
      _qvx_offer_files -d "$prefix"
      return
      ;;
    -T | --files-from)
      _qvx_offer_files -f "$prefix"
      return
      ;;
    --align)
      local size
      for size in 16 512 2048 4096 65536; do _qvx_offer "$prefix$size"; done
      return
      ;;
    --charset)
      local page
      for page in CP1252 CP932 CP1251 CP1250 CP936 CP949 CP950 UTF-8; do
        _qvx_offer "$prefix$page"
      done
      return
      ;;
  esac
  [[ -z $dashes && $cur == -* && -z $value_of ]] && _qvx_offer $options

  if [[ -z $archive ]]; then
    [[ -z $value_of && ($cur != -* || -n $dashes) ]] && _qvx_offer_files -f
    return
  fi
  local exclude=""
  [[ $value_of == --exclude* && $command =~ ^(extract|list)$ ]] && exclude=1
  # rename's second name is a new one; set takes one name.
  local takes_names=""
  [[ $command =~ ^(list|extract|cat|delete)$ ]] && takes_names=1
  [[ $command =~ ^(rename|set)$ ]] && ((given == 0)) && takes_names=1
  if [[ -z $exclude && -z $takes_names ]]; then
    [[ -z $value_of && ($cur != -* || -n $dashes) ]] && _qvx_offer_files -f
    return
  fi
  [[ -n $value_of && -z $exclude ]] && return

  local names=() name
  mapfile -t names < <(command "${words[0]}" list --names "${charset[@]}" -- "$archive" \
    2>/dev/null </dev/null)
  for name in "${names[@]}"; do
    if [[ -n $exclude || -n $dashes || $name != -* ]]; then
      _qvx_offer "$prefix$name"
    elif [[ $name == "$cur"* && -z $_qvx_pre ]]; then
      # A name beginning with - would be read as an option: before the
      # first name, -- says that none follows; after it, the set [-] is a
      # pattern that picks only this name, unless an entry is called that.
      if ((given == 0)) && [[ -z $_qvx_quote ]]; then
        printf -v _qvx_text -- '-- %q' "$name"
        COMPREPLY+=("$_qvx_text")
      elif ! _qvx_among "[-]${name:1}" "${names[@]}"; then
        _qvx_quoted "[-]${name:1}"
        COMPREPLY+=("$_qvx_text")
      fi
    fi
  done
}
complete -F _qvx qvx
