#!/usr/bin/env bash
# Sets up, builds and runs the main job: encodes the bundled sample firmware
# (Intel HEX) for a device type and shows the encoded file's header.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF
cmake --build build/release -j "$(nproc)"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cli=build/release/src/cli/quorvel-cli
"$cli" encode --device "M-530" samples/sample_firmware.hex "$out/sample_firmware"
"$cli" info "$out/sample_firmware.qvl"
