#!/usr/bin/env bash
# cycles.sh -- start and stop the tunnel CYCLES times through `flowgate daemon`
# in the lab's client namespace, and print the daemon's open descriptors,
# threads and resident memory after each stop, then whether the client
# namespace holds anything of ours.
#
# Usage: sudo bench/daemon/cycles.sh [--build DIR]      (default DIR: build-rel)
#   env: CYCLES=100 OUT=/tmp/daemon-cycles.txt
# Build first: cmake --build DIR --target bench_daemon
# It takes the lab's lock, brings the lab up and down, and stops what it started.
set -uo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/../lab_common.sh"
lab_bench_start cycles.sh "$@"
CYCLES=${CYCLES:-100}
OUT=${OUT:-/tmp/daemon-cycles.txt}

flowgate=$build/flowgate/cli/flowgate
mint=$build/tests/support/tunnel/mint/mint-start-options
driver=$build/bench/daemon/daemon-cycles
lab_bench_require cycles.sh bench_daemon "$flowgate" "$mint" "$driver"

lab_bench_lock cycles.sh
tmp=$(mktemp -d /tmp/daemon-cycles.XXXXXX)
daemon_pid=
cleanup() {
  [[ -n $daemon_pid ]] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  "$repo/testbed/lab" down >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
client() { ip netns exec vkl-client "$@"; }

"$repo/testbed/lab" up --build "$build" >/dev/null || { echo "cycles.sh: lab up failed" >&2; exit 1; }
client "$mint" --base-url https://control.lab.example --ca /run/veskar-lab/pki/control-ca.pem \
  --out "$tmp/options" >/dev/null || { echo "cycles.sh: minting failed" >&2; exit 1; }

# Not through client(): $! must be the daemon itself (ip netns exec and env
# exec it), not a subshell.
ip netns exec vkl-client env SSL_CERT_FILE=/run/veskar-lab/pki/control-ca.pem "$flowgate" daemon \
  --socket "$tmp/flowgate.sock" --data-dir "$tmp/data" --group root --tun vkcycle0 \
  --control-origin https://control.lab.example &
daemon_pid=$!
for _ in $(seq 1 100); do [[ -S $tmp/flowgate.sock ]] && break; sleep 0.05; done

"$driver" --socket "$tmp/flowgate.sock" --pid "$daemon_pid" --options "$tmp/options" \
  --cycles "$CYCLES" | tee "$OUT"
status=${PIPESTATUS[0]}

left=$(client sh -c "ip rule show | grep -E 'lookup 30309|0x7665'; ip -6 rule show | grep 30309; \
  ip route show table all proto 118; ip -6 route show table all proto 118; \
  ip -o link show | grep vkcycle0" 2>/dev/null)
if [[ -z $left ]]; then
  echo "left behind: nothing" | tee -a "$OUT"
else
  printf 'left behind:\n%s\n' "$left" | tee -a "$OUT"
  status=1
fi
exit "$status"
