#!/usr/bin/env bash
# Installs the Debian packages built from the tree and uses them as an
# instrument owner would, then removes them:
#  - builds quorvel-cli, quorvel and quorvel-kmb (scripts/package.sh) and runs
#    lintian on them (errors fail), desktop-file-validate and appstreamcli
#    validate on the desktop entries and metainfo they carry;
#  - installs quorvel-cli and quorvel with apt-get; quorvel-cli --version;
#  - a user made here for the check, a member of dialout, programs the
#    installed quorvel-sim through the installed quorvel-cli from a folder
#    outside the tree; the simulator's terminal is given to root:dialout
#    with mode 0660 as a serial port is, so that only the group lets the
#    user in. Without the group the same run ends "Access denied" with the
#    advice to join dialout;
#  - the installed window starts offscreen with a .qvl file, closes on
#    SIGTERM and has the file in its history; xdg-mime names the window's
#    desktop entry for a .qvl file; bash completes the device types;
#  - removes the packages and the user and checks that no installed file is
#    left.
# Needs root (installs into the system); skipped otherwise. Every step is
# bounded in time; the packages and the user are removed whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "install check skipped: it installs packages and needs root"
  exit 0
fi
for package in quorvel-cli quorvel quorvel-kmb; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    echo "install check: $package is installed on this system already; remove it first" >&2
    exit 1
  fi
done

user=quorvel-check
marker="Quorvel install check"
work=$(mktemp -d /tmp/quorvel-install-check.XXXXXX)
chmod 755 "$work"
sim_pid=""
window_pid=""
installed_list="$work/installed.txt"
fail() { echo "install check FAILED: $*" >&2; exit 1; }

cleanup() {
  local status=$?
  set +e
  for pid in "$window_pid" "$sim_pid"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  done
  if dpkg-query -W quorvel-cli >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive timeout 300 apt-get purge -y -qq quorvel quorvel-kmb quorvel-vantor quorvel-cli \
      >/dev/null
  fi
  if getent passwd "$user" >/dev/null; then userdel "$user"; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

# A user left by an interrupted check goes first; any other of that name is
# not this check's to remove.
if getent passwd "$user" >/dev/null; then
  [ "$(getent passwd "$user" | cut -d: -f5)" = "$marker" ] || fail "a user $user exists already"
  userdel "$user"
fi

mapfile -t debs < <(bash scripts/package.sh)
[ ${#debs[@]} -eq 4 ] || fail "expected four packages, got: ${debs[*]}"
deb_of() { printf '%s\n' "${debs[@]}" | grep "/$1_"; }
cli_deb=$(deb_of quorvel-cli)
window_deb=$(deb_of quorvel)
kmb_deb=$(deb_of quorvel-kmb)
vantor_deb=$(deb_of quorvel-vantor)

echo "== lintian"
lintian_out="$work/lintian.txt"
timeout 600 lintian --tag-display-limit 0 "${debs[@]}" > "$lintian_out" 2>&1 || true
cat "$lintian_out"
if grep -q '^E: ' "$lintian_out"; then fail "lintian reports errors"; fi

echo "== install"
DEBIAN_FRONTEND=noninteractive timeout 300 apt-get install -y -qq "$cli_deb" "$window_deb" \
  "$vantor_deb" >/dev/null
dpkg-query -L quorvel-cli quorvel quorvel-vantor > "$installed_list"
[ "$(command -v vantor)" = /usr/bin/vantor ] || fail "vantor is not installed beside quorvel"
quorvel-cli --version
quorvel --version
vantor --version
grep -qx /usr/share/man/man1/vantor.1.gz "$installed_list" || fail "vantor has no manual page"
for id in pl.varneld.Quorvel; do
  desktop-file-validate "/usr/share/applications/$id.desktop"
  appstreamcli validate --no-net --pedantic "/usr/share/metainfo/$id.metainfo.xml"
done
# The other edition's files, validated from its package.
dpkg-deb -x "$kmb_deb" "$work/kmb"
desktop-file-validate "$work/kmb/usr/share/applications/pl.varneld.QuorvelKMB.desktop"
appstreamcli validate --no-net --pedantic "$work/kmb/usr/share/metainfo/pl.varneld.QuorvelKMB.metainfo.xml"

echo "== a run by a member of dialout"
useradd --no-create-home --home-dir "$work/home" --shell /bin/sh --comment "$marker" \
  --groups dialout "$user"
mkdir -p "$work/home/runtime"
chmod 0700 "$work/home/runtime"
chown -R "$user": "$work/home"
as_user() {
  runuser -u "$user" -- env -i HOME="$work/home" USER="$user" PATH=/usr/bin:/bin LANG=C.UTF-8 \
    XDG_RUNTIME_DIR="$work/home/runtime" "$@"
}
cd "$work/home"
as_user cp /usr/share/quorvel/sample_firmware.hex sample.hex
as_user timeout 60 quorvel-cli encode --device GRV-30x sample.hex sample.qvl

# The simulator prints its terminal's path first: the run starts once it is
# there.
mkfifo "$work/sim.out"
timeout 600 quorvel-sim --device GRV-30x --mode app --link "$work/home/port" \
  --save "$work/received.hex" > "$work/sim.out" &
sim_pid=$!
exec 3< "$work/sim.out"
read -r -t 60 terminal <&3 || fail "quorvel-sim did not start"
chown root:dialout "$terminal"
chmod 0660 "$terminal"

# Outside the group: refused, with the advice.
refused="$work/refused.txt"
status=0
setpriv --reuid="$user" --regid="$user" --clear-groups \
  env -i HOME="$work/home" PATH=/usr/bin:/bin LANG=C.UTF-8 \
  timeout 120 quorvel-cli program --device GRV-30x --port "$work/home/port" sample.qvl > "$refused" 2>&1 ||
  status=$?
cat "$refused"
[ "$status" -eq 1 ] || fail "a user outside dialout: exit code $status, not 1"
grep -q "sudo usermod -aG dialout" "$refused" || fail "no advice to join dialout"

# In the group: programmed.
as_user timeout 120 quorvel-cli program --device GRV-30x --port "$work/home/port" --report report.json \
  sample.qvl
grep -q '"exit_code": *0' report.json || fail "the report does not say success: $(cat report.json)"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
exec 3<&-
objcopy -I ihex -O binary --gap-fill 0xff sample.hex "$work/sent.bin"
objcopy -I ihex -O binary --gap-fill 0xff "$work/received.hex" "$work/received.bin"
cmp -s "$work/sent.bin" "$work/received.bin" || fail "the instrument's memory differs from the image"
echo "The instrument's memory holds the firmware image."

echo "== the window"
# Its stop signals are caught once the window is up: then SIGTERM closes it
# as its close button does, and it keeps the file it was started with.
as_user QT_QPA_PLATFORM=offscreen timeout 120 quorvel "$work/home/sample.qvl" &
window_pid=$!
window_up() {
  local pid
  pid=$(pgrep -u "$user" -x quorvel) || return 1
  local caught
  caught=$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status")
  (( (0x$caught >> 14) & 1 ))  # SIGTERM (15) caught
}
for _ in $(seq 600); do window_up && break; kill -0 "$window_pid" 2>/dev/null || break; sleep 0.1; done
window_up || fail "the window did not come up"
kill -TERM "$(pgrep -u "$user" -x quorvel)"
status=0
wait "$window_pid" || status=$?
window_pid=""
[ "$status" -eq 0 ] || fail "the window ended with $status"
grep -q "$work/home/sample.qvl" "$work/home/.config/VARNELD/Quorvel.conf" ||
  fail "the window did not open the file it was started with"

echo "== file type"
type=$(as_user xdg-mime query filetype "$work/home/sample.qvl")
[ "$type" = application/x-quorvel-firmware ] || fail "a .qvl file is $type"
default=$(as_user xdg-mime query default "$type")
[ "$default" = pl.varneld.Quorvel.desktop ] || fail "a .qvl file opens with '$default'"
echo "$type opens with $default"

echo "== bash completion"
# The device types after --device, as bash-completion loads the installed
# file for the command.
completed=$(as_user bash -c 'source /usr/share/bash-completion/bash_completion
  _completion_loader quorvel-cli
  COMP_LINE="quorvel-cli program --device GRV-3"; COMP_POINT=${#COMP_LINE}
  COMP_WORDS=(quorvel-cli program --device GRV-3); COMP_CWORD=3
  _quorvel_cli quorvel-cli GRV-3 --device
  printf "%s\n" "${COMPREPLY[@]}"')
grep -qx GRV-30x <<< "$completed" || fail "completion after --device GRV-3 gave: $completed"
echo "--device GRV-3 completes to: $(echo $completed)"

echo "== removal"
cd /
DEBIAN_FRONTEND=noninteractive timeout 300 apt-get purge -y -qq quorvel quorvel-vantor quorvel-cli >/dev/null
left=()
while read -r path; do
  [ -e "$path" ] || continue
  # Folders others share stay; an empty one of the packages' own does not.
  if [ -d "$path" ] && [ -n "$(ls -A "$path")" ]; then continue; fi
  case "$path" in /usr/share/quorvel | /usr/share/doc/quorvel*) left+=("$path") ;; esac
  [ -d "$path" ] || left+=("$path")
done < "$installed_list"
[ ${#left[@]} -eq 0 ] || fail "left after removal: ${left[*]}"
grep -q '\*\.qvl' /usr/share/mime/globs2 && fail "the .qvl file type is still known"
echo "install check passed"
