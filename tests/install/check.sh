#!/usr/bin/env bash
# check.sh BUILD_DIR | PACKAGE.deb
# Installs a build into a staging prefix (or the Debian package into a
# throwaway root, with dpkg and its own database), builds the README's C
# example against it with pkg-config and runs it, then runs the installed
# kxenv tool and Python package and loads the bash completion as
# bash-completion would: the install rules, kxenv.pc, the C header and the
# rpaths together. For the
# package also the store directory its postinst makes, and that dpkg -r
# removes the files and keeps the store.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")" && pwd)
readme="$source_dir/../../README.md"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg_in_root() {
  dpkg --instdir="$root" --admindir="$root/var/lib/dpkg" --force-not-root \
    --force-script-chrootless --force-depends "$@" >"$root/dpkg.log" 2>&1 ||
    { cat "$root/dpkg.log" >&2 && return 1; }
}
if [[ $1 == *.deb ]]; then
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg_in_root -i "$1"
  stage=$root/usr
  export KX_REGISTRY="$root/var/lib/kx-orrery/registry"
  modes=$(stat -c '%U:%G %a' "$KX_REGISTRY")
  echo "store directory: $modes"
  [ "$modes" = "root:root 755" ]
else
  stage=$root
  cmake --install "$1" --prefix "$stage" >/dev/null
  export KX_REGISTRY="$stage/registry"
fi
export PKG_CONFIG_PATH="$stage/lib/pkgconfig:$stage/lib/x86_64-linux-gnu/pkgconfig"

# The fenced block between "<!-- example: app.c -->" and
# "<!-- end example -->", without its fences.
awk '/^<!-- example: app.c -->$/ { inside = 1; next }
     /^<!-- end example -->$/   { inside = 0 }
     inside && !/^```/' "$readme" >"$root/app.c"
if ! grep -q 'main' "$root/app.c"; then
  echo "check.sh: no C example between the markers in README.md" >&2
  exit 1
fi
# An assignment of its own, so that a pkg-config that fails stops the check.
flags=$(pkg-config --cflags --libs kxenv)
# shellcheck disable=SC2086 # the flags are separate words
cc -std=c11 -Wall -Wextra -Werror "$root/app.c" -o "$root/app" $flags
output=$("$root/app")
echo "$output"
[ "$output" = "GREETING=hello" ]

# The installed tool finds its libraries and reads what the example set.
"$stage/bin/kxenv" --help >/dev/null
value=$("$stage/bin/kxenv" get GREETING)
echo "kxenv get GREETING: $value"
[ "$value" = "hello" ]

# The Python package finds the library of its own prefix with PYTHONPATH
# alone.
value=$(PYTHONPATH="$stage/lib/python3/dist-packages" python3 -c \
  'import kxenv; print(kxenv.get("GREETING"))')
echo "python3 kxenv.get: $value"
[ "$value" = "hello" ]

# The manual pages, and the completion where bash-completion looks for it
# (share/ of each of XDG_DATA_DIRS; /usr/share for the package).
[ -f "$stage/share/man/man1/kxenv.1.gz" ] && [ -f "$stage/share/man/man3/kxenv.3.gz" ]
completion=$(XDG_DATA_DIRS="$stage/share" PATH="$stage/bin:$PATH" bash -c '
  source /usr/share/bash-completion/bash_completion
  __load_completion kxenv && COMP_WORDS=(kxenv lo) COMP_CWORD=1 && _kxenv &&
    echo "${COMPREPLY[*]}"')
echo "kxenv lo<TAB>: $completion"
[ "$completion" = "load-table localize" ]

if [[ $1 == *.deb ]]; then
  dpkg_in_root -r kxenv
  left=$(find "$root/usr" -type f 2>/dev/null || true)
  echo "after dpkg -r: ${left:-no files}; store: $(cd "$KX_REGISTRY" && echo *)"
  [ -z "$left" ] && [ -f "$KX_REGISTRY/registry.db" ]
fi
