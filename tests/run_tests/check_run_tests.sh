#!/usr/bin/env bash
# scripts/run-tests (make test) on a small ctest project of its own: a test
# that passes, one that fails with output, one that times out, a GoogleTest
# skip and a skip by exit code. Only the failures (with their output), the
# skips with their reasons and one summary line may show, and the status
# must be ctest's.
#   check_run_tests.sh SOURCE_DIR
set -euo pipefail
export LC_ALL=C
run_tests=$1/scripts/run-tests
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "check_run_tests: $*" >&2
  echo "--- what run-tests printed:" >&2
  cat "$work/out" >&2 || true
  exit 1
}

mkdir "$work/project"
cat >"$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(run_tests_fixture NONE)
enable_testing()
add_test(NAME passes COMMAND sh -c "echo all fine")
add_test(NAME fails COMMAND sh -c "echo 'expected 3, got 4'; echo; echo 'at the end' >&2; exit 1")
add_test(NAME hangs COMMAND sleep 30)
set_tests_properties(hangs PROPERTIES TIMEOUT 1)
# As GoogleTest prints a GTEST_SKIP() << "needs root, to mount a tmpfs".
add_test(NAME gtest_skip COMMAND printf "%s\n" "[ RUN      ] Suite.Case"
  "case_test.cpp:12: Skipped" "needs root, to mount a tmpfs" "" "[  SKIPPED ] Suite.Case (0 ms)")
set_tests_properties(gtest_skip PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
add_test(NAME code_skip COMMAND sh -c "echo 'no IPv6 on this machine'; exit 77")
set_tests_properties(code_skip PROPERTIES SKIP_RETURN_CODE 77)
CMAKE
cmake -S "$work/project" -B "$work/build" >/dev/null

status=0
"$run_tests" --test-dir "$work/build" --output-on-failure -j2 >"$work/out" 2>&1 || status=$?
[[ $status -eq 8 ]] || fail "status $status, not ctest's 8"
expected_lines=(
  "FAILED  fails: Failed"
  "expected 3, got 4"
  "at the end"
  "FAILED  hangs: Timeout"
  "skipped code_skip: no IPv6 on this machine"
  "skipped gtest_skip: needs root, to mount a tmpfs"
  "tests: 1 passed, 2 failed, 2 skipped, of 5 in "
)
for line in "${expected_lines[@]}"; do
  grep -qF -- "$line" "$work/out" || fail "no line '$line'"
done
# The failure's output keeps its inner blank line, and nothing else is left.
grep -vxF -e "" -e "${expected_lines[0]}" -e "${expected_lines[1]}" -e "${expected_lines[2]}" \
  -e "${expected_lines[3]}" -e "${expected_lines[4]}" -e "${expected_lines[5]}" "$work/out" |
  grep -v '^tests: ' >"$work/rest" || true
[[ ! -s $work/rest ]] || fail "lines that should not show: $(cat "$work/rest")"
[[ $(grep -c '^$' "$work/out") -eq 1 ]] || fail "blank lines other than the failure's own"
[[ $(tail -1 "$work/out") == "tests: "* ]] || fail "the summary is not the last line"

# When everything passes: the summary line alone, and status 0.
"$run_tests" --test-dir "$work/build" -R '^passes$' >"$work/out" 2>&1 || fail "status $? for a passing run"
[[ $(wc -l <"$work/out") -eq 1 && $(cat "$work/out") == "tests: 1 passed, 0 failed, 0 skipped, of 1 in "* ]] ||
  fail "a passing run printed more than its summary"

# An error of ctest itself reaches the reader, with ctest's status.
status=0
"$run_tests" --test-dir "$work/build" -R '^no such test$' --no-tests=error >"$work/out" 2>&1 || status=$?
[[ $status -ne 0 ]] || fail "a run that found no test passed"
grep -q "No tests were found" "$work/out" || fail "ctest's own error was hidden"
# Every skip of the suite says why, so that its line above is not empty.
bare=$(grep -rn --include='*.cpp' --include='*.h' 'GTEST_SKIP()' "$1/tests" | grep -v 'GTEST_SKIP() <<' || true)
[[ -z $bare ]] || fail "GTEST_SKIP without a reason: $bare"
echo "run-tests: failures with their output, skips with their reasons, one summary"
