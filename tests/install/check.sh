#!/usr/bin/env bash
# Installs a build into a staging prefix, builds the README's C example
# against it with pkg-config and runs it, then runs the installed kxenv
# tool: the install rules, kxenv.pc, the C header and the rpaths together.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
readme="$source_dir/../../README.md"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build_dir" --prefix "$stage" >/dev/null
export PKG_CONFIG_PATH="$stage/lib/pkgconfig:$stage/lib/x86_64-linux-gnu/pkgconfig"
export KX_REGISTRY="$stage/registry"

# The fenced block between "<!-- example: app.c -->" and
# "<!-- end example -->", without its fences.
awk '/^<!-- example: app.c -->$/ { inside = 1; next }
     /^<!-- end example -->$/   { inside = 0 }
     inside && !/^```/' "$readme" >"$stage/app.c"
if ! grep -q 'main' "$stage/app.c"; then
  echo "check.sh: no C example between the markers in README.md" >&2
  exit 1
fi
# An assignment of its own, so that a pkg-config that fails stops the check.
flags=$(pkg-config --cflags --libs kxenv)
# shellcheck disable=SC2086 # the flags are separate words
cc -std=c11 -Wall -Wextra -Werror "$stage/app.c" -o "$stage/app" $flags
output=$("$stage/app")
echo "$output"
[ "$output" = "GREETING=hello" ]

# The installed tool finds its libraries and reads what the example set.
"$stage/bin/kxenv" --help >/dev/null
value=$("$stage/bin/kxenv" get GREETING)
echo "kxenv get GREETING: $value"
[ "$value" = "hello" ]
