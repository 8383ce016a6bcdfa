#!/usr/bin/env bash
# Runs every libFuzzer target for a long time, outside CI (which gives each
# 20 s): an hour each by default, one after the other, or SECONDS each.
#   bash scripts/fuzz-long.sh [SECONDS]
# Each target grows its own corpus in fuzz-corpus-<target>/ (ignored by git;
# copy new findings of interest into tests/fuzz/seeds/<target>/) and starts
# from it and the seeds. At the end every target's last line tells its runs
# per second and its coverage (cov: edges, ft: features). A crash stops the
# script with the target's output and the crashing input in the current
# folder.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
bash scripts/install-deps.sh
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_FUZZ=ON
cmake --build build/fuzz -j "$(nproc)"
summary=()
for binary in build/fuzz/tests/fuzz/fuzz_*; do
  [ -x "$binary" ] || continue
  target=$(basename "$binary")
  corpus="fuzz-corpus-$target"
  mkdir -p "$corpus"
  log=$(mktemp)
  echo "== $target, ${seconds} s"
  if ! "$binary" -max_total_time="$seconds" -rss_limit_mb=1024 -timeout=10 -print_final_stats=1 \
      "$corpus" "tests/fuzz/seeds/$target" > "$log" 2>&1; then
    cat "$log"
    exit 1
  fi
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  summary+=("$target: $last")
  rm -f "$log"
done
printf '%s\n' "${summary[@]}"
