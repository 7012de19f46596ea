#!/bin/bash
# Drives the host error box on a real terminal (tmux): the box is drawn, the
# run waits for Enter, then ends with the failed step's code.
set -euo pipefail
trustrun=$1
work=$(mktemp -d)
socket="trustrun-box-$$"
cleanup() { tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

tmux -L "$socket" new-session -d -x 80 -y 24 \
    "$trustrun u /no/such/program; echo \"status=\$?\" > $work/status; sleep 60"

screen=""
for _ in $(seq 100); do
    screen=$(tmux -L "$socket" capture-pane -p)
    grep -q "OK" <<<"$screen" && break
    sleep 0.1
done
echo "$screen"
grep -qF "CreateProcessAsUser() failed (error 2)" <<<"$screen"
grep -qF "+- Error " <<<"$screen"
grep -qF "| The system cannot find the file specified. |" <<<"$screen"
grep -qF "[ OK ]" <<<"$screen"
# Still waiting for the user: the run has not ended.
sleep 0.3
[ ! -e "$work/status" ]

tmux -L "$socket" send-keys Enter
for _ in $(seq 100); do
    [ -s "$work/status" ] && break
    sleep 0.1
done
cat "$work/status"
grep -qx "status=2" "$work/status"
