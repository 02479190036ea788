#!/usr/bin/env bash
# Every command, subcommand and option a program's usage names has an entry in
# its manual page and is offered by its bash and zsh completion, with on|off
# where the usage takes on|off; --version names the project's version.
#   command_docs.sh REPO VERSION PROGRAM...
set -euo pipefail
repo=$1 version=$2
shift 2
status=0
fail() {
  echo "$*"
  status=1
}

# A manual page's entries as the reader sees their first line: "--tun NAME".
entries() {
  awk 'take { print; take = 0 } /^\.T[PQ]/ { take = 1 }' "$1" |
    sed -e 's/\\-/-/g' -e 's/^\.[BIR]* //' -e 's/"//g' | tr -s ' ' | sed 's/ | /|/g'
}

# The usage's items, one a line: commands with their subcommand ("geoip
# inspect"), then options, each with "on|off" when it takes a switch.
items() {
  local name=$1
  "$2" --help | awk -v name="$name" '
    $1 == name && $2 ~ /^[a-z]/ { c = $2; if ($3 ~ /^[a-z]+$/) c = c " " $3; print c }
    /^  [a-z]/ { c = $1; if ($2 == "on|off") c = c " on|off"; print c }
    { for (i = 1; i <= NF; i++) if ($i ~ /^\[?--/) {
        o = $i; gsub(/[][]/, "", o); if ($(i + 1) ~ /^on\|off/) o = o " on|off"; print o } }' |
    sort -u
}

for program in "$@"; do
  name=$(basename "$program")
  line=$("$program" --version)
  pattern="^$name ${version//./\\.}( \\(git [0-9a-f]+(-dirty)?\\))?\$"
  [[ $line =~ $pattern ]] || fail "$name --version printed: $line"
  [[ $name == veskar ]] && continue

  page=$(ls "$repo"/packaging/man/"$name".[18].in)
  bash_file=$repo/packaging/completion/bash/$name
  zsh_file=$repo/packaging/completion/zsh/_$name
  listed=$(entries "$page")
  while read -r item; do
    grep -qE -- "^${item//|/[|]}([ ,]|$)" <<<"$listed" || fail "$page: no entry for $item"
    for file in "$bash_file" "$zsh_file"; do
      for word in ${item% on|off}; do
        grep -qwF -- "$word" "$file" || fail "$file: no $word"
      done
      if [[ $item == *" on|off" ]] && ! grep -qE '\bon off\b' "$file"; then
        fail "$file: no on and off for $item"
      fi
    done
  done < <(items "$name" "$program")
done
exit $status
