#!/usr/bin/env bash
# The route from a cyclic file to a system logger: 4 writer processes append
# self-checking messages to one cyclic file while `rotolog-cat --follow
# --json` pipes it through logger(1) into an rsyslogd of the test's own,
# which listens only on a Unix socket in WORK_DIR and writes to a file there.
# Every message must arrive exactly once, in each writer's order. Every
# process the test starts is stopped by its pid.
# Usage: check_rsyslog_route.sh ROTOLOG_CAT FOLLOW_HELPER WORK_DIR
set -uo pipefail
cat_tool=$1
helper=$2
work=$3
writers=4
each=${ROTOLOG_RSYSLOG_MESSAGES:-500}
rm -rf "$work" && mkdir -p "$work/spool" || exit 1
rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[[ -x $rsyslogd ]] || { echo "FAIL: no rsyslogd (scripts/install-deps installs rsyslog)" >&2; exit 1; }

pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  pids=()
}
trap stop_all EXIT

# wait_for SECONDS COMMAND...: true once COMMAND succeeds, false at the deadline.
wait_for() {
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < until)) || return 1
    sleep 0.05
  done
}

cat >"$work/rsyslog.conf" <<CONF
global(workDirectory="$work/spool")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="$work/log.sock" RateLimit.Interval="0")
template(name="bare" type="string" string="%msg%\n")
if \$programname == "rotolog-route" then {
  action(type="omfile" file="$work/received.log" template="bare")
}
CONF
"$rsyslogd" -n -f "$work/rsyslog.conf" -i "$work/rsyslogd.pid" >"$work/rsyslogd.out" 2>&1 &
pids+=($!)
wait_for 20 test -S "$work/log.sock" || { echo "FAIL: rsyslogd did not start: $(cat "$work/rsyslogd.out")" >&2; exit 1; }

file=$work/service.cyclic
"$helper" append "$file" 9 0 || exit 1  # an empty file for the follower to open
mkfifo "$work/pipe"
logger --socket "$work/log.sock" --tag rotolog-route --size 8192 <"$work/pipe" &
pids+=($!)
"$cat_tool" --follow --json "$file" >"$work/pipe" 2>"$work/follower.err" &
follower=$!
pids+=("$follower")

writer_pids=()
for ((writer = 0; writer < writers; writer++)); do
  timeout 60 "$helper" append "$file" "$writer" "$each" 200 &
  writer_pids+=($!)
done
failures=0
for pid in "${writer_pids[@]}"; do wait "$pid" || { echo "FAIL: a writer failed" >&2; failures=$((failures + 1)); }; done

all_arrived() { [[ -f $work/received.log && $(wc -l <"$work/received.log") -ge $((writers * each)) ]]; }
wait_for 60 all_arrived || echo "FAIL: $(wc -l <"$work/received.log" 2>/dev/null) of $((writers * each)) lines arrived" >&2
sleep 0.2  # a message more than expected would show now
kill -TERM "$follower"
stop_all

"$helper" check "$writers" "$each" <"$work/received.log" || failures=$((failures + 1))
lines=$(wc -l <"$work/received.log")
[[ $lines -eq $((writers * each)) ]] || { echo "FAIL: $lines lines, expected $((writers * each))" >&2; failures=$((failures + 1)); }
[[ -s $work/follower.err ]] && { echo "FAIL: the follower said: $(cat "$work/follower.err")" >&2; failures=$((failures + 1)); }
[[ $failures -eq 0 ]] || exit 1
echo "rsyslog route: $((writers * each)) messages of $writers writers arrived exactly once, in order"
