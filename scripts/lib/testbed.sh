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

# zelvo_routed_path CLIENT_NS ROUTER_NS SERVER_NS PATHEMU: the client's end veth-c 192.0.2.1/24 and the
# server's end veth-s 192.0.2.2/24 joined through the router's legs rt-c and rt-s (no address: the
# emulator forwards between them). Offloads off on all four ends; TCP buffers in the two end namespaces
# large enough for a long fat path (these are the namespaces' own settings, not the machine's).
zelvo_routed_path() {
  local c="$1" r="$2" s="$3" pathemu="$4" n
  ip -n "$c" link add veth-c type veth peer name rt-c netns "$r"
  ip -n "$s" link add veth-s type veth peer name rt-s netns "$r"
  ip -n "$c" addr add 192.0.2.1/24 dev veth-c
  ip -n "$s" addr add 192.0.2.2/24 dev veth-s
  ip netns exec "$r" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  ip netns exec "$c" "$pathemu" --offloads-off veth-c
  ip netns exec "$s" "$pathemu" --offloads-off veth-s
  ip netns exec "$r" "$pathemu" --offloads-off rt-c rt-s
  for n in "$c" "$s"; do
    ip netns exec "$n" sysctl -qw net.ipv4.tcp_rmem="4096 131072 67108864" \
      net.ipv4.tcp_wmem="4096 16384 67108864"
  done
  ip -n "$r" link set rt-c up
  ip -n "$r" link set rt-s up
  ip -n "$c" link set veth-c up
  ip -n "$s" link set veth-s up
}

# zelvo_shape_leg NS DEV RATE QUEUE_MS: a router leg's bottleneck: tbf with a burst of about two
# milliseconds at RATE (never less than two frames), so that no phase reads above the line's rate, and a
# queue of QUEUE_MS.
zelvo_shape_leg() {
  local bits burst
  bits=$(python3 -c 'import sys; r = sys.argv[1].lower(); u = {"kbit": 1e3, "mbit": 1e6, "gbit": 1e9, "bit": 1}
for k in ("kbit", "mbit", "gbit", "bit"):
    if r.endswith(k): print(int(float(r[:-len(k)]) * u[k])); break
else: print(int(float(r)))' "$3")
  burst=$((bits / 8 / 500))
  [ "$burst" -ge 3028 ] || burst=3028
  ip netns exec "$1" tc qdisc replace dev "$2" root tbf rate "$3" burst "$burst" latency "${4}ms"
}

# zelvo_kill_namespace NS: ends every process inside NS and removes it. Asked again until none is left
# (for up to two seconds): a process started between the listing and the kill (Wine's services start one
# another) would otherwise live on, and a Wine server serving a deleted prefix would then answer the next
# run whose prefix copy reuses that folder's inode.
zelvo_kill_namespace() {
  local pids _
  for _ in $(seq 20); do
    pids=$(ip netns pids "$1" 2>/dev/null || true)
    [ -n "$pids" ] || break
    kill -9 $pids 2>/dev/null || true
    sleep 0.1
  done
  ip netns del "$1" 2>/dev/null || true
}
