#!/usr/bin/env bash
# Builds the Debian packages from the tree: a Release build in build/release
# with Debian's build flags (hardened, no debug information: the programs
# are stripped), then CPack's quorvel-cli, quorvel and quorvel-kmb packages
# beside it. Prints their paths. Run as root on Debian 12 (installs what the
# build needs).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >&2

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1" | sed -E 's/(^| )-g( |$)/ /'; }
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >&2
rm -f build/release/*.deb
cmake --build build/release -j "$(nproc)" --target package >&2
ls -1 "$PWD"/build/release/*.deb
