#!/usr/bin/env bash
# Installs every Debian 12 package the project builds, tests and benchmarks with.
# Idempotent: packages already present are left as they are.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ccache
  clang clang-format libclang-rt-14-dev
  # The Debian package (scripts/package.sh).
  debhelper lintian
  libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
  libssl-dev openssl
  libmnl-dev libsystemd-dev libnftables-dev dbus-daemon
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 iputils-ping
  dnsmasq-base nftables dnsutils curl procps
  # The desktop application: Qt 6 Quick with its QML modules, the tray (Widgets),
  # the translation tools, SVG icons, and Xvfb with CJK and emoji (flag) fonts for
  # screenshots.
  qt6-base-dev qt6-declarative-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-window qml6-module-qtquick-templates qml6-module-qtqml
  qml6-module-qtqml-workerscript qml6-module-qtqml-models
  qt6-qpa-plugins libqt6svg6 xvfb xauth fonts-wqy-microhei fonts-noto-color-emoji
  # Country names in the reader's language.
  libicu-dev
  # The user's secrets in the desktop keyring, tested against a real one on a
  # private session bus.
  libsecret-1-dev gnome-keyring dbus-bin
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
