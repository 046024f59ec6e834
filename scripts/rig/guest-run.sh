#!/bin/bash
# Runs inside the guest, in the host's file tree: starts the emulated boxes, runs the command with
# its output and exit status in the run folder, and stops the boxes again.
run="$1"
# shellcheck source=/dev/null
source "$run/settings"
export PATH="$RIG_ROOT/scripts/rig:$PATH"
export HOME=/tmp
export ZENTRIX_IOWARRIOR=kernel
export ZENTRIX_RIG=1 ZENTRIX_RIG_BOXES="$RIG_BOXES" ZENTRIX_RIG_TREE="$RIG_TREE"
export ZENTRIX_RIG_STATE=/tmp/zentrix-rig
start=(zentrix-rig start)
[ -n "$RIG_BENCH" ] && start+=(--bench "$RIG_BENCH")
if ! "${start[@]}" > "$run/stdout" 2> "$run/stderr"; then
    echo 125 > "$run/status"
    exit 0
fi
cd "$RIG_CWD" || exit 0
bash "$run/command" > "$run/stdout" 2> "$run/stderr" < /dev/null
echo $? > "$run/status"
zentrix-rig stop >> "$run/stderr" 2>&1
