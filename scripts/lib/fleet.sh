# shellcheck shell=bash
# For scripts/demo-fleet and scripts/bench: a three-member etcd cluster on
# free loopback ports under a directory, and machines (a store each, with
# its fleet agent). Every process is started in the background and its pid
# kept, so that fleet_stop ends exactly these.

fleet_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# fleet_cluster DIR: starts the members; sets FLEET_ENDPOINTS.
fleet_cluster() {
  local dir=$1 i everyone="" peers=() clients=()
  mkdir -p "$dir"
  for i in 0 1 2; do
    clients[i]=$(fleet_port)
    peers[i]=$(fleet_port)
    everyone+="${everyone:+,}m$i=http://127.0.0.1:${peers[i]}"
  done
  FLEET_ENDPOINTS=""
  for i in 0 1 2; do
    etcd --name "m$i" --data-dir "$dir/m$i" \
      --listen-client-urls "http://127.0.0.1:${clients[i]}" \
      --advertise-client-urls "http://127.0.0.1:${clients[i]}" \
      --listen-peer-urls "http://127.0.0.1:${peers[i]}" \
      --initial-advertise-peer-urls "http://127.0.0.1:${peers[i]}" \
      --initial-cluster "$everyone" >"$dir/m$i.log" 2>&1 &
    FLEET_PIDS+=($!)
    FLEET_ENDPOINTS+="${FLEET_ENDPOINTS:+,}http://127.0.0.1:${clients[i]}"
  done
  local tries=0
  until ETCDCTL_API=3 etcdctl --endpoints "$FLEET_ENDPOINTS" endpoint health \
      >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "etcd did not start; see $dir/m*.log" >&2; return 1; }
    sleep 0.1
  done
}

# fleet_machine TOOL STORE FLEET [OPTION...]: starts the agent of a store.
fleet_machine() {
  local tool=$1 store=$2 fleet=$3
  shift 3
  mkdir -p "$store"
  KX_REGISTRY=$store "$tool" sync --endpoints "$FLEET_ENDPOINTS" \
    --fleet "$fleet" --machine "$(basename "$store")" "$@" \
    >"$store/agent.log" 2>&1 &
  FLEET_PIDS+=($!)
}

# fleet_revision KEY: the etcd revision at which KEY last changed.
fleet_revision() {
  ETCDCTL_API=3 etcdctl --endpoints "$FLEET_ENDPOINTS" get "$1" -w json |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["kvs"][0]["mod_revision"])'
}

fleet_stop() {
  local pid
  for pid in "${FLEET_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${FLEET_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  FLEET_PIDS=()
}
FLEET_PIDS=()
