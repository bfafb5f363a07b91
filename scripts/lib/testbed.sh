# Shell helpers of the test bed (sourced). Everything here acts only on namespaces the caller made.

# zelvo_wait_port NS PORT [SECONDS [ADDRESS]]: waits until ADDRESS:PORT (127.0.0.1 by default) inside NS
# accepts a connection.
zelvo_wait_port() {
  local ns="$1" port="$2" seconds="${3:-10}" address="${4:-127.0.0.1}" i
  for ((i = 0; i < seconds * 20; i++)); do
    if ip netns exec "$ns" bash -c "exec 3<>/dev/tcp/$address/$port" 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  echo "testbed: nothing answers on port $port" >&2
  return 1
}

# zelvo_shape NS DEV RATE: tbf shaping of one interface (the burst holds a 64 KiB loopback segment).
zelvo_shape() {
  ip netns exec "$1" tc qdisc replace dev "$2" root tbf rate "$3" burst 256kb latency 20ms
}

# zelvo_veth_pair CLIENT_NS SERVER_NS [CLIENT_RATE] [SERVER_RATE]: joins two existing namespaces by
# veth, client end veth-c 192.0.2.1/24, server end veth-s 192.0.2.2/24 (a documentation block that is
# routed nowhere), each end shaped on its own when a rate is given.
zelvo_veth_pair() {
  local c="$1" s="$2"
  ip -n "$c" link add veth-c type veth peer name veth-s netns "$s"
  ip -n "$c" addr add 192.0.2.1/24 dev veth-c
  ip -n "$s" addr add 192.0.2.2/24 dev veth-s
  ip -n "$c" link set veth-c up
  ip -n "$s" link set veth-s up
  if [ -n "${3:-}" ]; then zelvo_shape "$c" veth-c "$3"; fi
  if [ -n "${4:-}" ]; then zelvo_shape "$s" veth-s "$4"; fi
}

# zelvo_kill_namespace NS: ends every process inside NS and removes it.
zelvo_kill_namespace() {
  local pids
  pids=$(ip netns pids "$1" 2>/dev/null || true)
  if [ -n "$pids" ]; then kill -9 $pids 2>/dev/null || true; fi
  ip netns del "$1" 2>/dev/null || true
}
