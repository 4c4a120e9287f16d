#!/usr/bin/env bash
# Checks rotolog-cat's output on the file make_known_file writes: each format,
# the exit codes, and that reading leaves the file byte for byte as it was.
# Usage: check_rotolog_cat.sh ROTOLOG_CAT MAKE_KNOWN_FILE WORK_DIR
set -uo pipefail
cat_tool=$1
make_known_file=$2
work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
known=$work/known.cyclic
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_exit CODE DESCRIPTION COMMAND...: stdout to $work/out, stderr to $work/err.
expect_exit() {
  local expected=$1 description=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local actual=$?
  [[ $actual -eq $expected ]] || fail "$description: exit $actual, expected $expected ($(head -c 300 "$work/err"))"
}

"$make_known_file" "$known" || { echo "FAIL: make_known_file" >&2; exit 1; }
cp "$known" "$work/before"

# Plain: each message as it stands, a newline added after those without one.
printf 'first line\nsay "hi"\t\\\n\x00\x01\xfe\xff\nh\xc3\xa9llo wrapped around\n' >"$work/expected"
expect_exit 0 "plain" "$cat_tool" "$known"
cmp -s "$work/out" "$work/expected" || fail "plain output differs: $(od -c "$work/out" | head -8)"

# JSON: escapes in text, base64 for bytes that are not printable UTF-8.
cat >"$work/expected" <<'JSON'
{"index":0,"seq":2,"length":11,"text":"first line\n"}
{"index":1,"seq":3,"length":10,"text":"say \"hi\"\t\\"}
{"index":2,"seq":4,"length":4,"base64":"AAH+/w=="}
{"index":3,"seq":5,"length":21,"text":"héllo wrapped around"}
JSON
expect_exit 0 "--json" "$cat_tool" --json "$known"
cmp -s "$work/out" "$work/expected" || fail "--json output differs: $(cat "$work/out")"
if command -v python3 >/dev/null; then
  python3 -c 'import json,sys; [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]' \
    "$work/out" || fail "--json lines do not parse as JSON"
fi

# Hex: one header line per message, then offset, bytes and ASCII column.
expect_exit 0 "--hex" "$cat_tool" --hex "$known"
[[ $(grep -c '^message [0-9]*: [0-9]* bytes$' "$work/out") -eq 4 ]] || fail "--hex: not 4 message lines"
grep -q '^message 2: 4 bytes$' "$work/out" || fail "--hex: no header for the binary message"
grep -Eq '^  00000000  00 01 fe ff +\|\.\.\.\.\|$' "$work/out" || fail "--hex: binary message line wrong"
grep -Eq '^  00000010  72 6f 75 6e 64 +\|round\|$' "$work/out" || fail "--hex: second line of message 3 wrong"

# Stats: header fields as the file holds them after the eviction.
expect_exit 0 "--stats" "$cat_tool" --stats "$known"
for line in 'header length:  28 bytes' 'buffer size:    64 bytes' 'message count:  4' \
  'wasted tail:    0 bytes' 'write offset:   15' 'read offset:    17' \
  'used:           62 of 64 bytes (96.9%)' 'messages:       4' 'payload bytes:  46' \
  'message sizes:  4 to 21 bytes'; do
  grep -qxF "$line" "$work/out" || fail "--stats lacks \"$line\": $(cat "$work/out")"
done

cmp -s "$known" "$work/before" || fail "reading changed the file"

# An empty file: no output, and stats without a size range.
empty=$work/empty.cyclic
"$make_known_file" "$empty" empty || fail "make_known_file empty"
expect_exit 0 "plain, empty file" "$cat_tool" "$empty"
[[ -s "$work/out" ]] && fail "an empty file printed something"
expect_exit 0 "--stats, empty file" "$cat_tool" --stats "$empty"
for line in 'message count:  0' 'used:           0 of 64 bytes (0.0%)' 'message sizes:  -'; do
  grep -qxF "$line" "$work/out" || fail "--stats of an empty file lacks \"$line\""
done

# Exit 1: the library's error text on stderr, then the reason: the system's
# words when it refused the file, or that the file is not a cyclic file.
# expect_open_failure DESCRIPTION FILE MESSAGE
expect_open_failure() {
  expect_exit 1 "$1" "$cat_tool" --json "$2"
  grep -qxF "rotolog-cat: $2: $3" "$work/err" || fail "$1: $(cat "$work/err")"
  [[ -s "$work/out" ]] && fail "$1: printed something on stdout"
}
expect_open_failure "missing file" "$work/missing.cyclic" "File not found: No such file or directory"
[[ -e "$work/missing.cyclic" ]] && fail "reading a missing file created it"
head -c 100 /dev/urandom >"$work/garbage.cyclic"
printf '\xff\xff\xff\xff' | dd of="$work/garbage.cyclic" conv=notrunc status=none
expect_open_failure "damaged file" "$work/garbage.cyclic" "Error loading file: not a rotolog cyclic file"
[[ -e "$work/garbage.cyclic-lock" ]] && fail "what is not a cyclic file got a lock file"
: >"$work/empty-file"
expect_open_failure "empty file" "$work/empty-file" \
  "Unable to map file to memory: the file is empty (a cyclic file starts with a header of 28 bytes)"
# A file cut short says what its header describes and what is there; one
# shorter than a header says so.
head -c 1000 "$known" >"$work/cut.cyclic"
"$make_known_file" "$work/long.cyclic" messages one two || fail "make_known_file messages"
truncate -s 1000 "$work/long.cyclic"
expect_open_failure "file cut short" "$work/long.cyclic" \
  "Error loading file: the header describes 65564 bytes, the file has 1000"
head -c 10 "$known" >"$work/stub.cyclic"
expect_open_failure "file shorter than a header" "$work/stub.cyclic" \
  "Error loading file: the file has 10 bytes, fewer than a header's 28: not a rotolog cyclic file, or one cut short"
truncate -s 200 "$work/cut.cyclic"
expect_open_failure "file grown" "$work/cut.cyclic" "Error loading file: the header describes 92 bytes, the file has 200"
# Refusals the library makes for safety name their cause.
cp "$known" "$work/two-names.cyclic" && ln "$work/two-names.cyclic" "$work/second-name.cyclic"
expect_open_failure "hard link" "$work/second-name.cyclic" \
  "Permission denied: the file has 2 names (hard links), and a cyclic file may have only one"
mkfifo "$work/fifo"
expect_open_failure "fifo" "$work/fifo" "Unable to map file to memory: not a regular file"
mkdir -p "$work/a-directory"
expect_open_failure "directory" "$work/a-directory" "Unable to map file to memory: Is a directory"
# --follow opens the file through the same door and says the same.
expect_exit 1 "--follow, damaged file" timeout 10 "$cat_tool" --follow "$work/garbage.cyclic"
grep -qxF "rotolog-cat: $work/garbage.cyclic: Error loading file: not a rotolog cyclic file" "$work/err" \
  || fail "--follow, damaged file: $(cat "$work/err")"
# A file the caller may not read says who may; the status's text is not
# repeated as the reason. Root may read any file: it checks as nobody.
cp "$known" "$work/unreadable.cyclic" && chmod 0600 "$work/unreadable.cyclic"
as_reader=()
if [[ $(id -u) -eq 0 ]]; then
  as_reader=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 0711 "$work"
  "${as_reader[@]}" test -x "$cat_tool" 2>/dev/null || as_reader=(skip)
fi
if [[ ${as_reader[0]:-} != skip ]]; then
  expect_exit 1 "unreadable file" "${as_reader[@]}" "$cat_tool" "$work/unreadable.cyclic"
  grep -qx "rotolog-cat: $work/unreadable.cyclic: Permission denied: not readable by you (mode 0600, owner $(id -un), group $(id -gn))" \
    "$work/err" || fail "unreadable file: $(cat "$work/err")"
else
  echo "rotolog-cat: nobody cannot run $cat_tool here; the unreadable file is not checked"
fi
# Another user's file in a sticky directory everyone may write is refused
# (even to root), and the text says why and what to do.
if [[ $(id -u) -eq 0 ]]; then
  mkdir -m 1777 "$work/shared" && cp "$known" "$work/shared/theirs.cyclic" &&
    chown 65534 "$work/shared/theirs.cyclic"
  expect_open_failure "another user's file in a shared directory" "$work/shared/theirs.cyclic" \
    "Permission denied: owned by another user in a world- or group-writable sticky directory; copy it, or read it as its owner"
fi

# Exit 2: a usage error says what is wrong and where to learn more, in two
# lines on stderr; --help prints the usage on stdout, --version the version.
expect_exit 2 "no file" "$cat_tool"
expect_exit 2 "unknown option" "$cat_tool" --tail "$known"
printf "rotolog-cat: unknown option --tail\nTry 'rotolog-cat --help' for more information.\n" |
  cmp -s - "$work/err" || fail "unknown option: $(cat "$work/err")"
expect_exit 0 "--version" "$cat_tool" --version
grep -qx 'rotolog-cat (rotolog) [0-9]*\.[0-9]*\.[0-9]*' "$work/out" || fail "--version: $(cat "$work/out")"
expect_exit 2 "--stats of two files" "$cat_tool" --stats "$known" "$known"
expect_exit 2 "--retry without --follow" "$cat_tool" --retry "$known"
expect_exit 2 "--cursor-file with two files" "$cat_tool" --cursor-file "$work/cursor" "$known" "$known"
expect_exit 2 "--after-seq not a number" "$cat_tool" --after-seq -3 "$known"
expect_exit 2 "two formats" "$cat_tool" --hex --json "$known"
expect_exit 0 "--help" "$cat_tool" --help
grep -q -- '--stats' "$work/out" || fail "--help does not describe --stats"
grep -q -- 'FILE-lock' "$work/out" || fail "--help does not tell of the lock file"

# Short and long options in any order, GNU style.
expect_exit 0 "--json" "$cat_tool" --json "$known"
cp "$work/out" "$work/json.out"
expect_exit 0 "-j after the file" "$cat_tool" "$known" -j
cmp -s "$work/out" "$work/json.out" || fail "-j after the file differs from --json"
expect_exit 0 "--lines=2" "$cat_tool" --lines=2 --json "$known"
tail -n 2 "$work/json.out" | sed 's/"index":[23]/"index":X/' >"$work/expected"
sed 's/"index":[01]/"index":X/' "$work/out" | cmp -s - "$work/expected" || fail "--lines=2: $(cat "$work/out")"
expect_exit 0 "-n 1 -x" "$cat_tool" -n 1 -x "$known"
[[ $(grep -c '^message 0: 21 bytes$' "$work/out") -eq 1 && $(grep -c '^message' "$work/out") -eq 1 ]] ||
  fail "-n 1 -x: $(cat "$work/out")"
expect_exit 0 "-n0" "$cat_tool" -n0 "$known"
[[ -s "$work/out" ]] && fail "-n0 printed something"
expect_exit 2 "--lines without a number" "$cat_tool" "$known" --lines
grep -q 'needs an argument' "$work/err" || fail "--lines without a number: $(head -1 "$work/err")"
expect_exit 2 "-n with a bad number" "$cat_tool" -n 3x "$known"
expect_exit 2 "-n with a negative number" "$cat_tool" -n -1 "$known"
expect_exit 2 "--follow with --stats" "$cat_tool" --follow --stats "$known"
expect_exit 2 "--verify with -n" "$cat_tool" --verify -n 1 "$known"
expect_exit 2 "unknown short option" "$cat_tool" -q "$known"
grep -q 'unknown option -q' "$work/err" || fail "unknown short option: $(head -1 "$work/err")"
expect_exit 0 "-h" "$cat_tool" -h
grep -q -- '--follow' "$work/out" || fail "-h does not describe --follow"

# Several files: each file's messages in turn, under a header line when the
# file changes (as tail prints them), or with a "file" member in JSON; a
# file that cannot be read is reported, the others are printed, status 1.
"$make_known_file" "$work/one.cyclic" messages one-a one-b || fail "make_known_file one"
"$make_known_file" "$work/two.cyclic" messages two-a || fail "make_known_file two"
expect_exit 0 "two files" "$cat_tool" "$work/one.cyclic" "$work/two.cyclic"
printf '==> %s <==\none-a\none-b\n\n==> %s <==\ntwo-a\n' "$work/one.cyclic" "$work/two.cyclic" |
  cmp -s - "$work/out" || fail "two files: $(cat "$work/out")"
expect_exit 1 "two files and a missing one" "$cat_tool" -j "$work/one.cyclic" "$work/none.cyclic" "$work/two.cyclic"
cat >"$work/expected" <<JSON
{"index":0,"file":"$work/one.cyclic","seq":1,"length":5,"text":"one-a"}
{"index":1,"file":"$work/one.cyclic","seq":2,"length":5,"text":"one-b"}
{"index":2,"file":"$work/two.cyclic","seq":1,"length":5,"text":"two-a"}
JSON
cmp -s "$work/out" "$work/expected" || fail "two files in JSON: $(cat "$work/out")"
grep -qxF "rotolog-cat: $work/none.cyclic: File not found: No such file or directory" "$work/err" ||
  fail "two files and a missing one: $(cat "$work/err")"

# --after-seq prints the messages numbered above it; --cursor-file starts
# after the number it holds and keeps the last one printed, so that a second
# run prints only what came since.
"$make_known_file" "$work/numbered.cyclic" messages n1 n2 n3 || fail "make_known_file numbered"
expect_exit 0 "--after-seq 1" "$cat_tool" --after-seq 1 "$work/numbered.cyclic"
printf 'n2\nn3\n' | cmp -s - "$work/out" || fail "--after-seq 1: $(cat "$work/out")"
# The known file's first message was overwritten: read from after number 0
# it is missing, and said so (not when -n leaves it out anyway).
expect_exit 0 "--after-seq 0 of a file that lost its first message" "$cat_tool" -j --after-seq 0 "$known"
[[ $(head -1 "$work/out") == '{"missed":1}' && $(wc -l <"$work/out") -eq 5 ]] ||
  fail "--after-seq 0: $(cat "$work/out")"
grep -qx "rotolog-cat: 1 messages were overwritten before they could be read" "$work/err" ||
  fail "--after-seq 0: $(cat "$work/err")"
expect_exit 0 "--after-seq 0 -n 2" "$cat_tool" -j --after-seq 0 -n 2 "$known"
[[ $(wc -l <"$work/out") -eq 2 && ! -s "$work/err" ]] || fail "--after-seq 0 -n 2: $(cat "$work/out" "$work/err")"
expect_exit 0 "--after-seq beyond the last" "$cat_tool" --after-seq=3 "$work/numbered.cyclic"
[[ -s "$work/out" ]] && fail "--after-seq 3 printed something: $(cat "$work/out")"
rm -f "$work/cursor"
expect_exit 0 "--cursor-file, first run" "$cat_tool" --cursor-file "$work/cursor" -n 1 "$work/numbered.cyclic"
printf 'n3\n' | cmp -s - "$work/out" || fail "--cursor-file, first run: $(cat "$work/out")"
[[ $(cat "$work/cursor") == 3 ]] || fail "--cursor-file holds $(cat "$work/cursor"), not 3"
expect_exit 0 "--cursor-file, nothing new" "$cat_tool" --cursor-file "$work/cursor" "$work/numbered.cyclic"
[[ -s "$work/out" ]] && fail "--cursor-file printed again: $(cat "$work/out")"
"$make_known_file" "$work/numbered.cyclic" messages n4 n5 || fail "make_known_file numbered"
expect_exit 0 "--cursor-file, two new" "$cat_tool" --cursor-file "$work/cursor" -j "$work/numbered.cyclic"
grep -c '"seq":[45],' "$work/out" | grep -qx 2 && [[ $(wc -l <"$work/out") -eq 2 ]] ||
  fail "--cursor-file, two new: $(cat "$work/out")"
[[ $(cat "$work/cursor") == 5 ]] || fail "--cursor-file holds $(cat "$work/cursor"), not 5"
[[ -e "$work/cursor.tmp" ]] && fail "--cursor-file left its temporary"
echo 'not a number' >"$work/cursor"
expect_exit 1 "a damaged cursor" "$cat_tool" --cursor-file "$work/cursor" "$work/numbered.cyclic"
grep -q 'not a cursor' "$work/err" || fail "a damaged cursor: $(cat "$work/err")"

# Entries: shown as journalctl's short-iso, raw messages as they are; the
# selections keep exactly what they say.
entries=$work/entries.cyclic
"$make_known_file" "$entries" entries 0:emerg-a 1:alert-b 2:crit-c 3:err-d 4:warning-e \
  5:notice-f 6:info-g 7:debug-h raw:raw-i '3:disk full' 'raw:disk raw' || fail "make_known_file entries"
pid_tid='\[[0-9]+/[0-9]+\]'
iso='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}[+-][0-9]{4}'
expect_exit 0 "entries, short-iso" "$cat_tool" "$entries"
[[ $(grep -Ec "^$iso $pid_tid (emerg|alert|crit|err|warning|notice|info|debug): [a-z -]+$" "$work/out") -eq 9 ]] &&
  [[ $(sed -n 9p "$work/out") == raw-i && $(sed -n 11p "$work/out") == 'disk raw' ]] &&
  grep -Eq "^$iso $pid_tid warning: warning-e$" "$work/out" || fail "entries, short-iso: $(cat "$work/out")"
expect_exit 0 "entries, short-precise" "$cat_tool" -o short-precise "$entries"
grep -Eq "^[A-Z][a-z]{2} [0-9]{2} [0-9:]{8}\.[0-9]{6} $pid_tid crit: crit-c$" "$work/out" ||
  fail "entries, short-precise: $(head -3 "$work/out")"
# expect_selected DESCRIPTION EXPECTED-LINES OPTION...: the texts -o cat prints.
expect_selected() {
  local description=$1 expected=$2
  shift 2
  expect_exit 0 "$description" "$cat_tool" -o cat "$@" "$entries"
  printf '%s' "$expected" | cmp -s - "$work/out" || fail "$description: $(tr '\n' '|' <"$work/out")"
}
expect_selected "-p err" $'emerg-a\nalert-b\ncrit-c\nerr-d\ndisk full\n' -p err
expect_selected "-p 3" $'emerg-a\nalert-b\ncrit-c\nerr-d\ndisk full\n' -p 3
expect_selected "-p err..warning" $'err-d\nwarning-e\ndisk full\n' --priority=err..warning
expect_selected "-p debug keeps every entry, no raw message" \
  $'emerg-a\nalert-b\ncrit-c\nerr-d\nwarning-e\nnotice-f\ninfo-g\ndebug-h\ndisk full\n' -p debug
expect_selected "-g" $'disk full\ndisk raw\n' -g '^disk'
expect_selected "-g -i" $'disk full\ndisk raw\n' -i --grep 'DISK (FULL|RAW)'
expect_selected "-g with -p" $'disk full\n' -g disk -p err
expect_selected "-n 2 of those selected" $'err-d\ndisk full\n' -p err -n 2
expect_selected "--since an hour ago" \
  $'emerg-a\nalert-b\ncrit-c\nerr-d\nwarning-e\nnotice-f\ninfo-g\ndebug-h\ndisk full\n' --since -1h
expect_selected "--since today" \
  $'emerg-a\nalert-b\ncrit-c\nerr-d\nwarning-e\nnotice-f\ninfo-g\ndebug-h\ndisk full\n' --since today
expect_selected "--since in an hour" '' --since +1h
expect_selected "--until an hour ago" '' --until '1h ago'
# --since and --until the time of an entry, as --json prints it: the ends
# belong to the range, to the nanosecond.
expect_exit 0 "entries, json" "$cat_tool" -j "$entries"
cp "$work/out" "$work/entries.json"
middle=$(sed -n 4p "$work/entries.json" | sed -E 's/.*"time":"([^"]*)".*/\1/')
[[ $middle == 20[0-9][0-9]-*Z ]] || fail "no time in the JSON of an entry: $(sed -n 4p "$work/entries.json")"
since='' until=''
while IFS= read -r line; do
  [[ $line == *'"time":"'* ]] || continue
  time=$(sed -E 's/.*"time":"([^"]*)".*/\1/' <<<"$line")
  text=$(sed -E 's/.*"text":"([^"]*)".*/\1/' <<<"$line")
  [[ ! $time < $middle ]] && since+="$text"$'\n'
  [[ ! $time > $middle ]] && until+="$text"$'\n'
done <"$work/entries.json"
[[ $since == *warning-e* && $until == *alert-b* && $since != *alert-b* ]] ||
  fail "times not in order: $(cat "$work/entries.json")"
expect_selected "--since an entry's time" "$since" --since "$middle"
expect_selected "--until an entry's time" "$until" --until "$middle"
expect_selected "--since and --until an entry's time" $'err-d\n' --since "$middle" --until "$middle"
grep -Eq '^\{"index":0,"seq":1,"time":"[0-9T:.-]+Z","pid":[0-9]+,"tid":[0-9]+,"level":0,"length":7,"text":"emerg-a"\}$' \
  "$work/entries.json" || fail "entries, json: $(head -1 "$work/entries.json")"
grep -qxF '{"index":8,"seq":9,"length":5,"text":"raw-i"}' "$work/entries.json" ||
  fail "a raw message's json: $(sed -n 9p "$work/entries.json")"
# -z ends each message with a NUL byte instead of a newline.
expect_exit 0 "-z" "$cat_tool" -z -o raw -g disk "$entries"
printf 'disk full\0disk raw\0' | cmp -s - "$work/out" || fail "-z: $(od -c "$work/out" | head -3)"
expect_exit 2 "unknown -o" "$cat_tool" -o short-monotonic "$entries"
expect_exit 2 "-o with --hex" "$cat_tool" -o cat --hex "$entries"
expect_exit 2 "a time that is not one" "$cat_tool" --since 'next tuesday' "$entries"
grep -q "not a time: next tuesday" "$work/err" || fail "a time that is not one: $(cat "$work/err")"
expect_exit 2 "a level that is not one" "$cat_tool" -p loud "$entries"
expect_exit 2 "a regular expression that is not one" "$cat_tool" -g '(' "$entries"
expect_exit 2 "--stats with -p" "$cat_tool" --stats -p err "$entries"

# Several files holding entries are merged by time, each file's messages in
# their order, a raw message after the message before it in its file.
for step in 'a 6:a-first' 'b 6:b-first' 'a 6:a-second raw:a-raw' 'b 6:b-second'; do
  read -r name messages <<<"$step"
  # shellcheck disable=SC2086 # the messages of each step are words
  "$make_known_file" "$work/merge-$name.cyclic" entries $messages || fail "make_known_file merge"
done
expect_exit 0 "two files merged by time" "$cat_tool" -o cat "$work/merge-a.cyclic" "$work/merge-b.cyclic"
printf '==> %s <==\na-first\n\n==> %s <==\nb-first\n\n==> %s <==\na-second\na-raw\n\n==> %s <==\nb-second\n' \
  "$work/merge-a.cyclic" "$work/merge-b.cyclic" "$work/merge-a.cyclic" "$work/merge-b.cyclic" |
  cmp -s - "$work/out" || fail "two files merged by time: $(cat "$work/out")"

# On a terminal, control characters and bytes that are not UTF-8 are shown
# escaped; --raw and a pipe keep the bytes.
if command -v script >/dev/null; then
  script -qec "'$cat_tool' '$known'" /dev/null | tr -d '\r' >"$work/out"
  printf '%s\n' 'first line' $'say "hi"\t\\' '\x00\x01\xfe\xff' $'h\xc3\xa9llo wrapped around' >"$work/expected"
  cmp -s "$work/out" "$work/expected" || fail "terminal output differs: $(od -c "$work/out" | head -8)"
  script -qec "'$cat_tool' --raw '$known'" /dev/null | tr -d '\r' >"$work/out"
  printf 'first line\nsay "hi"\t\\\n\x00\x01\xfe\xff\nh\xc3\xa9llo wrapped around\n' >"$work/expected"
  cmp -s "$work/out" "$work/expected" || fail "--raw on a terminal differs: $(od -c "$work/out" | head -8)"
  # A message of several lines, then messages forged to pass for its
  # continuation: only the real further line carries the mark.
  forged=$work/forged.cyclic
  "$make_known_file" "$forged" messages $'failed\n  at main()' '  at forged()' \
    $'\xe2\x94\x82 at forged()' $'\xe2\x80\x8b\xe2\x94\x82 at forged()' || fail "make_known_file messages"
  script -qec "'$cat_tool' '$forged'" /dev/null | tr -d '\r' >"$work/out"
  printf '%s\n' 'failed' $'\xe2\x94\x82   at main()' '  at forged()' '\u2502 at forged()' \
    $'\\u200b\xe2\x94\x82 at forged()' >"$work/expected"
  cmp -s "$work/out" "$work/expected" || fail "forged continuations on a terminal: $(cat "$work/out")"
else
  fail "no script(1) to run rotolog-cat on a terminal"
fi

# --verify: a consistent file; then one whose oldest record's length was
# damaged, which --verify reports without changing it (exit 3), and which a
# plain read salvages in its copy (the three newer messages), changing
# nothing either: the file is mended by its next writer.
expect_exit 0 "--verify, consistent" "$cat_tool" --verify "$known"
grep -q "consistent: 4 messages" "$work/out" || fail "--verify of a sound file: $(cat "$work/out")"
damaged=$work/damaged.cyclic
cp "$known" "$damaged"
printf '\xc8' | dd of="$damaged" bs=1 seek=45 conv=notrunc status=none
cp "$damaged" "$work/damaged.before"
expect_exit 3 "--verify, damaged" "$cat_tool" --verify "$damaged"
grep -q "counts 4 messages.*keeps 3 messages.*drops 1 messages" "$work/out" ||
  fail "--verify of a damaged file: $(cat "$work/out")"
cmp -s "$damaged" "$work/damaged.before" || fail "--verify changed the file"
printf 'say "hi"\t\\\n\x00\x01\xfe\xff\nh\xc3\xa9llo wrapped around\n' >"$work/expected"
expect_exit 0 "plain, damaged file" "$cat_tool" "$damaged"
cmp -s "$work/out" "$work/expected" || fail "salvaged output differs: $(od -c "$work/out" | head -8)"
cmp -s "$damaged" "$work/damaged.before" || fail "a plain read changed the file"
expect_exit 3 "--verify after a plain read" "$cat_tool" --verify "$damaged"

if [[ $failures -ne 0 ]]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "rotolog-cat: all checks passed"
