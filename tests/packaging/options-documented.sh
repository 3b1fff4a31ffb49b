#!/usr/bin/env bash
# The manual page and the bash completion made from a program's --help:
# every option that --help names is in the page and offered by the
# completion, and the completion offers what belongs at each place.
#
#   options-documented.sh PROGRAM MANPAGE.gz [COMPLETION]
set -euo pipefail
program=$1 manpage=$2 completion=${3:-}
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help)
# Every option the help names anywhere, not only in the lines the
# generators read: long ones, and short ones at the head of an option line.
mapfile -t options < <(
  {
    grep -oE '(^|[^[:alnum:]-])--[[:alnum:]][[:alnum:]-]*' <<<"$help" | sed -E 's/^[^-]+//'
    grep -oE '^ +-[[:alnum:]?],' <<<"$help" | tr -d ' ,'
  } | sort -u)
[ ${#options[@]} -gt 0 ] || fail "no options found in $program --help"

# An option stands as a word of its own: --erase is not --erase-ms.
has_option() {  # has_option TEXT OPTION
  local re=${2//\?/\\?}
  grep -qE -- "(^|[^[:alnum:]-])${re}([^[:alnum:]-]|$)" <<<"$1"
}

# The page as a reader sees its words: roff's \- is a dash; fonts dropped.
page=$(gzip -dc "$manpage" | sed -E 's/\\-/-/g; s/\\f[BIRP]//g; s/\\[,\/]//g')
for o in "${options[@]}"; do
  has_option "$page" "$o" || fail "$o is missing from $manpage"
done
grep -q '^\.SH OPTIONS$' <<<"$page" || fail "$manpage has no OPTIONS section"
if grep -q '^Exit status:' <<<"$help"; then
  grep -q '^\.SH "EXIT STATUS"$' <<<"$page" || fail "$manpage has no EXIT STATUS section"
fi

if [ -n "$completion" ]; then
  name=$(basename "$program")
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # What the completion offers, one a line, with the last word being typed.
  offered() {
    (cd "$work" && bash -c '
      source "$1"; shift
      func=$(complete -p "$1" | sed -E "s/.* -F ([^ ]+) .*/\1/")
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()
      "$func"
      printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$name" "$@")
  }
  all=$(offered -)
  for o in "${options[@]}"; do
    has_option "$all" "$o" || fail "the completion does not offer $o"
  done

  touch "$work/b.bin" "$work/a.TXT" "$work/c.txt" "$work/e.HEX"
  mkdir "$work/d"
  # typed words | offered, in order
  check_table() {
    while IFS='|' read -r typed expected; do
      read -ra words <<<"$typed"
      [[ -z $typed || $typed == *" " ]] && words+=("")
      got=$(offered "${words[@]}" | paste -sd ' ')
      [ "$got" = "$expected" ] || fail "after '$name $typed' the completion offers '$got', not '$expected'"
    done
  }
  # The programs that update: ports, firmware files, numbers.
  if has_option "$help" --port; then
    check_table <<'TABLE'
--po|--port
--port CO|COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 COM10
--port = COM1|COM1 COM10
--erase-ticks |
|e.HEX a.TXT c.txt b.bin d
--quiet c|c.txt
--check c.txt --output |e.HEX a.TXT c.txt b.bin d
TABLE
  fi
  # The report program: its commands first, then the command's argument.
  if grep -q '^Commands:$' <<<"$help"; then
    check_table <<'TABLE'
|summary causes unit export push schema html
--history c.txt |summary causes unit export push schema html
--history |e.HEX a.TXT c.txt b.bin d
--since |
u|unit
html |e.HEX a.TXT c.txt b.bin d
--since 2026-12-08 summary --st|--station
TABLE
  fi
fi
exit "$failed"
