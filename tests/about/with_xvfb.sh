#!/usr/bin/env bash
# Runs a command on a private Xvfb display and passes its exit status on.
# Exits 77 (the tests' "skipped") when Xvfb is not installed.
set -euo pipefail

if ! command -v Xvfb >/dev/null 2>&1; then
  echo "Xvfb is not installed; skipping" >&2
  exit 77
fi

workdir=$(mktemp -d)
xvfb_pid=
cleanup() {
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$workdir"
}
trap cleanup EXIT

# Xvfb picks a free display number itself and writes it to fd 3: no race with
# other X servers started at the same time.
mkfifo "$workdir/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
xvfb_pid=$!
display=
if ! read -r -t 30 display <"$workdir/display" || [[ -z $display ]]; then
  echo "Xvfb did not start:" >&2
  cat "$workdir/xvfb.log" >&2
  exit 1
fi

export DISPLAY=":$display"
unset XAUTHORITY
"$@"
