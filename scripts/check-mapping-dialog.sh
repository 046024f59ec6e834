#!/usr/bin/env bash
# Runs `zentrix --simulate map` on a virtual X server and drives the mapping dialog with the
# keyboard as a user would: a pellet dispenser on TTL Port 1, then OK. Fails unless the host
# saved exactly that device. Leaves a screenshot of the dialog with the choice made.
#   scripts/check-mapping-dialog.sh [BUILD_DIR] [SCREENSHOT]
# With --docs PNG instead, it only photographs the dialog over the example setup and cancels.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=check
if [ "${1:-}" = "--docs" ]; then
  mode=docs
  shot="${2:?--docs needs the PNG to write}"
  build="${3:-build/release}"
else
  build="${1:-build/release}"
  shot="${2:-$build/mapping-dialog-check.png}"
fi
cli="$build/cli/zentrix"
for tool in Xvfb xdotool xwd xwdtopnm pnmtopng; do
  command -v "$tool" >/dev/null || { echo "mapping dialog: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "mapping dialog: no host at $cli; build first" >&2; exit 1; }
[ -f "$build/host/libzentrix_mapping_qt.so" ] || { echo "mapping dialog: the Qt dialog library was not built (Qt 6 Widgets missing?)" >&2; exit 1; }

work="$(mktemp -d)"
xvfb_pid=""
cli_pid=""
cleanup() {
  [ -n "$cli_pid" ] && kill "$cli_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "mapping dialog: FAILED: $*" >&2
  for file in out err xvfb; do
    if [ -s "$work/$file" ]; then
      echo "--- $file" >&2
      cat "$work/$file" >&2
    fi
  done
  exit 1
}

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths="$1"
  shift
  for _ in $(seq "$tenths"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

number=90
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
  number=$((number + 1))
done
Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb" 2>&1 &
xvfb_pid=$!
wait_for 100 test -S "/tmp/.X11-unix/X$number" || fail "Xvfb :$number did not start"
export DISPLAY=":$number"
# The socket appears before the server takes clients: wait until one gets an answer.
wait_for 100 xdotool getdisplaygeometry >/dev/null 2>&1 || fail "Xvfb :$number takes no client"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

mkdir -p "$work/config"
if [ "$mode" = docs ]; then
  cp examples/HardwareSetup.xml "$work/config/"
fi
"$cli" --simulate --config-dir "$work/config" map >"$work/out" 2>"$work/err" &
cli_pid=$!

window=""
find_window() {
  window="$(xdotool search --name '^Port Device Mapping$' 2>/dev/null | head -n 1)"
  [ -n "$window" ]
}
wait_for 200 find_window || fail "the dialog did not appear within 20 s"
timeout 5 xdotool windowfocus --sync "$window" 2>/dev/null || true
sleep 0.5

photograph() {
  mkdir -p "$(dirname "$1")"
  xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$1" || fail "no screenshot"
}

finished() { ! kill -0 "$cli_pid" 2>/dev/null; }

if [ "$mode" = docs ]; then
  photograph "$shot"
  xdotool key --clearmodifiers Escape
  wait_for 100 finished || fail "the dialog did not close on Escape"
  echo "wrote $shot"
  exit 0
fi

# The table has the keyboard: Tab to "Device type" of TTL Port 1, open its list, type the start
# of the type's name, take it with Enter; then Enter outside an editor presses OK.
choose_dispenser_and_accept() {
  xdotool key --clearmodifiers --delay 150 Tab F2 P e l l e t Return
  sleep 0.5
  [ -z "${1:-}" ] || photograph "$1"
  xdotool key --clearmodifiers Return
  wait_for 150 finished || fail "the dialog did not close on OK within 15 s"
  status=0
  wait "$cli_pid" || status=$?
  cli_pid=""
}

choose_dispenser_and_accept "$shot"
[ "$status" -eq 0 ] || fail "zentrix map exited with $status"
grep -q "mapping accepted" "$work/out" || fail "zentrix map did not report an accepted mapping"
setup="$work/config/HardwareSetup.xml"
[ -f "$setup" ] || fail "no HardwareSetup.xml was saved"
# Exactly one device: the pellet dispenser (type 2) on TTL Port 1 under its default name.
[ "$(grep -c '<m_iDeviceTypeId>' "$setup")" -eq 1 ] || { cat "$setup" >&2; fail "not exactly one device saved"; }
grep -q '<m_iPortId>1</m_iPortId>' "$setup" || { cat "$setup" >&2; fail "the device is not on TTL Port 1"; }
grep -q '<m_iDeviceTypeId>2</m_iDeviceTypeId>' "$setup" || { cat "$setup" >&2; fail "the device is no pellet dispenser"; }
grep -q '<m_strDeviceName>Pellet Dispenser (KX-502) 1</m_strDeviceName>' "$setup" ||
  { cat "$setup" >&2; fail "the device does not have its default name"; }

# A save that fails must not pass for one: the file is a link into a directory that does not
# exist, so Save cannot write it (also as root), and the host must say so and exit 1.
mkdir -p "$work/unsaved"
ln -s "$work/no-such-directory/HardwareSetup.xml" "$work/unsaved/HardwareSetup.xml"
"$cli" --simulate --config-dir "$work/unsaved" map >"$work/out" 2>"$work/err" &
cli_pid=$!
wait_for 200 find_window || fail "the dialog did not appear within 20 s (second run)"
timeout 5 xdotool windowfocus --sync "$window" 2>/dev/null || true
sleep 0.5
choose_dispenser_and_accept
[ "$status" -eq 1 ] || fail "zentrix map exited with $status after a failed save"
grep -q "NOT saved" "$work/err" || fail "zentrix map did not report the failed save"
! grep -q "saved to" "$work/out" || fail "zentrix map claimed a save that failed"
echo "mapping dialog: OK (saved a pellet dispenser on TTL Port 1; a failed save exits 1; screenshot $shot)"
