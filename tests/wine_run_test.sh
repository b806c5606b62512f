#!/usr/bin/env bash
# A test program that crashes is not silent: the handheld names the program,
# the exception and where, the runner names the exit status it ended with,
# and the status is the exception's (an access violation's low byte, 5), not
# a test program's verdict of 0 or 1. And one that ends with 0 before it says
# that its tests passed has not passed.
#
#   tests/wine_run_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "wine_run_test: $*" >&2
  failures=$((failures + 1))
}

status=0
"$src/tools/wine-run" --test "$build" "$build/bin/platform_tests.exe" \
  --gtest_filter=PlatformChild.Crashes >/dev/null 2>"$work/err" || status=$?
[ "$status" = 5 ] || fail "the crashing program ended with status $status, not 5"
grep -q '^handheld: platform_tests.exe crashed: exception 0xC0000005 (an access violation) at .* (platform_tests.exe+0x[0-9a-f]*) in thread [0-9]*; it ends with that code$' "$work/err" ||
  fail "the handheld did not say how the program crashed"
grep -qx 'wine-run: platform_tests.exe ended with exit status 5 (the low byte of its exit code)' "$work/err" ||
  fail "the runner did not say how the program ended"
[ "$failures" -eq 0 ] || { echo "what it printed on standard error:" >&2; cat "$work/err" >&2; }

# A test program that ends with 0 before its end has not passed.
status=0
"$src/tools/wine-run" --test "$build" "$build/bin/platform_tests.exe" \
  --gtest_filter=PlatformChild.EndsWithZeroBeforeItsEnd >/dev/null 2>"$work/err" || status=$?
[ "$status" = 1 ] || fail "a test program that ended with 0 before its end gave status $status, not 1"
grep -qx 'wine-run: platform_tests.exe ended with exit status 0 before it said that its tests passed' "$work/err" ||
  fail "the runner did not say that the program ended before its end: $(cat "$work/err")"
echo "wine_run_test: $failures failed"
[ "$failures" -eq 0 ]
