#!/usr/bin/env bash
# The whole product in the lab, as root: installs what is needed, builds,
# brings up the lab, starts the tunnel daemon in the client's namespace, signs
# in with the lab's account through veskarctl, connects, shows the status, the
# paths with their first-hop delays, where traffic leaves (through the tunnel
# and, for the direct network, around it), then disconnects, signs out, stops
# the daemon and takes the lab down.
#
#   ./scripts/demo.sh [--keep]     --keep leaves the lab up at the end
#
# Everything happens inside the lab's namespaces; the machine's own network is
# not touched. The sign-in lives in a temporary home, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

keep=0
for argument in "$@"; do
  case "$argument" in
    --keep) keep=1 ;;
    -h | --help)
      sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "demo: unknown option $argument (only --keep)" >&2
      exit 2
      ;;
  esac
done
[[ $(id -u) -eq 0 ]] || {
  echo "demo: run as root (namespaces, TUN devices)" >&2
  exit 1
}

build=$repo/build-demo
client=vkl-client
lab_ca=/run/veskar-lab/pki/control-ca.pem
lab_lock=/run/lock/veskar-lab.lock

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "Installing packages"
./scripts/install-deps.sh

step "Building (Release)"
# The build uses the compiler cache by itself where ccache is installed.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESKAR_BENCH=OFF >/dev/null
cmake --build "$build" --target flowgate veskarctl testbed-control testbed-relay testbed-pki \
  testbed-geoip testbed-echo
flowgate=$build/flowgate/cli/flowgate
veskarctl=$build/veskar/cli/veskarctl

# One lab per host: wait for anyone else using it (the namespace tests do the same).
exec {lock}>"$lab_lock"
flock "$lock"

work=$(mktemp -d /tmp/veskar-demo-XXXXXX)
chmod 755 "$work"
socket=$work/flowgate.sock
daemon_pid=
lab_up=0

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [[ -n "$daemon_pid" ]] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
  fi
  if ((lab_up)); then
    if ((keep)); then
      echo "demo: the lab stays up (testbed/lab down removes it)"
    else
      testbed/lab down >/dev/null 2>&1 || true
    fi
  fi
  rm -rf "$work"
  if ((status != 0)); then echo "demo: failed (status $status)" >&2; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# veskarctl as the signed-in user of the client's machine: its own home, the
# lab's control server trusted.
ctl() {
  printf '$ veskarctl %s\n' "$*"
  ip netns exec "$client" env HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" \
    XDG_DATA_HOME="$work/home/data" XDG_RUNTIME_DIR="$work/home" SSL_CERT_FILE="$lab_ca" \
    VESKAR_SOCKET="$socket" "$veskarctl" "$@"
}
in_client() {
  printf '$ %s\n' "$*"
  ip netns exec "$client" "$@"
}

step "Bringing up the lab"
lab_up=1
testbed/lab up --build "$build"

step "Starting the daemon in the client's namespace"
mkdir -p "$work/home"
# The daemon talks to the lab's control server too: it trusts the lab's CA.
ip netns exec "$client" env SSL_CERT_FILE="$lab_ca" "$flowgate" daemon --socket "$socket" --data-dir "$work/daemon" \
  --group root --control-origin https://control.lab.example >"$work/daemon.log" 2>&1 &
daemon_pid=$!
for _ in $(seq 100); do
  [[ -S "$socket" ]] && break
  kill -0 "$daemon_pid" 2>/dev/null || {
    cat "$work/daemon.log" >&2
    exit 1
  }
  sleep 0.1
done
[[ -S "$socket" ]] || {
  echo "demo: the daemon did not open $socket" >&2
  exit 1
}
echo "flowgate daemon (pid $daemon_pid) on $socket"

step "Signing in as +1 5550100"
echo lab-password | ctl login +1 5550100 --password-stdin

# Before connecting: in the lab only the physical resolver knows the control
# server's name, and while connected names are asked through the tunnel.
ctl traffic

step "Connecting"
ctl connect
ctl status

step "Through the tunnel: the echo servers see the exits' addresses"
in_client curl -sS --max-time 5 http://203.0.113.80/
in_client curl -sS --max-time 5 http://203.0.113.180/
step "The paths those flows took, with the delay to each first hop"
ctl nodes
step "The direct network bypasses the tunnel: the echo server sees the client itself"
in_client curl -sS --max-time 5 http://192.0.2.10/

step "Disconnecting and signing out"
ctl disconnect
ctl logout
ctl status

step "Stopping the daemon"
kill -TERM "$daemon_pid"
wait "$daemon_pid" || true
daemon_pid=

step "Done"
