#!/usr/bin/env bash
# Installs the built programs, the daemon's systemd unit, the control group and
# the daemon's folders. Does not enable or start the service.
#
#   scripts/install.sh BUILD_DIR [--prefix /usr/local] [--root /]
#
# --root installs into another tree (for packaging and checks); users, groups
# and systemd are left alone then.
set -euo pipefail

usage() { echo "usage: $0 BUILD_DIR [--prefix DIR] [--root DIR]" >&2; exit 2; }
(($# >= 1)) || usage
build=$1
shift
prefix=/usr/local
root=/
while (($#)); do
  case $1 in
    --prefix) prefix=${2:?}; shift 2 ;;
    --root) root=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
repo=$(cd "$(dirname "$0")/.." && pwd)
dest=${root%/}

[[ -x $build/flowgate/cli/flowgate ]] || { echo "install.sh: no flowgate in $build" >&2; exit 1; }
for name in flowgate veskar veskarctl; do
  program=$(find "$build" -maxdepth 4 -type f -name "$name" -perm -u+x -not -path '*/CMakeFiles/*' |
    head -n 1)
  [[ -n $program ]] && install -D -m 0755 "$program" "$dest$prefix/bin/$name"
done

# The app's desktop entry and icons (the tray's two looks among them).
ui=$repo/veskar/ui
install -D -m 0644 "$ui/veskar.desktop" "$dest$prefix/share/applications/veskar.desktop"
install -D -m 0644 "$ui/icons/veskar.svg" "$dest$prefix/share/icons/hicolor/scalable/apps/veskar.svg"
for look in connected disconnected; do
  install -D -m 0644 "$ui/icons/tray-$look.svg" \
    "$dest$prefix/share/icons/hicolor/scalable/status/veskar-$look.svg"
done

unit=$repo/packaging/systemd/flowgate.service
sed "s#/usr/local/bin/flowgate#$prefix/bin/flowgate#" "$unit" |
  install -D -m 0644 /dev/stdin "$dest/etc/systemd/system/flowgate.service"

install -d -m 0700 "$dest/var/lib/veskar"
install -d -m 0755 "$dest/run/veskar"
chmod 0700 "$dest/var/lib/veskar"
chmod 0755 "$dest/run/veskar"

if [[ $dest == "" ]]; then
  getent group veskar >/dev/null || groupadd --system veskar
  if command -v systemctl >/dev/null && [[ -d /run/systemd/system ]]; then
    systemctl daemon-reload
  fi
  echo "installed; add users to the group veskar, then: systemctl enable --now flowgate"
fi
