#!/usr/bin/env bash
# Runs the spdlog_processes example and checks what rotolog-cat prints of its
# file: every record of the four writers once, whole, on a line of its own,
# with the pattern of its logger.
# Usage: check_spdlog_example.sh SPDLOG_PROCESSES ROTOLOG_CAT WORK_DIR
set -uo pipefail
example=$1
cat_tool=$2
work=$3
writers=4
messages_each=25  # as in examples/spdlog_processes.cpp
rm -rf "$work" && mkdir -p "$work" || exit 1
file=$work/spdlog_processes.cyclic
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

"$example" "$file" >"$work/example.out" 2>&1 || { cat "$work/example.out" >&2; echo "FAIL: the example failed" >&2; exit 1; }
"$cat_tool" "$file" >"$work/lines" 2>"$work/err" || { cat "$work/err" >&2; echo "FAIL: rotolog-cat failed" >&2; exit 1; }

stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}'
levels=(info warning error)
declare -A seen=()
first_pid=""
while IFS= read -r line; do
  if [[ $line =~ ^$stamp\ ([a-z]+)\ pid\ ([0-9]+):\ writer\ (0)\ message\ ([0-9]+):\ (=*)end$ ]]; then
    level=${BASH_REMATCH[1]} pid=${BASH_REMATCH[2]} writer=0 message=${BASH_REMATCH[4]} filler=${BASH_REMATCH[5]}
    [[ -z $first_pid ]] && first_pid=$pid
    [[ $pid == "$first_pid" ]] || fail "writer 0 under two pids: $line"
  elif [[ $line =~ ^\[$stamp\]\ \[writer-([1-3])\]\ \[([a-z]+)\]\ writer\ ([1-3])\ message\ ([0-9]+):\ (=*)end$ ]]; then
    level=${BASH_REMATCH[2]} writer=${BASH_REMATCH[3]} message=${BASH_REMATCH[4]} filler=${BASH_REMATCH[5]}
    [[ ${BASH_REMATCH[1]} == "$writer" ]] || fail "logger and writer differ: $line"
  else
    fail "not a whole record: $line"
    continue
  fi
  ((message < messages_each)) || fail "no such message: $line"
  [[ $level == "${levels[message % 3]}" ]] || fail "wrong level: $line"
  ((${#filler} == message * 7 % 50)) || fail "filler of the wrong length: $line"
  [[ -z ${seen[$writer.$message]:-} ]] || fail "twice: $line"
  seen[$writer.$message]=1
done <"$work/lines"

[[ ${#seen[@]} -eq $((writers * messages_each)) ]] \
  || fail "${#seen[@]} distinct records, expected $((writers * messages_each))"
[[ $(wc -l <"$work/lines") -eq $((writers * messages_each)) ]] || fail "$(wc -l <"$work/lines") lines"
if [[ $failures -ne 0 ]]; then
  echo "$failures failures; rotolog-cat printed:" >&2
  head -20 "$work/lines" >&2
  exit 1
fi
echo "ok: $((writers * messages_each)) records, each whole"
