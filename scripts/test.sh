#!/usr/bin/env bash
# Sets up, builds and runs every test:
#  1. the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
#  2. the serial link, run session and built-in USB provider tests under
#     ThreadSanitizer,
#  3. each libFuzzer target (clang) for a short bounded time,
#  4. the Debian packages: built, checked by lintian, installed, used by a
#     member of dialout, removed (scripts/install-check.sh; root only).
# Tests that need a session bus run inside dbus-run-session; the dialogs'
# widget tests run on Qt's offscreen platform (no display needed).
# First of all, every include must point down the layers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/check-layers.sh
bash scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON -DQUORVEL_WERROR=ON
cmake --build build/asan -j "$jobs"
# The leak suppressions lie where every user can read them: some tests run a
# helper process as another user, which must read them too.
lsan_supp=$(mktemp /tmp/quorvel-lsan.XXXXXX)
trap 'rm -f "$lsan_supp"' EXIT
cp tests/lsan.supp "$lsan_supp"
chmod 644 "$lsan_supp"
LSAN_OPTIONS="suppressions=$lsan_supp" \
  dbus-run-session -- ctest --test-dir build/asan --output-on-failure --no-tests=error -j "$jobs"

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_TSAN=ON -DQUORVEL_WERROR=ON
cmake --build build/tsan -j "$jobs" --target serial_tests session_tests usb_builtin_tests usb_component_tests net_tests
dbus-run-session -- ctest --test-dir build/tsan -R "^(Serial|RunSession|UsbBuiltIn|UsbLink|Net\.NetTransportTest)" --output-on-failure --no-tests=error

CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_FUZZ=ON -DQUORVEL_WERROR=ON
cmake --build build/fuzz -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure --no-tests=error -j "$jobs"

# The Debian packages built from the tree, installed and used as an
# instrument owner uses them, then removed (as root only: it installs into
# the system).
bash scripts/install-check.sh
