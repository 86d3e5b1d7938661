# bash completion for kxenv: commands, their options, and the names of
# variables and applications read from the store (KX_REGISTRY) through
# `kxenv list` and `kxenv apps`. Plain bash; bash-completion loads it on
# demand from share/bash-completion/completions/kxenv.

# Prints the names of the store's variables (of the option class with
# --opt) or applications, one a line: the part of each NAME=value line
# before the first '='. A store that cannot be read gives no names.
_kxenv_names() {
  local tool=$1
  shift
  "$tool" "$@" 2>/dev/null | sed -n 's/^\([^[:space:]=][^=]*\)=.*/\1/p'
}

# Adds to COMPREPLY the words of the list that start with $cur, without
# regard to case, as the library compares names.
_kxenv_add_matching() {
  local word upper_cur=${cur^^}
  for word in "$@"; do
    [[ ${word^^} == "$upper_cur"* ]] && COMPREPLY+=("$word")
  done
}

_kxenv() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local tool=${COMP_WORDS[0]} commands options command="" word i names
  commands="get show set del list apps del-app watch save restore diff
            load-table init-table localize history blame revert sync help"
  COMPREPLY=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word != -* ]]; then
      command=$word
      break
    fi
  done
  if [[ -z $command ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
    return
  fi
  # After watch's --exec the words are a command line of their own: the
  # command's name, then files.
  for ((word = i + 1; word < COMP_CWORD; word++)); do
    if [[ $command == watch && ${COMP_WORDS[word]} == --exec ]]; then
      local -a action=(-f)
      ((word + 1 == COMP_CWORD)) && action=(-c)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen "${action[@]}" -- "$cur")
      return
    fi
  done
  case $command in
    get) options="--local --global --opt --json" ;;
    set) options="--local --global --opt" ;;
    show) options="--opt --json" ;;
    watch) options="--opt --json --coalesce --exec" ;;
    del) options="--opt" ;;
    list) options="--opt --app --long --json" ;;
    apps) options="--json" ;;
    save) options="--replace --format --app" ;;
    restore) options="--replace --allow-empty --dry-run --json" ;;
    diff) options="--replace --allow-empty --json" ;;
    localize) options="--source --target" ;;
    history) options="--class --since --until --user --limit --keep --json" ;;
    blame) options="--class --json" ;;
    revert) options="--to --class --dry-run" ;;
    sync) options="--endpoints --fleet --machine --cacert --cert --key --user
                   --password-file --insecure-plaintext --once --status
                   --create --no-validate --fleet-status --json --revision
                   --no-ledger --verbose" ;;
    *) options="" ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options --help" -- "$cur")
    return
  fi
  case $prev in
    --format)
      mapfile -t COMPREPLY < <(compgen -W "4 5 json" -- "$cur")
      return
      ;;
    --coalesce) return ;;
    --app)
      mapfile -t names < <(_kxenv_names "$tool" apps)
      _kxenv_add_matching "${names[@]}"
      return
      ;;
    --class)
      mapfile -t COMPREPLY < <(compgen -W "ENV OPT APP" -- "${cur^^}")
      return
      ;;
    --source | --target | --cacert | --cert | --key | --password-file)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
  esac
  # The first argument after the command is the one to complete from the
  # store; a set's VALUE and later words get nothing.
  local arguments=0
  for ((i++; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} != -* &&
      ${COMP_WORDS[i - 1]} != --@(app|source|target|format|coalesce|class|since|until|user|limit|keep|to) ]] &&
      ((arguments++))
  done
  ((arguments > 0)) && return
  local class=()
  [[ " ${COMP_WORDS[*]} " == *" --opt "* ]] && class=(--opt)
  case $command in
    get | show | set | del | watch | history | revert)
      mapfile -t names < <(_kxenv_names "$tool" list "${class[@]}")
      _kxenv_add_matching "${names[@]}"
      ;;
    del-app)
      mapfile -t names < <(_kxenv_names "$tool" apps)
      _kxenv_add_matching "${names[@]}"
      ;;
    save | restore | diff | load-table)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      ;;
    help)
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
      ;;
  esac
}
complete -F _kxenv kxenv
