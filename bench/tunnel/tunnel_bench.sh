#!/usr/bin/env bash
# tunnel_bench.sh -- the tunnel end to end: iperf3 TCP and ping from the lab's client
# namespace through `flowgate run` and one relay hop (relay1, TUN exit) into the world,
# the lab's own wire path without the tunnel, and, in the same run, the peers measured
# by peer-tunnels.sh; then the time from start to "connected" with a GeoIP table of
# DIRECT_NETWORKS direct networks.
#
# Usage: sudo bench/tunnel/tunnel_bench.sh [--build DIR]     (default DIR: build-rel)
#   env: RUNS=3 DUR=10 PINGS=20 STARTS=3 DIRECT_NETWORKS=100000 PEERS=1
#        PEERS_SCRIPT=<repo>/../shared/bench/peer-tunnels.sh OUT=/tmp/tunnel-bench.txt
# Build first (Release): cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release &&
#                        cmake --build build-rel --target bench_tunnel
#
# Figures: Mbit/s = iperf3 receiver, median of RUNS; ping = median RTT of PINGS idle pings;
# added RTT = tunnel RTT minus the same wire path without it (client -> relay1 plus
# relay1 -> world host, each pinged directly); CPU = utime+stime of the process per GB
# (1e9 bytes) the iperf3 receiver counted, for the client (flowgate) and the relay.
# It takes the lab's lock, brings the lab up and down, and stops what it started.
set -uo pipefail

[[ $EUID -eq 0 ]] || { echo "tunnel_bench.sh: must run as root" >&2; exit 1; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$repo/build-rel
while (($#)); do
  case $1 in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    *) echo "usage: tunnel_bench.sh [--build DIR]" >&2; exit 2 ;;
  esac
done
RUNS=${RUNS:-3} DUR=${DUR:-10} PINGS=${PINGS:-20} STARTS=${STARTS:-3}
DIRECT_NETWORKS=${DIRECT_NETWORKS:-100000} PEERS=${PEERS:-1}
PEERS_SCRIPT=${PEERS_SCRIPT:-$repo/../shared/bench/peer-tunnels.sh}
OUT=${OUT:-/tmp/tunnel-bench.txt}
HZ=$(getconf CLK_TCK)
: >"$OUT"

flowgate=$build/flowgate/cli/flowgate
mint=$build/tests/support/tunnel/mint/mint-start-options
geoip=$build/testbed/geoip/testbed-geoip
for f in "$flowgate" "$mint" "$geoip"; do
  [[ -x $f ]] || { echo "tunnel_bench.sh: $f missing (build the bench_tunnel target)" >&2; exit 1; }
done

# The benchmark's own tools (not needed by the tests, so not in install-deps).
missing=()
for pair in iperf3:iperf3 openvpn:openvpn wireguard-go:wireguard-go wg:wireguard-tools jq:jq; do
  command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if ((${#missing[@]})); then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" \
    >/dev/null || { echo "tunnel_bench.sh: cannot install ${missing[*]}" >&2; exit 1; }
fi

log() { printf '%s\n' "$*" | tee -a "$OUT"; }
median() { sort -g | awk '{a[NR]=$1} END{if(NR==0){print "nan"} else if(NR%2){print a[(NR+1)/2]} else {printf "%.3f\n",(a[NR/2]+a[NR/2+1])/2}}'; }
ticks() { awk '{print $14+$15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
client() { ip netns exec vkl-client "$@"; }

tmp=$(mktemp -d /tmp/tunnel-bench.XXXXXX)
started=()   # PIDs of what we started, stopped at exit
flowgate_pid=""
cleanup() {
  stop_flowgate
  local p
  for p in "${started[@]}"; do kill -TERM "$p" 2>/dev/null; done
  "$repo/testbed/lab" down >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The lab is shared by every checkout on this host: wait for our turn.
exec {lab_lock}>/run/lock/veskar-lab.lock
flock "$lab_lock"
"$repo/testbed/lab" up --build "$build" || exit 1

# Start options as the application would hand them over.
client "$mint" --base-url https://control.lab.example --ca /run/veskar-lab/pki/control-ca.pem \
  --out "$tmp/options" >/dev/null || { echo "tunnel_bench.sh: minting failed" >&2; exit 1; }

# Starts the daemon; sets flowgate_pid and start_ms (exec to the outcome line).
start_flowgate() {
  local t0 line
  rm -f "$tmp/fifo"
  mkfifo "$tmp/fifo"
  t0=$(date +%s%N)
  # Not through a shell function: $! must be the daemon itself (ip and env exec it).
  ip netns exec vkl-client env SSL_CERT_FILE=/run/veskar-lab/pki/control-ca.pem "$flowgate" run \
    --bootstrap "$tmp/options/bootstrap.json" --tokens "$tmp/options/tokens.json" \
    --tun vkbench0 >"$tmp/fifo" 2>&1 &
  flowgate_pid=$!
  exec {fg_out}<"$tmp/fifo"
  if ! read -r -t 60 line <&"$fg_out"; then line="(no outcome)"; fi
  start_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  # Keep draining its output so it never blocks on a full pipe.
  cat <&"$fg_out" >>"$tmp/flowgate.log" &
  started+=($!)
  exec {fg_out}<&-
  [[ $line == connected ]] || { log "flowgate did not connect: $line"; return 1; }
  [[ $(cat "/proc/$flowgate_pid/comm" 2>/dev/null) == flowgate ]] ||
    { log "flowgate's pid not found"; return 1; }
}
stop_flowgate() {
  [[ -n $flowgate_pid ]] || return 0
  kill -TERM "$flowgate_pid" 2>/dev/null
  wait "$flowgate_pid" 2>/dev/null
  flowgate_pid=""
}

relay_pid=$(cat /run/veskar-lab/pids/relay1)
[[ $(cat "/proc/$relay_pid/comm" 2>/dev/null) == testbed-relay ]] ||
  { echo "tunnel_bench.sh: relay1's pid not found" >&2; exit 1; }

# iperf3 servers: behind the exit (region DE: relay1 alone) and on relay1 itself.
ip netns exec vkl-world iperf3 -s -B 203.0.113.80 >/dev/null 2>&1 & started+=($!)
ip netns exec vkl-relay1 iperf3 -s -B 192.0.2.131 >/dev/null 2>&1 & started+=($!)
sleep 0.5

ping_ms() {  # ns target: median RTT
  ip netns exec "$1" ping -c "$PINGS" -i 0.2 "$2" 2>/dev/null |
    awk -F'time=' '/time=/{split($2,a," "); print a[1]}' | median
}

# measure LABEL TARGET [pid...]: RUNS iperf3 runs; sets RATES MED and CPU per pid.
measure() {
  local label=$1 target=$2
  shift 2
  local pids=("$@") i json bytes rate
  local -a before
  RATES=() TOTAL_BYTES=0
  CPU_TICKS=()
  for p in "${pids[@]}"; do CPU_TICKS+=(0); done
  for ((i = 1; i <= RUNS; i++)); do
    before=()
    for p in "${pids[@]}"; do before+=("$(ticks "$p")"); done
    json=$(client iperf3 -c "$target" -t "$DUR" -J 2>/dev/null)
    local k=0
    for p in "${pids[@]}"; do
      CPU_TICKS[k]=$((CPU_TICKS[k] + $(ticks "$p") - before[k]))
      k=$((k + 1))
    done
    bytes=$(jq -r '.end.sum_received.bytes // 0' <<<"$json")
    rate=$(jq -r '(.end.sum_received.bits_per_second // 0) / 1e6 | . * 10 | round / 10' <<<"$json")
    RATES+=("$rate")
    TOTAL_BYTES=$((TOTAL_BYTES + bytes))
    log "[$label] run $i: $rate Mbit/s, $bytes bytes"
  done
  MED=$(printf '%s\n' "${RATES[@]}" | median)
}
per_gb() { awk -v t="$1" -v h="$HZ" -v b="$TOTAL_BYTES" 'BEGIN{ if (b>0) printf "%.2f", t/h/(b/1e9); else print "n/a"}'; }

log "# host: $(uname -r), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), loadavg $(cut -d' ' -f1-3 /proc/loadavg)"

# The lab's wire path without the tunnel.
rtt_client_relay=$(ping_ms vkl-client 192.0.2.131)
rtt_relay_world=$(ping_ms vkl-relay1 203.0.113.80)
base_rtt=$(awk -v a="$rtt_client_relay" -v b="$rtt_relay_world" 'BEGIN{printf "%.3f", a+b}')
log "[lab-direct] ping client->relay1 $rtt_client_relay ms, relay1->world $rtt_relay_world ms"
measure lab-direct 192.0.2.131
direct_row=$(printf '%-10s | %-30s | %9s | %8s | %8s | %10s | %10s' lab-direct "${RATES[*]}" "$MED" "$base_rtt" - - -)

# Through the tunnel.
start_flowgate || exit 1
log "[flowgate] connected after $start_ms ms (lab GeoIP table)"
client curl -s --max-time 5 http://203.0.113.80/ >/dev/null  # the session to relay1
tunnel_rtt=$(ping_ms vkl-client 203.0.113.80)
added=$(awk -v t="$tunnel_rtt" -v b="$base_rtt" 'BEGIN{printf "%.3f", t-b}')
measure flowgate 203.0.113.80 "$flowgate_pid" "$relay_pid"
client_cpu=$(per_gb "${CPU_TICKS[0]}")
relay_cpu=$(per_gb "${CPU_TICKS[1]}")
tunnel_med=$MED
tunnel_row=$(printf '%-10s | %-30s | %9s | %8s | %8s | %10s | %10s' flowgate "${RATES[*]}" "$MED" "$tunnel_rtt" "$added" "$client_cpu" "$relay_cpu")
stop_flowgate

# Start to connected with a large table of direct networks (198.18.1.0 - 198.18.255.255 as
# /32, /31 and /30 networks: distinct routes, no packet ever goes to them).
awk -v n="$DIRECT_NETWORKS" 'BEGIN{
  print "version 2"; print "direct 192.0.2.0/25"
  print "route 203.0.113.0/25 DE"; print "route 203.0.113.128/25 US"; print "route 198.18.0.0/24 JP"
  c = 1
  for (len = 32; len >= 24 && c < n; len--) {
    step = 2 ^ (32 - len)
    for (b = 1; b <= 255 && c < n; b++)
      for (d = 0; d < 256 && c < n; d += step) { printf "direct 198.18.%d.%d/%d\n", b, d, len; c++ }
  }
}' >"$tmp/big.txt"
"$geoip" --source "$tmp/big.txt" --out "$tmp/big.bin" --manifest "$tmp/big.json" >/dev/null ||
  { echo "tunnel_bench.sh: testbed-geoip failed" >&2; exit 1; }
ip netns exec vkl-control curl -sS -X POST \
  -d "{\"table\":\"$tmp/big.bin\",\"manifest\":\"$tmp/big.json\"}" http://127.0.0.1:8080/admin/geoip >/dev/null
starts=()
for ((i = 1; i <= STARTS; i++)); do
  start_flowgate || break
  routes=$(client ip route show table 30309 | wc -l)
  log "[start] run $i: connected after $start_ms ms, $routes routes in the tunnel's table"
  starts+=("$start_ms")
  stop_flowgate
done
start_med=$(printf '%s\n' "${starts[@]}" | median)

# The peers, on this machine in the same run; the lab is no longer needed.
stop_flowgate
for p in "${started[@]}"; do kill -TERM "$p" 2>/dev/null; done
started=()
"$repo/testbed/lab" down >/dev/null 2>&1
flock -u "$lab_lock"
peer_lines=()
if [[ $PEERS == 1 ]]; then
  if [[ -x $PEERS_SCRIPT ]] || [[ -f $PEERS_SCRIPT ]]; then
    SCENARIOS="direct ovpn-tcp wg-go tls-pipe" RUNS=$RUNS DUR=$DUR PINGS=$PINGS \
      OUT="$tmp/peers.txt" bash "$PEERS_SCRIPT" >/dev/null 2>&1
    mapfile -t peer_lines < <(sed -n '/^SUMMARY/,$p' "$tmp/peers.txt" 2>/dev/null)
  else
    log "peers: $PEERS_SCRIPT not found"
  fi
fi
peer_median() { printf '%s\n' "${peer_lines[@]}" | awk -F'|' -v s="$1" '{gsub(/ /,"",$1)} $1==s{gsub(/ /,"",$3); print $3}'; }
peer_ping() { printf '%s\n' "${peer_lines[@]}" | awk -F'|' -v s="$1" '{gsub(/ /,"",$1)} $1==s{gsub(/ /,"",$4); print $4}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b+0>0) printf "%.2f", a/b; else print "n/a"}'; }

log ""
log "SUMMARY (tunnel; Mbit/s = iperf3 receiver; CPU s per GB = 1e9 bytes received)"
log "$(printf '%-10s | %-30s | %9s | %8s | %8s | %10s | %10s' scenario "runs (Mbit/s)" median "ping ms" "added ms" "client/GB" "relay/GB")"
log "$direct_row"
log "$tunnel_row"
log "start to connected, $DIRECT_NETWORKS direct networks: ${starts[*]} ms, median $start_med ms"
if ((${#peer_lines[@]})); then
  log ""
  for line in "${peer_lines[@]}"; do log "$line"; done
  direct_ping=$(peer_ping direct)
  log ""
  log "ratios: flowgate/wg-go $(ratio "$tunnel_med" "$(peer_median wg-go)") (goal >= 1.3)," \
    "flowgate/ovpn-tcp $(ratio "$tunnel_med" "$(peer_median ovpn-tcp)") (goal >= 3)," \
    "flowgate/tls-pipe $(ratio "$tunnel_med" "$(peer_median tls-pipe)")"
  log "added RTT: flowgate $added ms over its wire path (goal <= 0.2);" \
    "peers over the direct veth ($direct_ping ms): wg-go" \
    "$(awk -v a="$(peer_ping wg-go)" -v b="$direct_ping" 'BEGIN{printf "%.3f", a-b}') ms," \
    "ovpn-tcp $(awk -v a="$(peer_ping ovpn-tcp)" -v b="$direct_ping" 'BEGIN{printf "%.3f", a-b}') ms"
fi
log "client CPU $client_cpu s/GB (goal <= 10); start to connected $start_med ms (goal <= 1000)"
