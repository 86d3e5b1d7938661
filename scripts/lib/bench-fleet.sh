#!/usr/bin/env bash
# The fleet's figures (bench/fleet_bench.cpp): BUILD DIR. A cluster of
# three members; two machines whose agents keep the convergence ledger and
# two whose agents do not, for a set crossing machines with and without
# it, and cached gets under 1,000 remote changes a second; then
# FLEET_MACHINES (100) machines of a fleet of their own for one put
# reaching all, and --fleet-status over them. Everything lives in DIR, on
# /dev/shm when it can, so that etcd's syncs do not measure the disk.
set -euo pipefail
build=$1 dir=$2
source "$(dirname "$0")/fleet.sh"
etcd_dir=$(mktemp -d /dev/shm/kxfleet.XXXXXX 2>/dev/null || mktemp -d)
trap 'fleet_stop; rm -rf "$etcd_dir"' EXIT
tool=$build/tools/kxenv/kxenv bench=$build/bench/fleet_bench
fleet_cluster "$etcd_dir"
for fleet in bench plain fanout; do
  "$tool" sync --create --fleet "$fleet" --endpoints "$FLEET_ENDPOINTS"
done
first=${FLEET_ENDPOINTS%%,*}
fleet_machine "$tool" "$dir/a" bench
fleet_machine "$tool" "$dir/b" bench
fleet_machine "$tool" "$dir/c" plain --no-ledger
fleet_machine "$tool" "$dir/d" plain --no-ledger
sleep 1
"$bench" cross "$dir/a" "$dir/b" "$dir/c" "$dir/d"
"$bench" load "$first" bench "$dir/b"
stores=()
for i in $(seq 1 "${FLEET_MACHINES:-100}"); do
  fleet_machine "$tool" "$dir/m$i" fanout
  stores+=("$dir/m$i")
done
sleep 5
"$bench" fanout "$first" fanout "${stores[@]}" | tee "$dir/fanout.txt"
read -r revision put_ms < <(awk '/^last put:/ { print $4, $6 }' "$dir/fanout.txt")
sleep 2  # each agent writes its entry at most once a second
start=$(date +%s%N)
"$tool" sync --fleet-status --json --revision "$revision" --fleet fanout \
  --endpoints "$FLEET_ENDPOINTS" >"$dir/status.json"
took=$((($(date +%s%N) - start) / 1000000))
python3 - "$dir/status.json" "$put_ms" "$took" <<'PY'
import json, sys
status, put, took = json.load(open(sys.argv[1])), int(sys.argv[2]), sys.argv[3]
print("%-44s %s ms for %d machines" % ("--fleet-status --revision R", took,
                                        len(status["machines"])))
shares = ["%s %s" % (share, "not yet" if status["reached"][key] is None
                     else "%d ms" % (status["reached"][key] - put))
          for share, key in (("50 %", "p50"), ("99 %", "p99"), ("100 %", "p100"))]
print("%-44s %s" % ("the last put reached, by the ledger", ", ".join(shares)))
PY
