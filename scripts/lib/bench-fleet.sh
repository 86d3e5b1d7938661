#!/usr/bin/env bash
# The fleet's figures (bench/fleet_bench.cpp): BUILD DIR. A cluster of
# three members and two machines for a set crossing machines and for
# cached gets under 1,000 remote changes a second; then FLEET_MACHINES
# (100) machines for one put reaching all. Everything lives in DIR,
# on /dev/shm when it can, so that etcd's syncs do not measure the disk.
set -euo pipefail
build=$1 dir=$2
source "$(dirname "$0")/fleet.sh"
etcd_dir=$(mktemp -d /dev/shm/kxfleet.XXXXXX 2>/dev/null || mktemp -d)
trap 'fleet_stop; rm -rf "$etcd_dir"' EXIT
tool=$build/tools/kxenv/kxenv bench=$build/bench/fleet_bench
fleet_cluster "$etcd_dir"
"$tool" sync --create --fleet bench --endpoints "$FLEET_ENDPOINTS"
first=${FLEET_ENDPOINTS%%,*}
fleet_machine "$tool" "$dir/a" bench
fleet_machine "$tool" "$dir/b" bench
sleep 1
"$bench" cross "$dir/a" "$dir/b"
"$bench" load "$first" bench "$dir/b"
stores=()
for i in $(seq 1 "${FLEET_MACHINES:-100}"); do
  fleet_machine "$tool" "$dir/m$i" bench
  stores+=("$dir/m$i")
done
sleep 5
"$bench" fanout "$first" bench "${stores[@]}"
