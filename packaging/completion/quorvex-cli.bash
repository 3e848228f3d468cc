# bash completion for quorvex-cli: its commands, each command's options, the ports it
# lists for --port, image files for the images and folders for --log-dir.
_quorvex_cli() {
  local cur prev words cword
  _init_completion || return

  local commands="flash erase info ports monitor verify read"
  local shared="-h --help --version -p --port --settings --baud --no-stub --standard --json --log-dir
    -q --quiet -v --verbose"
  local cmd="" w
  for w in "${words[@]:1:cword-1}"; do
    case $w in
      flash | erase | info | ports | monitor | verify | read) cmd=$w; break ;;
    esac
  done

  case $prev in
    -p | --port)
      local IFS=$'\n'
      COMPREPLY=($(compgen -W "$(quorvex-cli ports 2>/dev/null)" -- "$cur"))
      return ;;
    --settings) _filedir ini; return ;;
    --log-dir) _filedir -d; return ;;
    --baud | --monitor-baud)
      COMPREPLY=($(compgen -W "115200 230400 460800 921600 1500000 2000000" -- "$cur"))
      return ;;
    --boot | --part | --firm) _filedir bin; return ;;
  esac

  local opts=$shared
  case $cmd in
    flash)
      opts+=" --boot --part --firm --erase-all --auto-erase --no-auto-erase --monitor"
      opts+=" --monitor-baud" ;;
    verify) opts+=" --boot --part --firm" ;;
    erase) opts+=" -y --yes" ;;
    "")
      if [[ $cur != -* ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
      fi ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
    return
  fi
  # flash and verify take OFFSET FILE pairs after their options; read its FILE last.
  [[ $cmd == flash || $cmd == verify || $cmd == read ]] && _filedir
}
complete -F _quorvex_cli quorvex-cli
