#!/usr/bin/env bash
# tunnel_bench.sh -- the tunnel end to end: iperf3 TCP and ping from the lab's client
# namespace through `flowgate run` and one relay hop (relay1, TUN exit) into the world,
# the lab's own wire path without the tunnel, and the peers measured by peer-tunnels.sh,
# all interleaved in rounds; then the time from start to "connected" with a GeoIP table
# of DIRECT_NETWORKS direct networks.
#
# Usage: sudo bench/tunnel/tunnel_bench.sh [--build DIR]     (default DIR: build-rel)
#   env: ROUNDS=5 DUR=10 PINGS=20 BUSY_PINGS=500 STARTS=3 DIRECT_NETWORKS=100000 PEERS=1
#        PEER_SCENARIOS="direct ovpn-tcp wg-go tls-pipe" TLS_BYTES=<peer script's default>
#        PEERS_SCRIPT=<repo>/../shared/bench/peer-tunnels.sh OUT=/tmp/tunnel-bench.txt
# Build first (Release): cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release &&
#                        cmake --build build-rel --target bench_tunnel
#
# The load on a shared machine drifts within minutes, so the tunnel and its peers are
# measured back to back in each of ROUNDS rounds: the tunnel side (flowgate: one iperf3
# run of DUR s, then its ping; the wire path's pings; lab-direct: one iperf3 run), and the
# peer side (peer-tunnels.sh with RUNS=1 and PEER_SCENARIOS; "direct" is the peers' veth
# without a tunnel). Odd rounds start with the tunnel, even rounds with the peers. The lab
# and the daemon stay up through the rounds.
#
# Figures: Mbit/s = iperf3 receiver; ping = median RTT of PINGS idle pings; added RTT =
# tunnel RTT minus the same wire path without it (client -> relay1 plus relay1 -> world
# host, each pinged directly), for the peers their ping minus the direct veth's, both
# within the round; the busy added RTT is the same over BUSY_PINGS pings every 2 ms (the
# tunnel only: the peer script pings idle). RTT under load = median RTT of pings every 0.2 s
# through a tunnel while one iperf3 TCP stream saturates it (from 1 s after the stream starts
# to 1 s before it ends); the peers are pinged from their client namespace during their
# script's iperf3 run, at their tunnel addresses as peer-tunnels.sh sets them. Each round's
# row gives its ratios flowgate/peer; the verdict is the
# median of the per-round ratios (range min..max). The SUMMARY gives medians over the
# rounds; CPU = utime+stime of the process per GB (1e9 bytes) the iperf3 receiver counted,
# summed over the tunnel's rounds, for the client (flowgate) and the relay; vpnCPU/GB (both
# ends) and allCPU/GB (whole machine) are the peer script's, median over the rounds.
# TLS_BYTES, if set, is handed to the peer script (bytes per tls-pipe run; it makes three).
# The daemon keeps its state in a temporary data directory, never in the host's.
# It takes the lab's lock, holds it while the lab is up (the peers run under it too, so
# two runs of this benchmark never share the machine), and stops what it started.
set -uo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/../lab_common.sh"
lab_bench_start tunnel_bench.sh "$@"
ROUNDS=${ROUNDS:-5} DUR=${DUR:-10} PINGS=${PINGS:-20} BUSY_PINGS=${BUSY_PINGS:-500} STARTS=${STARTS:-3}
DIRECT_NETWORKS=${DIRECT_NETWORKS:-100000} PEERS=${PEERS:-1}
PEER_SCENARIOS=${PEER_SCENARIOS:-direct ovpn-tcp wg-go tls-pipe}
PEERS_SCRIPT=${PEERS_SCRIPT:-$repo/../shared/bench/peer-tunnels.sh}
OUT=${OUT:-/tmp/tunnel-bench.txt}
HZ=$(getconf CLK_TCK)
: >"$OUT"

flowgate=$build/flowgate/cli/flowgate
mint=$build/tests/support/tunnel/mint/mint-start-options
geoip=$build/testbed/geoip/testbed-geoip
lab_bench_require tunnel_bench.sh bench_tunnel "$flowgate" "$mint" "$geoip"
if [[ $PEERS == 1 && ! -f $PEERS_SCRIPT ]]; then
  echo "tunnel_bench.sh: $PEERS_SCRIPT not found (PEERS=0 to measure the tunnel alone)" >&2
  exit 1
fi

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
# Statistics over the numeric words of their input ("n/a" of a failed run is skipped).
numbers() { tr ' ' '\n' | grep -E '^-?[0-9]+(\.[0-9]+)?$'; }
median() {  # [decimals of a mean of the middle two, default 3]
  numbers | sort -g | awk -v d="${1:-3}" '{a[NR]=$1} END{if(NR==0){print "n/a"} else if(NR%2){print a[(NR+1)/2]} else {printf "%.*f\n",d,(a[NR/2]+a[NR/2+1])/2}}'
}
range() { numbers | sort -g | awk 'NR==1{lo=$1} {hi=$1} END{if(NR==0){print "n/a"} else {print lo ".." hi}}'; }
isnum() { [[ $1 =~ ^-?[0-9]+(\.[0-9]+)?$ ]]; }
ratio() { if isnum "$1" && isnum "$2"; then awk -v a="$1" -v b="$2" 'BEGIN{ if (b>0) printf "%.2f", a/b; else print "n/a"}'; else echo n/a; fi; }
minus() { if isnum "$1" && isnum "$2"; then awk -v a="$1" -v b="$2" 'BEGIN{printf "%.3f", a-b}'; else echo n/a; fi; }
ticks() { awk '{print $14+$15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
client() { ip netns exec vkl-client "$@"; }

tmp=$(mktemp -d /tmp/tunnel-bench.XXXXXX)
started=()   # PIDs of what we started, stopped at exit
flowgate_pid=""
peers_pid=""
cleanup() {
  stop_flowgate
  # The peer script removes its own namespaces and processes when it ends.
  if [[ -n $peers_pid ]]; then
    kill -TERM "$peers_pid" 2>/dev/null
    wait "$peers_pid" 2>/dev/null
  fi
  local p
  for p in "${started[@]}"; do kill -TERM "$p" 2>/dev/null; done
  "$repo/testbed/lab" down >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

lab_bench_lock tunnel_bench.sh
"$repo/testbed/lab" up --build "$build" || exit 1

mkdir -m 0700 "$tmp/data"
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
    --tun vkbench0 --data-dir "$tmp/data" >"$tmp/fifo" 2>>"$tmp/flowgate.log" &
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

ping_ms() {  # ns target [interval count]: median RTT
  ip netns exec "$1" ping -c "${4:-$PINGS}" -i "${3:-0.2}" "$2" 2>/dev/null |
    awk -F'time=' '/time=/{split($2,a," "); print a[1]}' | median
}

# loaded_ping NS TARGET OUTFILE: in the background, once a saturating run has got going, pings
# every 0.2 s until just before it ends and writes their median RTT to OUTFILE.
loaded_ping() {
  local count=$(((DUR - 2) * 5))
  ((count > 0)) || count=1
  (sleep 1; ping_ms "$1" "$2" 0.2 "$count" >"$3") &
}

# iperf LABEL TARGET [pid...]: one iperf3 run of DUR s from the client; sets RATE (Mbit/s or
# n/a), BYTES and TICKS (CPU ticks of each pid during the run).
iperf() {
  local label=$1 target=$2
  shift 2
  local pids=("$@") p json err k=0
  local -a before=()
  for p in "${pids[@]}"; do before+=("$(ticks "$p")"); done
  json=$(client iperf3 -c "$target" -t "$DUR" -J 2>/dev/null)
  TICKS=()
  for p in "${pids[@]}"; do
    TICKS+=($(($(ticks "$p") - before[k])))
    k=$((k + 1))
  done
  err=$(jq -r '.error // empty' <<<"$json" 2>/dev/null || echo "no report")
  if [[ -n $err ]]; then
    RATE=n/a BYTES=0
    log "[$label] iperf3 FAILED: $err"
    return
  fi
  BYTES=$(jq -r '.end.sum_received.bytes // 0' <<<"$json")
  RATE=$(jq -r '(.end.sum_received.bits_per_second // 0) / 1e6 | . * 10 | round / 10' <<<"$json")
  log "[$label] $RATE Mbit/s, $BYTES bytes"
}

# What the rounds gather: per-round figures as space-separated lists.
fg_rates="" fg_pings="" fg_added="" fg_busy_added="" fg_loaded="" ld_rates="" base_rtts=""
tunnel_bytes=0 fg_ticks=0 relay_ticks=0
declare -A peer_rates=() peer_pings=() peer_added=() peer_cpus=() peer_all=() peer_loaded=() per_round=()
round_rows=()

# The tunnel side of round $1: flowgate (iperf3, then its idle ping), the wire path's
# pings and the lab's own path through iperf3.
tunnel_side() {
  local r=$1 rtt_cr rtt_rw base tunnel_rtt busy
  [[ -e /proc/$flowgate_pid ]] || { log "flowgate exited during the rounds"; exit 1; }
  loaded_ping vkl-client 203.0.113.80 "$tmp/loaded-fg"
  local pinger=$!
  iperf "flowgate r$r" 203.0.113.80 "$flowgate_pid" "$relay_pid"
  wait "$pinger"
  per_round[fg.loaded]=$(cat "$tmp/loaded-fg")
  fg_loaded+=" ${per_round[fg.loaded]}"
  log "[flowgate r$r] ping under load ${per_round[fg.loaded]} ms"
  fg_ticks=$((fg_ticks + TICKS[0])) relay_ticks=$((relay_ticks + TICKS[1]))
  tunnel_bytes=$((tunnel_bytes + BYTES))
  per_round[fg]=$RATE
  tunnel_rtt=$(ping_ms vkl-client 203.0.113.80)
  rtt_cr=$(ping_ms vkl-client 192.0.2.131)
  rtt_rw=$(ping_ms vkl-relay1 203.0.113.80)
  base=$(awk -v a="$rtt_cr" -v b="$rtt_rw" 'BEGIN{printf "%.3f", a+b}')
  per_round[fg_added]=$(minus "$tunnel_rtt" "$base")
  log "[flowgate r$r] ping $tunnel_rtt ms; wire path client->relay1 $rtt_cr ms + relay1->world $rtt_rw ms"
  # The same on a busy path: a ping every 2 ms keeps every hop's code and data in
  # the caches that an idle path finds cold.
  busy=$(minus "$(ping_ms vkl-client 203.0.113.80 0.002 "$BUSY_PINGS")" \
    "$(awk -v a="$(ping_ms vkl-client 192.0.2.131 0.002 "$BUSY_PINGS")" \
      -v b="$(ping_ms vkl-relay1 203.0.113.80 0.002 "$BUSY_PINGS")" 'BEGIN{printf "%.3f", a+b}')")
  log "[flowgate r$r] added RTT with a ping every 2 ms: $busy ms"
  fg_busy_added+=" $busy"
  iperf "lab-direct r$r" 192.0.2.131
  per_round[ld]=$RATE
  fg_rates+=" ${per_round[fg]}" fg_pings+=" $tunnel_rtt" fg_added+=" ${per_round[fg_added]}"
  ld_rates+=" ${per_round[ld]}" base_rtts+=" $base"
}

# The peer side of round $1: one run of each peer scenario. Its lines go to OUT as well.
peer_col() {  # file scenario column -> that SUMMARY cell, n/a if missing or failed
  local v
  v=$(sed -n '/^SUMMARY/,$p' "$1" | awk -F'|' -v s="$2" -v c="$3" \
    '{gsub(/ /,"",$1)} $1==s{v=$c; gsub(/ /,"",v); print v}')
  isnum "$v" && echo "$v" || echo n/a
}
# The peer script logs a scenario's idle ping just before its iperf3 run starts: pinging
# through that tunnel from then on measures it under load. Writes OUT.<scenario>.
declare -A peer_target=([wg-go]=198.19.98.1 [ovpn-tcp]=198.19.99.1)
watch_peers() {  # PID FILE OUT
  local s
  local -A seen=()
  while kill -0 "$1" 2>/dev/null; do
    for s in "${!peer_target[@]}"; do
      [[ -z ${seen[$s]:-} ]] && grep -q "^\[$s\] ping RTT median" "$2" 2>/dev/null || continue
      seen[$s]=1
      loaded_ping vkp-a "${peer_target[$s]}" "$3.$s"
    done
    sleep 0.1
  done
  wait
}
peer_side() {
  local r=$1 f=$tmp/peers-$1.txt s direct_ping watcher
  local -a tls=()
  [[ -n ${TLS_BYTES:-} ]] && tls=(TLS_BYTES="$TLS_BYTES")
  rm -f "$tmp/loaded-peer".*
  env SCENARIOS="$PEER_SCENARIOS" RUNS=1 DUR="$DUR" PINGS="$PINGS" OUT="$f" "${tls[@]}" \
    bash "$PEERS_SCRIPT" >/dev/null 2>&1 </dev/null &
  peers_pid=$!
  watch_peers "$peers_pid" "$f" "$tmp/loaded-peer" &
  watcher=$!
  wait "$peers_pid"
  peers_pid=""
  wait "$watcher"
  { echo "# peers, round $r:"; cat "$f" 2>/dev/null; } >>"$OUT"
  direct_ping=$(peer_col "$f" direct 4)
  for s in $PEER_SCENARIOS; do
    per_round[$s]=$(peer_col "$f" "$s" 3)
    per_round[$s.ping]=$(peer_col "$f" "$s" 4)
    per_round[$s.added]=$(minus "${per_round[$s.ping]}" "$direct_ping")
    peer_rates[$s]+=" ${per_round[$s]}" peer_pings[$s]+=" ${per_round[$s.ping]}"
    peer_added[$s]+=" ${per_round[$s.added]}" peer_cpus[$s]+=" $(peer_col "$f" "$s" 5)"
    peer_all[$s]+=" $(peer_col "$f" "$s" 7)"
    per_round[$s.loaded]=$(cat "$tmp/loaded-peer.$s" 2>/dev/null || echo n/a)
    peer_loaded[$s]+=" ${per_round[$s.loaded]}"
    log "[$s r$r] ${per_round[$s]} Mbit/s, ping ${per_round[$s.ping]} ms, under load ${per_round[$s.loaded]} ms"
  done
}

round_row() { printf '%-5s | %-13s | %8s | %10s | %8s | %8s | %8s | %8s | %6s | %6s | %6s | %8s | %8s | %8s | %8s | %8s | %8s | %s' "$@"; }
# Per-round ratios, gathered for the verdict.
ratio_wg="" ratio_ovpn="" ratio_tls=""

log "# host: $(uname -r), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), loadavg $(cut -d' ' -f1-3 /proc/loadavg)"
log "# ROUNDS=$ROUNDS DUR=${DUR}s PINGS=$PINGS PEERS=$PEERS PEER_SCENARIOS=\"$PEER_SCENARIOS\""

start_flowgate || exit 1
log "[flowgate] connected after $start_ms ms (lab GeoIP table)"
client curl -s --max-time 5 http://203.0.113.80/ >/dev/null  # the session to relay1

for ((r = 1; r <= ROUNDS; r++)); do
  per_round=()
  if [[ $PEERS != 1 ]]; then order=tunnel; tunnel_side "$r"
  elif ((r % 2)); then order=tunnel,peers; tunnel_side "$r"; peer_side "$r"
  else order=peers,tunnel; peer_side "$r"; tunnel_side "$r"; fi
  rw=$(ratio "${per_round[fg]}" "${per_round[wg-go]:-}")
  ro=$(ratio "${per_round[fg]}" "${per_round[ovpn-tcp]:-}")
  rt=$(ratio "${per_round[fg]}" "${per_round[tls-pipe]:-}")
  ratio_wg+=" $rw" ratio_ovpn+=" $ro" ratio_tls+=" $rt"
  round_rows+=("$(round_row "$r" "$order" "${per_round[fg]}" "${per_round[ld]}" \
    "${per_round[wg-go]:--}" "${per_round[ovpn-tcp]:--}" "${per_round[tls-pipe]:--}" \
    "${per_round[direct]:--}" "$rw" "$ro" "$rt" "${per_round[fg_added]}" \
    "${per_round[wg-go.added]:--}" "${per_round[ovpn-tcp.added]:--}" "${per_round[fg.loaded]}" \
    "${per_round[wg-go.loaded]:--}" "${per_round[ovpn-tcp.loaded]:--}" "$(cut -d' ' -f1 /proc/loadavg)")")
  log "${round_rows[-1]}"
done
client_cpu=$(awk -v t="$fg_ticks" -v h="$HZ" -v b="$tunnel_bytes" 'BEGIN{ if (b>0) printf "%.2f", t/h/(b/1e9); else print "n/a"}')
relay_cpu=$(awk -v t="$relay_ticks" -v h="$HZ" -v b="$tunnel_bytes" 'BEGIN{ if (b>0) printf "%.2f", t/h/(b/1e9); else print "n/a"}')
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

log ""
log "ROUNDS (Mbit/s = iperf3 receiver, one ${DUR}-s run each; x/y = flowgate/peer; +ms = added RTT; ld ms = RTT under load; load = 1-min loadavg)"
log "$(round_row round order flowgate lab-direct wg-go ovpn-tcp tls-pipe direct x/wg x/ovpn x/tls "fg +ms" "wg +ms" "ovpn +ms" "fg ld ms" "wg ld ms" "ovpn ld" load)"
for row in "${round_rows[@]}"; do log "$row"; done
log ""
log "SUMMARY (medians over $ROUNDS rounds; Mbit/s = iperf3 receiver; CPU s per GB = 1e9 bytes received)"
sum_row() { printf '%-10s | %-40s | %9s | %8s | %8s | %10s | %10s' "$@"; }
log "$(sum_row scenario "rounds (Mbit/s)" median "ping ms" "added ms" "client/GB" "relay/GB")"
log "$(sum_row lab-direct "${ld_rates# }" "$(median 1 <<<"$ld_rates")" "$(median <<<"$base_rtts")" - - -)"
log "$(sum_row flowgate "${fg_rates# }" "$(median 1 <<<"$fg_rates")" "$(median <<<"$fg_pings")" \
  "$(median <<<"$fg_added")" "$client_cpu" "$relay_cpu")"
if [[ $PEERS == 1 ]]; then
  log "peers (added ms = over their direct veth; vpnCPU = both ends, allCPU = whole machine; s/GB)"
  log "$(sum_row scenario "rounds (Mbit/s)" median "ping ms" "added ms" "vpnCPU/GB" "allCPU/GB")"
  for s in $PEER_SCENARIOS; do
    log "$(sum_row "$s" "${peer_rates[$s]# }" "$(median 1 <<<"${peer_rates[$s]}")" \
      "$(median <<<"${peer_pings[$s]}")" "$(median <<<"${peer_added[$s]}")" \
      "$(median 2 <<<"${peer_cpus[$s]}")" "$(median 2 <<<"${peer_all[$s]}")")"
  done
fi
log "start to connected, $DIRECT_NETWORKS direct networks: ${starts[*]} ms, median $start_med ms"
log ""
if [[ $PEERS == 1 ]]; then
  log "ratios (median of the per-round ratios, range min..max):" \
    "flowgate/wg-go $(median 2 <<<"$ratio_wg") ($(range <<<"$ratio_wg")) (goal >= 1.3)," \
    "flowgate/ovpn-tcp $(median 2 <<<"$ratio_ovpn") ($(range <<<"$ratio_ovpn")) (goal >= 3)," \
    "flowgate/tls-pipe $(median 2 <<<"$ratio_tls") ($(range <<<"$ratio_tls"))"
  log "added RTT (median per round, range): flowgate $(median <<<"$fg_added") ms ($(range <<<"$fg_added"))" \
    "over its wire path (goal <= 0.2); peers over the direct veth ($(median <<<"${peer_pings[direct]:-}") ms):" \
    "wg-go $(median <<<"${peer_added[wg-go]:-}") ms ($(range <<<"${peer_added[wg-go]:-}"))," \
    "ovpn-tcp $(median <<<"${peer_added[ovpn-tcp]:-}") ms ($(range <<<"${peer_added[ovpn-tcp]:-}"))"
else
  log "added RTT (median per round, range): flowgate $(median <<<"$fg_added") ms ($(range <<<"$fg_added"))" \
    "over its wire path (goal <= 0.2)"
fi
log "added RTT on a busy path (a ping every 2 ms; the peers' script measures only idle ones):" \
  "flowgate $(median <<<"$fg_busy_added") ms ($(range <<<"$fg_busy_added"))"
if [[ $PEERS == 1 ]]; then
  peers_loaded="wg-go $(median <<<"${peer_loaded[wg-go]:-}") ms ($(range <<<"${peer_loaded[wg-go]:-}")), ovpn-tcp $(median <<<"${peer_loaded[ovpn-tcp]:-}") ms ($(range <<<"${peer_loaded[ovpn-tcp]:-}"))"
else
  peers_loaded="peers not measured"
fi
log "RTT under load (median per round, range; one iperf3 TCP stream saturating the tunnel):" \
  "flowgate $(median <<<"$fg_loaded") ms ($(range <<<"$fg_loaded")), $peers_loaded" \
  "(goal: flowgate no worse than wg-go)"
log "client CPU $client_cpu s/GB (goal <= 10); start to connected $start_med ms (goal <= 1000)"
