#!/usr/bin/env bash
# Sets up, builds and runs the main job: starts the simulated instrument
# (a GRV-30x running its user application, on a pseudo-terminal) and
# programs it with the bundled sample firmware through quorvel-cli, showing
# the run log. The image the instrument received is then compared with the
# firmware file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF
cmake --build build/release -j "$(nproc)"

bin=build/release
work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/tools/sim/quorvel-sim" --device GRV-30x --mode app --link "$work/port" \
  --save "$work/received.hex" > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/port" ] && break; sleep 0.1; done

"$bin/src/cli/quorvel-cli" program --device GRV-30x --port "$work/port" samples/sample_firmware.hex

kill "$sim_pid"; wait "$sim_pid" || true; sim_pid=""
echo
"$bin/src/cli/quorvel-cli" info samples/sample_firmware.hex
objcopy -I ihex -O binary --gap-fill 0xff samples/sample_firmware.hex "$work/sent.bin"
objcopy -I ihex -O binary --gap-fill 0xff "$work/received.hex" "$work/received.bin"
if cmp -s "$work/sent.bin" "$work/received.bin"; then
  echo "The instrument's memory holds exactly the firmware image."
else
  echo "The instrument's memory differs from the firmware image." >&2
  exit 1
fi
