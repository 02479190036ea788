#!/usr/bin/env bash
# abuse.sh -- what one user of the machine can make `flowgate daemon` hold:
# its open descriptors and resident memory under each abuse, in the lab's
# client namespace.
#   - a member saving many large configurations (and one too large);
#   - 1,100 idle connections of a member (root asking meanwhile);
#   - 400 half-sent 1 MiB frames, from a member and from root;
#   - a second control origin's trust bundle of version 9e18, then the first
#     origin's start;
#   - through a running tunnel, from an unprivileged user: 3,000 DNS questions
#     and 200,000 flows.
#
# Usage: sudo bench/daemon/abuse.sh [--build DIR]       (default DIR: build-rel)
#   env: OUT=/tmp/daemon-abuse.txt CONFINED=1 (the daemon confined as its unit)
# Build first: cmake --build DIR --target bench_daemon
# It takes the lab's lock, brings the lab up and down, and stops what it started.
set -uo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/../lab_common.sh"
lab_bench_start abuse.sh "$@"
OUT=${OUT:-/tmp/daemon-abuse.txt}

flowgate=$build/flowgate/cli/flowgate
mint=$build/tests/support/tunnel/mint/mint-start-options
driver=$build/bench/daemon/daemon-cycles
helper=$repo/tests/support/tunnel_host/socket_member.py
lab_bench_require abuse.sh bench_daemon "$flowgate" "$mint" "$driver"

lab_bench_lock abuse.sh
tmp=$(mktemp -d /tmp/daemon-abuse.XXXXXX)
chmod 755 "$tmp"
daemon_pid=
holders=()
cleanup() {
  for p in "${holders[@]}"; do kill "$p" 2>/dev/null; done
  [[ -n $daemon_pid ]] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  "$repo/testbed/lab" down >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
client() { ip netns exec vkl-client "$@"; }
sock=$tmp/flowgate.sock
root_helper=(/usr/bin/python3 "$helper" "$sock")
# A member of the daemon's group: nobody, with the group the daemon serves.
member_helper=(setpriv --reuid=65534 --regid=0 --clear-groups "${root_helper[@]}")
as_root() { "${root_helper[@]}" "$@"; }
as_member() { "${member_helper[@]}" "$@"; }
# Nobody at all, inside the client namespace.
as_nobody() { client setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

figures() {
  local fds rss
  fds=$(ls "/proc/$daemon_pid/fd" | wc -l)
  rss=$(awk '/^VmRSS:/ {printf "%.1f", $2 / 1024}' "/proc/$daemon_pid/status")
  printf '%-52s fds %5d  rss %7s MiB\n' "$1" "$fds" "$rss" | tee -a "$OUT"
}
# hold LABEL COMMAND...: runs a holding helper (a command, not a function:
# $! must be the helper itself) in the background and prints its summary
# line once it holds.
hold() {
  local label=$1 log=$tmp/hold.$RANDOM
  shift
  "$@" >"$log" 2>&1 &
  holders+=($!)
  for _ in $(seq 1 600); do [[ -s $log ]] && break; sleep 0.1; done
  echo "$label: $(head -1 "$log")" | tee -a "$OUT"
}
release() {
  for p in "${holders[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  holders=()
  sleep 1
}
connected() {
  for _ in $(seq 1 300); do
    [[ $(as_root call connection "$1") == "connection ok connected" ]] && return 0
    sleep 0.1
  done
  return 1
}

"$repo/testbed/lab" up --build "$build" >/dev/null || { echo "abuse.sh: lab up failed" >&2; exit 1; }
client "$mint" --base-url https://control.lab.example --ca /run/veskar-lab/pki/control-ca.pem \
  --out "$tmp/options" >/dev/null || { echo "abuse.sh: minting failed" >&2; exit 1; }
chmod 755 "$tmp/options" && chmod 644 "$tmp/options"/*.json
mkdir -p "$tmp/second"
cp "$tmp/options/tokens.json" "$tmp/second/"
/usr/bin/python3 -c 'import json,sys; b=json.load(open(sys.argv[1])); b["controlURL"]="https://198.51.100.20"; json.dump(b,open(sys.argv[2],"w"))' \
  "$tmp/options/bootstrap.json" "$tmp/second/bootstrap.json"

# With CONFINED=1 the daemon runs as the service unit confines it, as far as
# a machine without systemd as PID 1 can: only the unit's capabilities, no new
# privileges, and every mount read-only but the paths the unit leaves writable
# (its data and socket folder here, /var/lib/veskar, the resolver file,
# src_valid_mark). The unit's system call filter has no stand-in here.
confine=()
if [[ ${CONFINED:-0} == 1 ]]; then
  confine=(unshare --mount --propagation private sh -c '
    mark=/proc/sys/net/ipv4/conf/all/src_valid_mark
    mkdir -p /var/lib/veskar
    for path in "$0" /var/lib/veskar /etc/resolv.conf; do mount --bind "$path" "$path"; done
    findmnt -rn -o TARGET | while read -r target; do
      case $target in "$0" | /var/lib/veskar | /etc/resolv.conf | /dev*) continue ;; esac
      mount -o remount,bind,ro "$target" 2>/dev/null
    done
    mount --bind /proc/sys /proc/sys && mount -o remount,bind,ro /proc/sys
    mount --bind "$mark" "$mark" && mount -o remount,bind,rw "$mark"
    shift; exec setpriv --bounding-set=-all,+net_admin,+chown --inh-caps=-all --no-new-privs "$@"
  ' "$tmp" --)
fi
ip netns exec vkl-client "${confine[@]}" env SSL_CERT_FILE=/run/veskar-lab/pki/control-ca.pem "$flowgate" daemon \
  --socket "$sock" --data-dir "$tmp/data" --group root --tun vkabuse0 \
  --control-origin https://control.lab.example --control-origin https://198.51.100.20 \
  >"$tmp/daemon.log" 2>&1 &
daemon_pid=$!
for _ in $(seq 1 100); do [[ -S $sock ]] && break; sleep 0.05; done
: >"$OUT"
[[ ${CONFINED:-0} == 1 ]] && grep -E '^(CapBnd|CapEff|NoNewPrivs)' "/proc/$daemon_pid/status" | tee -a "$OUT"
figures "idle daemon"

# A second control origin's bundle of version 9e18, then the first origin's start.
admin() { ip netns exec vkl-control curl -sS -X POST -d "$2" "http://127.0.0.1:8080$1" >/dev/null; }
admin /admin/trust-bundle '{"version":9000000000000000000}'
"$driver" --socket "$sock" --pid "$daemon_pid" --options "$tmp/second" --cycles 1 >/dev/null \
  && echo "second origin (bundle 9e18): connected" | tee -a "$OUT"
admin /admin/trust-bundle '{"version":1}'
if "$driver" --socket "$sock" --pid "$daemon_pid" --options "$tmp/options" --cycles 1 >/dev/null; then
  echo "first origin after it: connected" | tee -a "$OUT"
else
  echo "first origin after it: FAILED" | tee -a "$OUT"
fi
figures "after both origins' runs"

# Through a running tunnel, from nobody: DNS questions and flows.
id=$(as_root save 1 10 | awk '{print $4}')
as_root start "$id" "$tmp/options/bootstrap.json" "$tmp/options/tokens.json" >/dev/null
if connected "$id"; then
  figures "tunnel connected"
  as_nobody /usr/bin/python3 -c '
import random, socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(3000):
    name = b"".join(bytes([len(p)]) + p for p in (b"q%d" % i, b"lab", b"example")) + b"\0"
    s.sendto(struct.pack(">HHHHHH", random.randrange(65536), 0x0100, 1, 0, 0, 0) + name +
             struct.pack(">HH", 1, 1), ("198.19.0.53", 53))'
  sleep 1
  figures "3,000 DNS questions (nobody)"
  as_nobody /usr/bin/python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
n = 0
for host in range(1, 255):
    for port in range(1024, 1024 + 788):
        s.sendto(b"x", ("203.0.113.%d" % host, port))
        n += 1
        if n == 200000: raise SystemExit'
  sleep 1
  figures "200,000 flows (nobody)"
else
  echo "tunnel did not connect: DNS and flow figures missing" | tee -a "$OUT"
fi
as_root call stop "$id" >/dev/null
sleep 1
figures "tunnel stopped"

# 1,100 idle connections of a member, root asking meanwhile.
hold member "${member_helper[@]}" hold 1100
echo "root meanwhile: $(as_root save 1 10 | cut -d' ' -f3)" | tee -a "$OUT"
figures "1,100 idle connections (member)"
release

# 400 half-sent 1 MiB frames: a member's, then root's.
hold member "${member_helper[@]}" half 400 1048576
figures "400 half-sent 1 MiB frames (member)"
release
hold root "${root_helper[@]}" half 400 1048576
figures "400 half-sent 1 MiB frames (root)"
release
figures "after the floods"

# A member saving a configuration too large, then many large ones.
as_member save 1 70000 | cut -d' ' -f3- | sed 's/^/a save of 70 KB: /' | tee -a "$OUT"
as_member save 40 60000 | awk '{print $3, $4, $5, $6, $7, $8}' | sed 's/ok .*/ok/' | sort | uniq -c \
  | sed 's/^/saves of 60 KB: /' | tee -a "$OUT"
figures "after the saves"
