#!/usr/bin/env bash
# The suite's recorded times from end to end: tools/bench/record-times writes
# times.json from what ctest printed, and rendak-bench --suite-times reads
# every build folder's and reports them, each and summed.
#
#   tests/suite_times_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
record=$src/tools/bench/record-times
checkout=$(mktemp -d "$build/suite-times.XXXXXX")
trap 'rm -rf "$checkout"' EXIT
failures=0
expect() {  # expect LINE: the report holds the line as it is
  grep -qxF -- "$1" <<<"$report" || { echo "suite_times_test: no line: $1" >&2; failures=$((failures + 1)); }
}

# A whole suite that passed, with the checked build among its tests.
mkdir -p "$checkout/build" "$checkout/build-i686" "$checkout/docs"
cat >"$checkout/build/ctest.log" <<'LOG'
        Start 240: reliability.ubsan.build
  1/242 Test #240: reliability.ubsan.build .......................   Passed   95.32 sec
242/242 Test #232: wineserver.stop ...............................   Passed    0.85 sec

100% tests passed, 0 tests failed out of 242
LOG
"$record" "$checkout/build" x86_64 100.25 104.75 700.25 "$checkout/build/ctest.log"
# A subset with a failure, run with arguments that JSON must quote.
cat >"$checkout/build-i686/ctest.log" <<'LOG'
97% tests passed, 1 tests failed out of 30
LOG
"$record" "$checkout/build-i686" i686 0 60 90.5 "$checkout/build-i686/ctest.log" -R 'say "on"\'
# A run that ctest ended before its summary: the counts are unknown, not 0.
mkdir -p "$checkout/build-broken"
: >"$checkout/build-broken/ctest.log"
"$record" "$checkout/build-broken" arm 0 1 2 "$checkout/build-broken/ctest.log"
grep -q '"tests": -1, "failed": -1,' "$checkout/build-broken/times.json" ||
  { echo "suite_times_test: a missing summary is not -1" >&2; failures=$((failures + 1)); }
rm -r "$checkout/build-broken"

report=$("$src/tools/wine-run" --test "$build" "$build/bin/rendak-bench.exe" --suite-times \
  "Z:${checkout//\//\\}" | tr -d '\r')
expect "suite.x86_64.build-seconds: 4.50 s (goal none set; ./test.sh's build, finished $(sed -E 's/.*"finished": "([^"]+)".*/\1/' "$checkout/build/times.json"))"
expect "suite.x86_64.test-seconds: 595.50 s (goal none set; the whole suite, 242 tests, 0 failed; of it the UB-checked build 95 s)"
expect "suite.i686.test-seconds: 30.50 s (goal none set; ctest -R say \"on\"\\, 30 tests, 1 failed)"
# The sums name the architectures in the order the folders were found.
archs=$(grep -oE 'x86_64 and i686|i686 and x86_64' <<<"$report" | head -1)
expect "suite.build-seconds: 64.50 s (goal none set; $archs)"
expect "suite.test-seconds: 626.00 s (goal none set; $archs)"
# A checkout without records says so.
report=$("$src/tools/wine-run" --test "$build" "$build/bin/rendak-bench.exe" --suite-times \
  "Z:${checkout//\//\\}\\docs" | tr -d '\r')
expect "suite.build-seconds: 0.00 n/a (goal none set; no times.json: ./test.sh records them in each build folder)"
# A suite that this machine could not run: what ran instead, and why.
mkdir -p "$checkout/elsewhere/build-i686"
echo "100% tests passed, 0 tests failed out of 8" >"$checkout/elsewhere/build-i686/ctest.log"
"$record" --not-run "the i686 Wine cannot run here" "$checkout/elsewhere/build-i686" i686 0 50 52 \
  "$checkout/elsewhere/build-i686/ctest.log"
report=$("$src/tools/wine-run" --test "$build" "$build/bin/rendak-bench.exe" --suite-times \
  "Z:${checkout//\//\\}\\elsewhere" | tr -d '\r')
expect "suite.i686.test-seconds: 2.00 s (goal none set; its PE checks only (the i686 Wine cannot run here), 8 tests, 0 failed)"
[ "$failures" = 0 ] || { printf '%s\n' "$report" >&2; exit 1; }
echo "suite_times_test: ok"
