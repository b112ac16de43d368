#!/usr/bin/env bash
# Clicks the running About window with the real mouse (xdotool on the current
# display): each link must run "xdg-open ADDRESS", and OK must end the program.
# Usage: real_clicks.sh PATH/TO/replikon-about
set -euo pipefail

program=$1
if ! command -v xdotool >/dev/null 2>&1; then
  echo "xdotool is not installed; skipping" >&2
  exit 77
fi

workdir=$(mktemp -d)
about_pid=
cleanup() {
  if [[ -n $about_pid ]] && kill -0 "$about_pid" 2>/dev/null; then
    kill "$about_pid" 2>/dev/null || true
  fi
  rm -rf "$workdir"
}
trap cleanup EXIT

# A stand-in for xdg-open that records its arguments.
mkdir "$workdir/bin"
cat >"$workdir/bin/xdg-open" <<SCRIPT
#!/bin/sh
printf '%s\n' "\$*" >>"$workdir/opened"
SCRIPT
chmod +x "$workdir/bin/xdg-open"
export PATH="$workdir/bin:$PATH"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$program" --print-layout >"$workdir/layout" &
about_pid=$!

window=$(timeout 20 xdotool search --sync --onlyvisible --name '^About Replikon$' | head -n1) ||
  fail "the window did not appear"
for _ in $(seq 100); do
  grep -q '^cmdOK ' "$workdir/layout" && break
  sleep 0.1
done

# Clicks the middle of a control, as laid out by the running program.
click() {
  local name=$1 x y w h
  read -r _ _ x y w h < <(grep "^$name " "$workdir/layout") || fail "no layout for $name"
  xdotool mousemove --window "$window" $((x + w / 2)) $((y + h / 2)) click 1
}

# Waits until the stand-in has recorded $1 lines.
wait_opened() {
  for _ in $(seq 100); do
    [[ -f $workdir/opened ]] && (($(wc -l <"$workdir/opened") >= $1)) && return 0
    sleep 0.1
  done
  fail "xdg-open was not run $1 time(s)"
}

click lblSite
wait_opened 1
click imgOrvel
wait_opened 2
click lblContact
wait_opened 3
click Label7 # a plain label opens nothing
sleep 0.5

expected=$'https://replikon.example.org/\nhttps://replikon.example.org/\nhttps://replikon.example.org/contact'
[[ $(cat "$workdir/opened") == "$expected" ]] || fail "xdg-open got: $(cat "$workdir/opened")"

kill -0 "$about_pid" 2>/dev/null || fail "the window closed before OK was clicked"
click cmdOK
for _ in $(seq 100); do
  kill -0 "$about_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$about_pid" 2>/dev/null && fail "OK did not close the window"
status=0
wait "$about_pid" || status=$?
about_pid=
((status == 0)) || fail "replikon-about exited with $status"
echo "links and OK work with real clicks"
