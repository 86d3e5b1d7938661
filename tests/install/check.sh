#!/usr/bin/env bash
# Installs a build into a staging prefix and builds a C program against it
# with pkg-config: the install rules, kxenv.pc and the C header together.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build_dir" --prefix "$stage" >/dev/null
export PKG_CONFIG_PATH="$stage/lib/pkgconfig:$stage/lib/x86_64-linux-gnu/pkgconfig"
cc -std=c11 -Wall -Wextra -Werror "$source_dir/app.c" -o "$stage/app" \
   $(pkg-config --cflags --libs kxenv)
KX_REGISTRY="$stage/registry" "$stage/app"
