#!/usr/bin/env bash
# tools/soak on a suite of its own making, whose tests pass, fail now and
# then, fail always, time out and crash: the table counts each failure, names
# how it ended and why, keeps its output, and the last line adds them up.
#
#   tests/soak_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "soak_test: $*" >&2
  failures=$((failures + 1))
}

mkdir -p "$work/suite"
cat >"$work/suite/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(suite NONE)
enable_testing()
add_test(NAME passes COMMAND true)
# Fails in the first run only: a mark file says it ran before.
add_test(NAME flaky COMMAND sh -c "if [ -e flaky.ran ]; then exit 0; fi; touch flaky.ran; echo '/t/flaky.cpp:9: Failure'; echo Failed; echo 'cannot start x.exe (error 1359)'; exit 1")
add_test(NAME always COMMAND sh -c "echo 'Expected: 2'; echo 'a line that says nothing'; exit 1")
add_test(NAME hangs COMMAND sleep 30)
set_tests_properties(hangs PROPERTIES TIMEOUT 1)
add_test(NAME crashes COMMAND sh -c "kill -SEGV \$\$")
add_test(NAME skipped COMMAND sh -c "echo '[  SKIPPED ]'")
set_tests_properties(skipped PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED")
CMAKE
cmake -S "$work/suite" -B "$work/build" >/dev/null || fail "the suite does not configure"

"$src/tools/soak" --runs 2 --test-dir "$work/build" --load 1 --out "$work/out" >"$work/said" 2>&1
rc=$?
[ "$rc" = 1 ] || fail "soak exited $rc with failures"
row() {  # row TIMES ENDED TEST WHY: the table has that row
  grep -qE "^$1 +build +$2 +$3: $4$" "$work/said" || fail "no row: $*"
}
row 2 Failed always "a line that says nothing"
row 2 Timeout hangs '\(it printed nothing; ctest: Timeout\)'
row 2 SEGFAULT crashes '\(it printed nothing; ctest: SEGFAULT\)'
row 1 Failed flaky 'cannot start x.exe \(error 1359\)'
grep -q 'passes' "$work/said" && fail "a test that passed is in the table"
[ "$(tail -n 1 "$work/said")" = "soak: 2 runs, 10 test runs, 7 failures" ] ||
  fail "the last line: $(tail -n 1 "$work/said")"
[ "$(ls "$work/out"/run*-build-*.txt | wc -l)" = 7 ] || fail "not every failure's output was kept"
grep -q 'cannot start x.exe' "$work/out/run1-build-flaky.txt" || fail "the flaky test's output is lost"
pgrep -f "soak-load:$work/out" >/dev/null && fail "the load outlived the soak"

"$src/tools/soak" --runs 1 --test-dir "$work/build" --out "$work/quiet" -- -R passes >"$work/said" 2>&1 ||
  fail "a soak of passing tests failed: $(cat "$work/said")"
[ "$(tail -n 1 "$work/said")" = "soak: 1 runs, 1 test runs, 0 failures" ] ||
  fail "the last line: $(tail -n 1 "$work/said")"

echo "soak_test: $failures failed"
[ "$failures" -eq 0 ]
