#!/usr/bin/env bash
# Runs the replikon program on real files and checks its output and exit
# statuses: 0 success, 1 a "no" answer or bad input, 2 a usage error.
#   cli_commands.sh path/to/replikon [folder of OrdersLib.so]
set -uo pipefail
replikon=$1
servers=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect STATUS COMMAND... : runs the command, keeping its output in $out and $err.
expect() {
  local want=$1
  shift
  out=$("$@" 2>"$work/stderr")
  local status=$?
  err=$(cat "$work/stderr")
  if ((status != want)); then
    fail "$* exited $status, expected $want (stderr: $err)"
  fi
}

contains() {  # contains TEXT PATTERN WHAT
  grep -qE -- "$2" <<<"$1" || fail "$3: no match for '$2' in: $1"
}

# The demo makes the files the other commands read.
expect 0 "$replikon" demo --dir "$work/demo"
contains "$out" 'error 601' 'demo'
contains "$out" 'Invoice\.Carrier' 'demo'
# The error's details, a line each under it: each problem with its path.
contains "$out" '^ +- Invoice\.Carrier: external object of class "Carrier"' 'demo lists the problems'
contains "$out" '^ +- Invoice\.Memo\.Parent: reference cycle' 'demo lists the problems'
contains "$out" 'Read back: [0-9]+ bytes, the same bytes' 'demo'
contains "$out" 'Summary' 'demo'
contains "$out" 'replikon diff .*invoice\.stream .*rebuilt\.stream' 'demo ends with diff'
contains "$out" '~ Invoice\.LineCount: Long 2  \|  Long 0' 'demo ends with diff'
invoice=$work/demo/invoice.stream
tags=$work/demo/tags.stream
graph=$work/demo/graph.stream
rebuilt=$work/demo/rebuilt.stream
[[ -s $invoice && -s $tags && -s $graph && -s $rebuilt ]] || fail "demo did not write its four files"

: >"$work/empty"
head -c 100 "$invoice" >"$work/truncated"
head -c 4096 /dev/urandom >"$work/random"

# load: the demo's order rebuilt through the sample server's library
if [[ -n $servers ]]; then
  expect 0 "$replikon" load "$invoice" --server OrdersLib --server-path "$servers"
  contains "$out" '^#0 Invoice$' 'load invoice'
  contains "$out" 'Buyer = \[Client\] -> #[0-9]+' 'load invoice'
  expect 0 env REPLIKON_SERVER_PATH="$servers" "$replikon" load --json "$invoice" --server OrdersLib
  [[ ${out:0:1} == '{' ]] || fail "load --json does not start an object"
  expect 1 env REPLIKON_SERVER_PATH="$work" "$replikon" load "$invoice" --server OrdersLib
  contains "$err" 'cannot load the server OrdersLib: error 429' 'load without the library'
  contains "$err" "$work/OrdersLib.so: missing" 'load without the library'
  expect 2 "$replikon" load "$invoice"
fi

# is-stream
expect 0 "$replikon" is-stream "$invoice"
[[ $out == true ]] || fail "is-stream invoice printed '$out'"
for file in "$tags" "$work/empty" "$work/truncated" "$work/random"; do
  expect 1 "$replikon" is-stream "$file"
  [[ $out == false ]] || fail "is-stream $file printed '$out'"
done
expect 1 "$replikon" is-stream "$work/missing"
contains "$err" 'missing' 'is-stream of a missing file names it'

# type
expect 0 "$replikon" type "$invoice"
[[ $out == Invoice ]] || fail "type invoice printed '$out'"
expect 0 "$replikon" type "$tags"
[[ $out == Array ]] || fail "type tags printed '$out'"
for file in "$work/empty" "$work/truncated" "$work/random"; do
  expect 1 "$replikon" type "$file"
  [[ -z $out ]] || fail "type $file printed '$out'"
  contains "$err" "$(basename "$file").*not a Stream" "type $file"
done
expect 0 "$replikon" type - <"$invoice"
[[ $out == Invoice ]] || fail "type - printed '$out'"

# inspect
expect 0 "$replikon" inspect "$invoice"
contains "$out" 'object stream of class "Invoice"' 'inspect invoice'
expect 0 "$replikon" inspect "$tags"
expect 0 "$replikon" inspect --json - <"$invoice"
[[ ${out:0:1} == '{' ]] || fail "inspect --json does not start an object"
for file in "$work/empty" "$work/truncated" "$work/random"; do
  expect 1 "$replikon" inspect "$file"
  contains "$err" "not a Stream" "inspect $file"
  [[ $file == "$work/empty" ]] || contains "$err" 'not a Stream: .*offset [0-9]+' "inspect $file says where"
  expect 1 "$replikon" inspect --json "$file"
  [[ -z $out ]] || fail "inspect --json $file wrote to standard output"
done
expect 1 "$replikon" inspect "$work/missing"
contains "$err" 'File not found' 'inspect of a missing file'

# inspect --json --flat, encode back, diff, stats
for file in "$invoice" "$tags" "$graph"; do
  for form in "--flat" "--flat --compact" "--compact --max-depth 1000"; do
    # shellcheck disable=SC2086
    expect 0 "$replikon" inspect --json $form "$file"
    printf '%s\n' "$out" >"$work/form.json"
    expect 0 "$replikon" encode "$work/form.json" -o "$work/encoded.stream"
    cmp -s "$file" "$work/encoded.stream" || fail "inspect --json $form | encode changed $file"
  done
done
expect 0 "$replikon" inspect --json --flat --compact "$graph"
[[ $(wc -l <<<"$out") == 1 ]] || fail "inspect --json --flat --compact is more than one line"
jq -e '[.entries[] | select(.stream == "reference")] | length == 3' <<<"$out" >/dev/null ||
  fail "inspect --flat of the graph does not show its three references"
jq -e '.entries[] | select(.path == "Invoice.Lines(0).Product.Picture(0)") | .depth == 6' \
  <<<"$out" >/dev/null || fail "inspect --flat: no path Invoice.Lines(0).Product.Picture(0)"
# Edited: one value changed, one entry taken out.
jq '(.entries[] | select(.path == "Invoice.Number") | .value) |= 7
    | del(.entries[] | select(.path == "Invoice.Buyer.Name"))' <<<"$out" >"$work/edited.json"
expect 0 "$replikon" encode - -o "$work/edited.stream" <"$work/edited.json"
expect 1 "$replikon" diff "$graph" "$work/edited.stream"
[[ $(wc -l <<<"$out") == 2 ]] || fail "diff of the edited graph: $out"
contains "$out" '^~ Invoice\.Number: Long 1001  \|  Long 7$' 'diff of a changed value'
contains "$out" '^- Invoice\.Buyer\.Name: String ".*"  \(only in the first\)$' 'diff of a removed entry'
expect 0 "$replikon" diff "$invoice" - <"$invoice"
[[ -z $out ]] || fail "diff of a Stream with itself printed '$out'"
expect 2 "$replikon" diff "$invoice" "$work/missing"
expect 2 "$replikon" diff "$invoice" "$work/random"
# Bad JSON: line and column, exit 2, nothing written (not even over an old file).
printf '{"entries": [\n  {"depth": 0, "key": "@SF#", "type": 3, "value": 17},\n  {"depth": 0 "key"}\n]}\n' \
  >"$work/bad.json"
expect 2 "$replikon" encode "$work/bad.json" -o "$work/bad.stream"
contains "$err" 'line 3, column 19' 'encode of bad JSON'
[[ ! -e $work/bad.stream ]] || fail "encode of bad JSON wrote a file"
cp "$invoice" "$work/kept.stream"
expect 2 "$replikon" encode "$work/bad.json" -o "$work/kept.stream"
cmp -s "$invoice" "$work/kept.stream" || fail "encode of bad JSON changed the file it would replace"
printf '{"entries": [{"depth": 1, "key": "x", "type": 3, "value": 1}]}' >"$work/deep.json"
expect 2 "$replikon" encode "$work/deep.json" -o "$work/bad.stream"
contains "$err" 'entry 1: depth 1 follows no entry that opens a nested bag' 'encode of a wrong depth'
expect 0 "$replikon" stats "$graph"
contains "$out" '^2494 bytes, 131 entries, 8 arrays, 3 references$' 'stats'
contains "$out" '^deepest entry: depth 6: Invoice\.Lines\(0\)\.Product\.Picture\(0\)$' 'stats'
contains "$out" '^Line +2 +[0-9]+$' 'stats'
expect 0 "$replikon" stats --json --compact "$graph"
jq -e '([.classes[].bytes] | add) == .size' <<<"$out" >/dev/null ||
  fail "stats: the bytes per class do not add up to the size"
expect 1 "$replikon" stats "$work/random"

# What is not a regular file is refused at once (the time limit only keeps a
# fault from hanging the checks), and standard input is read whole from a pipe.
mkfifo "$work/fifo"
for command in type is-stream inspect; do
  expect 1 timeout 20 "$replikon" "$command" "$work/fifo"
  contains "$err" 'a FIFO, not a regular file' "$command of a FIFO without a writer"
  expect 1 timeout 20 "$replikon" "$command" /dev/zero
  contains "$err" 'a character device, not a regular file' "$command of /dev/zero"
done
expect 0 "$replikon" type - < <(cat "$invoice")
[[ $out == Invoice ]] || fail "type - from a pipe printed '$out'"
expect 1 "$replikon" is-stream - < <(head -c 3000000 /dev/urandom)
[[ $out == false ]] || fail "is-stream of 3 MB of random bytes printed '$out'"

# usage errors
expect 2 "$replikon"
expect 2 "$replikon" frobnicate
expect 2 "$replikon" inspect
expect 2 "$replikon" inspect --max-depth 0 "$invoice"
expect 2 "$replikon" type "$invoice" "$tags"
expect 2 "$replikon" is-stream --bogus "$invoice"
expect 0 "$replikon" --version
contains "$out" '^replikon [0-9]+\.[0-9]+\.[0-9]+$' '--version'
expect 2 "$replikon" encode "$invoice"
expect 2 "$replikon" diff "$invoice"
for command in demo inspect encode diff stats type is-stream about; do
  expect 0 "$replikon" "$command" --help
  contains "$out" "Usage: .*$command" "$command --help"
done

if ((failures > 0)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
