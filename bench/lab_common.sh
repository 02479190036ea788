# shellcheck shell=bash disable=SC2034  # $repo and $build are for the caller
# Sourced by the benchmarks that run in the lab: what each of them does first.
# Every function takes the calling script's name for its messages.

# lab_bench_start NAME "$@": checks for root and reads the command line
# ([--build DIR]); sets $repo (this checkout) and $build (default build-rel).
lab_bench_start() {
  local name=$1
  shift
  [[ $EUID -eq 0 ]] || { echo "$name: must run as root" >&2; exit 1; }
  repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  build=$repo/build-rel
  while (($#)); do
    case $1 in
      --build) build=$(cd "$2" && pwd); shift 2 ;;
      *) echo "usage: $name [--build DIR]" >&2; exit 2 ;;
    esac
  done
}

# lab_bench_require NAME TARGET PROGRAM...: ends the run unless every PROGRAM
# (built by TARGET) is there.
lab_bench_require() {
  local name=$1 target=$2 f
  shift 2
  for f in "$@"; do
    [[ -x $f ]] || { echo "$name: $f missing (build the $target target)" >&2; exit 1; }
  done
}

# lab_bench_lock NAME: takes the lab's lock, shared by every checkout on this
# host, waiting for our turn; held until the script ends.
lab_bench_lock() {
  exec {lab_lock}>/run/lock/veskar-lab.lock
  if ! flock -n "$lab_lock"; then
    echo "$1: waiting for the lab's lock (another run holds it)" >&2
    flock "$lab_lock"
  fi
}
