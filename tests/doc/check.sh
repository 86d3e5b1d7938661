#!/usr/bin/env bash
# The manual pages and the bash completion against the built tool: both
# pages render without a warning, kxenv(1) has every command of
# `kxenv --help` and kxenv(3) every exported symbol of libkxenv; the
# completion completes a command and a variable name read from a store.
set -euo pipefail
tool=$1 man_dir=$2 symbols=$3 completion=$4 version=$5
export KX_REGISTRY MANWIDTH=80
KX_REGISTRY=$(mktemp -d)
trap 'rm -rf "$KX_REGISTRY"' EXIT
fail() {
  echo "check.sh: $*" >&2
  exit 1
}

for page in kxenv.1 kxenv.3; do
  warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$man_dir/$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
page1=$(man --nh --nj -l "$man_dir/kxenv.1" 2>/dev/null)
# The commands are the first words of the lines under "Subcommands:".
commands=$("$tool" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z-]*\) .*/\1/p')
for command in $commands; do
  grep -qE "^ {7}$command( |$)" <<<"$page1" || fail "kxenv(1) lacks the command $command"
done
page3=$(man --nh --nj -l "$man_dir/kxenv.3" 2>/dev/null)
while read -r symbol; do
  grep -qw -- "$symbol" <<<"$page3" || fail "kxenv(3) lacks $symbol"
done <"$symbols"
[ "$("$tool" --version)" = "kxenv $version" ] || fail "kxenv --version is not kxenv $version"

"$tool" set KXA_LOGLEVEL 3
"$tool" set --opt KXA_SYSLOG Y
# shellcheck source=/dev/null
source "$completion"
complete_words() {
  COMP_WORDS=("$tool" "$@")
  COMP_CWORD=$#
  _kxenv
  echo "${COMPREPLY[*]}"
}
[ "$(complete_words lo)" = "load-table localize" ] || fail "kxenv lo<TAB>: $(complete_words lo)"
# Every option of each command's help (but sync's, the fleet agent's) is in
# kxenv(1), in its synopsis line, and in what the completion offers.
for command in ${commands/sync/}; do
  offered=" $(complete_words "$command" --) "
  # A long synopsis goes on in the lines below it, as indented.
  synopsis=$(awk -v c="$command" '$1 == c && /^       [^ ]/ { on = 1; print; next }
    on && /^       [^ ]/ { print; next } { on = 0 }' <<<"$page1")
  for option in $("$tool" help "$command" | grep -oE '^  (-h,)?--[a-z-]+' | sed 's/.*,//; s/ //g'); do
    [[ $option == --help || $synopsis == *"$option"* ]] ||
      fail "the synopsis of $command in kxenv(1) lacks $option"
    [[ $offered == *" $option "* ]] || fail "kxenv $command --<TAB> lacks $option"
  done
done
[ "$(complete_words save --format j)" = json ] || fail "kxenv save --format j<TAB>"
[ "$(complete_words watch --exec KXA_LOGLEVEL)" = "" ] || fail "kxenv watch --exec completes variables"
[ "$(complete_words get kxa)" = KXA_LOGLEVEL ] || fail "kxenv get kxa<TAB>: $(complete_words get kxa)"
[ "$(complete_words del --opt KX)" = KXA_SYSLOG ] || fail "kxenv del --opt KX<TAB>: $(complete_words del --opt KX)"
echo "manual pages and completion: ok"
