#!/usr/bin/env bash
# Runs the spdlog_processes example and checks what rotolog-cat prints of its
# file: every record of the four writers once, whole, on a line of its own,
# as an entry (time, process/thread, level) with the pattern of its logger.
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

# rotolog-cat shows each entry with its time, process/thread and level.
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}[+-][0-9]{4}'
levels=(info warning err)
declare -A seen=() pid_of=()
while IFS= read -r line; do
  if [[ $line =~ ^$stamp\ \[([0-9]+)/([0-9]+)\]\ ([a-z]+):\ pid\ ([0-9]+):\ writer\ (0)\ message\ ([0-9]+):\ (=*)end$ ]]; then
    # Writer 0's own pattern repeats its pid: the entry's must be the same.
    pid=${BASH_REMATCH[1]} level=${BASH_REMATCH[3]} writer=0 message=${BASH_REMATCH[6]} filler=${BASH_REMATCH[7]}
    [[ ${BASH_REMATCH[4]} == "$pid" ]] || fail "the entry's pid is not the writer's: $line"
  elif [[ $line =~ ^$stamp\ \[([0-9]+)/([0-9]+)\]\ ([a-z]+):\ \[writer-([1-3])\]\ writer\ ([1-3])\ message\ ([0-9]+):\ (=*)end$ ]]; then
    pid=${BASH_REMATCH[1]} level=${BASH_REMATCH[3]} writer=${BASH_REMATCH[5]} message=${BASH_REMATCH[6]} filler=${BASH_REMATCH[7]}
    [[ ${BASH_REMATCH[4]} == "$writer" ]] || fail "logger and writer differ: $line"
  else
    fail "not a whole record: $line"
    continue
  fi
  # Each writer is one process, and no two share one.
  [[ -z ${pid_of[$writer]:-} || ${pid_of[$writer]} == "$pid" ]] || fail "writer $writer under two pids: $line"
  pid_of[$writer]=$pid
  ((message < messages_each)) || fail "no such message: $line"
  [[ $level == "${levels[message % 3]}" ]] || fail "wrong level: $line"
  ((${#filler} == message * 7 % 50)) || fail "filler of the wrong length: $line"
  [[ -z ${seen[$writer.$message]:-} ]] || fail "twice: $line"
  seen[$writer.$message]=1
done <"$work/lines"

[[ $(printf '%s\n' "${pid_of[@]}" | sort -u | wc -l) -eq $writers ]] || fail "the writers do not have a pid each"
[[ ${#seen[@]} -eq $((writers * messages_each)) ]] \
  || fail "${#seen[@]} distinct records, expected $((writers * messages_each))"
[[ $(wc -l <"$work/lines") -eq $((writers * messages_each)) ]] || fail "$(wc -l <"$work/lines") lines"
if [[ $failures -ne 0 ]]; then
  echo "$failures failures; rotolog-cat printed:" >&2
  head -20 "$work/lines" >&2
  exit 1
fi
echo "ok: $((writers * messages_each)) records, each whole"
