# bash completion for ecalias                                  -*- shell-script -*-
# Installed into bash-completion's completions folder; loaded on demand.

_ecalias_adapters() {
  local names
  names=$(ls /sys/class/net 2>/dev/null)
  printf '%s\n' $names 'sim:'
}

_ecalias() {
  COMPREPLY=()
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion -n : || return
  else
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi

  # The command words typed so far (global options and their values skipped).
  local i command="" sub=""
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      -i | --iface) ((i++)) ;;
      -*) ;;
      *)
        if [ -z "$command" ]; then
          command=${words[i]}
        elif [ -z "$sub" ]; then
          sub=${words[i]}
          break
        fi
        ;;
    esac
  done

  case $prev in
    -i | --iface)
      mapfile -t COMPREPLY < <(compgen -W "$(_ecalias_adapters)" -- "$cur")
      return
      ;;
    --backup-dir)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    -o | --file | --eeprom-file)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    -t)
      mapfile -t COMPREPLY < <(compgen -W "bool u8 u16 u32 u64 i8 i16 i32 i64 f32 f64 string octets" -- "$cur")
      return
      ;;
    -p | --position | --serial | --words | -n | --timeout) return ;;
  esac

  local global="-i --iface --json -h --help -V --version"
  local writes="--yes --dry-run"
  local opts=""
  case $command in
    "")
      opts="adapters list slaves alias sii sdo reg state $global"
      ;;
    adapters | list | slaves) opts="--json --help" ;;
    alias)
      case $sub in
        "") opts="get set plan --help" ;;
        get) opts="-p --position --serial --json --help" ;;
        set) opts="-p --position --serial $writes --force --backup-dir --json --help" ;;
        plan)
          opts="--apply --yes --backup-dir --json --help"
          mapfile -t COMPREPLY < <(compgen -f -- "$cur")
          ;;
      esac
      ;;
    sii)
      case $sub in
        "") opts="dump show write --help" ;;
        dump) opts="-p --position -o --words --json --help" ;;
        show) opts="-p --position --file --json --help" ;;
        write)
          opts="-p --position $writes --force --backup-dir --json --help"
          mapfile -t COMPREPLY < <(compgen -f -- "$cur")
          ;;
      esac
      ;;
    sdo)
      case $sub in
        "") opts="read write --help" ;;
        read) opts="-p --position -t --complete --json --help" ;;
        write) opts="-p --position -t --complete $writes --json --help" ;;
      esac
      ;;
    reg)
      case $sub in
        "") opts="read write --help" ;;
        read) opts="-p --position -t -n --window --json --help" ;;
        write) opts="-p --position -t --window $writes --json --help" ;;
      esac
      ;;
    state) opts="-p --position init preop safeop op --ack --timeout $writes --json --help" ;;
  esac
  if [ -z "$cur" ] || [ "${cur#-}" != "$cur" ] || [ ${#COMPREPLY[@]} -eq 0 ]; then
    COMPREPLY+=($(compgen -W "$opts" -- "$cur"))
  fi
}
complete -F _ecalias ecalias
