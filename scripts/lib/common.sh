# shellcheck shell=bash
# Shared by the scripts: the Debian packages the build needs, installed
# where missing.
set -euo pipefail

KX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
KX_PACKAGES=(g++ cmake ninja-build pkg-config libsqlite3-dev googletest
             libgtest-dev libbenchmark-dev libfontconfig-dev libc-bin
             libcli11-dev nlohmann-json3-dev man-db bash-completion
             dpkg-dev etcd-server etcd-client libgrpc++-dev
             protobuf-compiler-grpc libprotobuf-dev golang-etcd-server-dev
             libssl-dev openssl ccache python3 python3-pytest mypy lintian)

kx_missing_packages() {
  local package
  for package in "${KX_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
        grep -q 'install ok installed'; then
      echo "$package"
    fi
  done
}

kx_ensure_packages() {
  local missing
  missing=$(kx_missing_packages | tr '\n' ' ')
  [ -z "${missing// }" ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    # On standard error: a script's output may be a result (scripts/package
    # prints the package's path).
    echo "installing: $missing" >&2
    export DEBIAN_FRONTEND=noninteractive
    # Another apt-get may hold the dpkg lock for a while: wait for it.
    apt-get update -q -o DPkg::Lock::Timeout=900 >&2
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends \
      -o DPkg::Lock::Timeout=900 $missing >&2
  else
    echo "missing Debian packages; run:" >&2
    echo "  sudo apt-get install -y $missing" >&2
    exit 1
  fi
}

# kx_build <dir> <cmake options...>: configures and builds into build/<dir>.
kx_build() {
  local dir="$KX_ROOT/build/$1"
  shift
  cmake -S "$KX_ROOT" -B "$dir" -G Ninja \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    "$@" >/dev/null
  cmake --build "$dir"
}
