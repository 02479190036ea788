#!/usr/bin/env bash
# Fails listing every include that points the wrong way:
#   product code (flowgate, veskar, platform, runtime) never includes testbed/ or tests/;
#   runtime/ includes nothing of ours but runtime/;
#   platform/ includes only runtime/ and platform/;
#   flowgate/errors and flowgate/config include no other flowgate subsystem.
set -euo pipefail
root=${1:-$(dirname "$0")/../..}
cd "$root"

status=0
# check FOLDER ALLOWED-PREFIX-REGEX: every quoted include in FOLDER must match.
check() {
  local folder=$1 allowed=$2
  [ -d "$folder" ] || return 0
  local bad
  bad=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder" \
        --include='*.hpp' --include='*.cpp' --include='*.h' |
        grep -vE "#[[:space:]]*include[[:space:]]*\"(${allowed})" || true)
  if [ -n "$bad" ]; then
    echo "$folder may include only ${allowed}:"
    echo "$bad"
    status=1
  fi
}

check runtime 'runtime/'
check platform 'runtime/|platform/'
check flowgate/errors 'runtime/|flowgate/errors/'
check flowgate/config 'runtime/|flowgate/errors/|flowgate/config/'
check flowgate 'runtime/|platform/|flowgate/'
check veskar 'runtime/|platform/|flowgate/|veskar/'
exit $status
