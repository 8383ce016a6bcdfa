#!/usr/bin/env bash
# Renders every dialog, the main and progress windows and the port-buffer
# monitor (both languages, both editions where the edition shows; the window
# idle and during a run against quorvel-sim, the monitor with the rows of a
# run of quorvel-cli against quorvel-sim) into docs/screenshots/*.png on a
# virtual X server, at scale 1 and at QT_SCALE_FACTOR=1.5 (files ending in
# "@1.5x"). Installs Xvfb and the fonts when they are missing. Run as root
# on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

extra=()
for package in xvfb xauth fonts-dejavu-core; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    extra+=("$package")
  fi
done
if [ ${#extra[@]} -gt 0 ]; then
  echo "Installing: ${extra[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${extra[@]}"
fi

cmake -S . -B build/screenshots -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/screenshots -j "$(nproc)" --target dialog_screenshots window_screenshots \
  vantor_screenshots
tool=build/screenshots/tests/dialogs/dialog_screenshots
window_tool=build/screenshots/tests/window/window_screenshots
vantor_tool=build/screenshots/tests/vantor/vantor_screenshots

# A virtual X server on the first free display; it tells its number itself.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$displayfile" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; rm -f "$displayfile"' EXIT
for _ in $(seq 50); do
  [ -s "$displayfile" ] && break
  sleep 0.1
done
if [ ! -s "$displayfile" ]; then
  echo "Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$displayfile")"
export QT_QPA_PLATFORM=xcb

out=docs/screenshots
mkdir -p "$out"
QT_SCALE_FACTOR=1 "$tool" "$out"
QT_SCALE_FACTOR=1.5 "$tool" "$out" "@1.5x"
# The window's run announces nothing on the session bus of the desktop.
QT_SCALE_FACTOR=1 dbus-run-session -- "$window_tool" "$out"
QT_SCALE_FACTOR=1.5 dbus-run-session -- "$window_tool" "$out" "@1.5x"
QT_SCALE_FACTOR=1 "$vantor_tool" "$out"
QT_SCALE_FACTOR=1.5 "$vantor_tool" "$out" "@1.5x"
echo "Screenshots in $out"
