#!/usr/bin/env bash
# Writes the bash completion of the cadenza tool from the tool's own --help:
# its commands, the options of each, and which options take a value.
#   bash_completion.sh PROGRAM OUTPUT
set -euo pipefail
prog=$1
out=$2

# The options of one help text, those that take a value marked with "=".
options() {
  "$prog" "$@" --help | awk '
    /^[A-Za-z]+:$/ { section = $1; next }
    section == "Options:" && /^  -/ {
      n = split($1, names, ",")
      value = ($2 ~ /^[A-Z]+(:[A-Z]+)?$/) ? "=" : ""
      for (i = 1; i <= n; i++) printf "%s%s ", names[i], value
    }'
}
commands=$("$prog" --help | awk '
  /^[A-Za-z]+:$/ { section = $1; next }
  section == "Subcommands:" && /^  [a-z]/ { printf "%s ", $1 }')
[ -n "$commands" ] || { echo "no commands in $prog --help" >&2; exit 1; }

cases=""
valued=""
for cmd in "" $commands; do
  opts=$(options $cmd)
  for o in $opts; do [[ $o == *= ]] && valued+=" ${o%=}"; done
  cases+="    \"$cmd\") opts=\"${opts//=/}\" ;;"$'\n'
done

cat > "$out.tmp" <<EOF
# bash completion for cadenza (written from \`cadenza --help\` when it was built)
_cadenza() {
  local cur=\${COMP_WORDS[COMP_CWORD]} prev=\${COMP_WORDS[COMP_CWORD-1]} cmd="" opts="" i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case " ${commands}" in *" \${COMP_WORDS[i]} "*) cmd=\${COMP_WORDS[i]}; break ;; esac
  done
  case " ${valued# } " in
    *" \$prev "*)
      [[ \$prev == --device ]] && COMPREPLY=(\$(compgen -d -- "\$cur"))
      return ;;
  esac
  case \$cmd in
${cases}  esac
  if [[ \$cur == -* ]]; then
    COMPREPLY=(\$(compgen -W "\$opts" -- "\$cur"))
  elif [[ -z \$cmd ]]; then
    COMPREPLY=(\$(compgen -W "${commands% }" -- "\$cur"))
  else
    COMPREPLY=(\$(compgen -f -- "\$cur"))
  fi
}
complete -o filenames -F _cadenza cadenza
EOF
bash -n "$out.tmp"
mv "$out.tmp" "$out"
