#!/usr/bin/env bash
# Installs the Debian packages Quorvel needs to build and test; skipped when
# every package is already present. Run as root on Debian 12.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-svg-dev fonts-dejavu-core libudev-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  binutils dbus dbus-bin
  umockdev libumockdev-dev
  xvfb xauth at-spi2-core python3-pyatspi python3-gi
  librsvg2-bin dpkg-dev file
  lintian desktop-file-utils appstream xdg-utils libfile-mimeinfo-perl bash-completion
  shared-mime-info
  libtelnet-dev ser2net
)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
