#!/usr/bin/env bash
# Starts quorvel as a desktop session would for assistive technology: a
# virtual X server, a session bus with the accessibility bus beside it, the
# toolkit's AT-SPI bridge switched on; then drives it from Python through
# AT-SPI (atspi_program.py) against quorvel-sim on a pseudo-terminal.
#   atspi_program_test.sh QUORVEL QUORVEL_SIM SAMPLE_HEX SCRIPT
# Runs itself again inside dbus-run-session when no session bus is there.
set -euo pipefail
quorvel=$1 sim=$2 sample=$3 script=$4

if [ -z "${QUORVEL_ATSPI_SESSION:-}" ]; then
  export QUORVEL_ATSPI_SESSION=1
  exec dbus-run-session -- "$0" "$@"
fi

work=$(mktemp -d /tmp/quorvel-atspi.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A virtual X server on the first free display; it tells its number itself.
# No reset when its last client leaves: the accessibility launcher connects
# and leaves while quorvel starts, and a start that meets the reset fails
# with "could not connect to display" (2 starts in 25 under load; none in 40
# with no reset).
Xvfb -noreset -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

# The accessibility bus, found by the toolkit and by pyatspi through
# org.a11y.Bus on the session bus; the registry daemon starts on it.
/usr/libexec/at-spi-bus-launcher --launch-immediately &
pids+=($!)

# The instrument, and the program with its own settings holding the file.
"$sim" --device KV-310 --baud 9600 --link "$work/kv310" --save "$work/kv310.hex" >"$work/sim.log" &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$work/sim.log" ] && break
  sleep 0.1
done
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/VARNELD"
printf '[General]\nHistory=%s\nLastFileIndex=-1\n' "$sample" >"$XDG_CONFIG_HOME/VARNELD/Quorvel.conf"
export QUORVEL_EXTRA_PORTS="$work/kv310"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 QT_QPA_PLATFORM=xcb LC_ALL=C LANG=C
"$quorvel" >"$work/quorvel.log" 2>&1 &
quorvel_pid=$!
pids+=($quorvel_pid)

status=0
/usr/bin/python3 "$script" "$work/kv310" "$sample" || status=$?
if [ $status -ne 0 ]; then
  echo "--- quorvel output" >&2
  cat "$work/quorvel.log" >&2
  echo "--- Xvfb output" >&2
  cat "$work/xvfb.log" >&2
fi
exit $status
