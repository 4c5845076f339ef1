# bash completion for vexlor: subcommands, their options, recordings and directories.
# Installed as share/bash-completion/completions/vexlor; or: source vexlor-completion.bash

_vexlor() {
  local cur prev sub i
  COMPREPLY=()
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  sub=
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -*) ;;
      *) sub=${COMP_WORDS[i]}; break ;;
    esac
  done

  if [[ -z $sub ]]; then
    COMPREPLY=($(compgen -W "convert probe snapshot frames decode mkrec verify --help --version" -- "$cur"))
    return
  fi

  local options recordings='@(kvr|ms2|m4v|KVR|MS2|M4V)'
  case $sub in
    convert)
      options="-o --output-dir --channels --from --to -j --jobs --skip-existing --format --no-clock
        --one-file --report --gap --clock-offset --recorder-zone --json --help" ;;
    probe) options="--json --gap --clock-offset --recorder-zone --help" ;;
    snapshot) options="-o --output-dir --help" ;;
    frames) options="--help" ;;
    decode) options="-o --md5 --headers --help"; recordings='@(264|h264|bin)' ;;
    mkrec)
      options="-o --channel --fps --start --delay --audio --passthrough --damage --seed --help" ;;
    verify) options="--help"; recordings='report.json' ;;
  esac

  case $prev in
    -o | --output-dir)
      if [[ $sub == convert || $sub == snapshot ]]; then
        COMPREPLY=($(compgen -d -- "$cur"))
      else
        COMPREPLY=($(compgen -f -- "$cur"))
      fi
      return ;;
    --channels) COMPREPLY=($(compgen -W "1 1,2 1-4 1-16" -- "$cur")); return ;;
    --jobs | -j) COMPREPLY=($(compgen -W "0 1 2 4 8" -- "$cur")); return ;;
    --format) COMPREPLY=($(compgen -W "avi mp4 mkv avi,mp4 mp4,mkv avi,mp4,mkv" -- "$cur")); return ;;
    --from | --to | --fps | --start | --delay | --audio | --passthrough | --damage | --seed | \
      --channel | --gap | --clock-offset | --recorder-zone)
      return ;;
  esac

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -X "!*.$recordings" -- "$cur") $(compgen -d -- "$cur"))
  fi
}
shopt -s extglob
complete -o filenames -F _vexlor vexlor
