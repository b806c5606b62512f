#!/usr/bin/env bash
# Every test: set up, build, and run the whole suite under Wine on both
# architectures, x86_64 (build/) and then i686 (build-i686/, the device's data
# layout), each ending with the test runner's summary.
#
#   ./test.sh [--arch x86_64|i686|both] [CTEST ARGUMENTS...]
#
# The other arguments go to ctest, for example ./test.sh --arch i686 -R radio.
# Each architecture's build and test times are recorded in its build folder's
# times.json, which rendak-bench reports (docs/performance-scale.md).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
arch=both
if [ "${1:-}" = --arch ]; then
  arch=${2:-}
  shift 2 || true
fi
case $arch in
  x86_64 | i686) archs=("$arch") ;;
  both) archs=(x86_64 i686) ;;
  *) echo "usage: ./test.sh [--arch x86_64|i686|both] [CTEST ARGUMENTS...]" >&2; exit 2 ;;
esac
cd "$root"

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
# A JSON string of the text (quotes and backslashes escaped).
json_string() { local s=${1//\\/\\\\}; printf '"%s"' "${s//\"/\\\"}"; }

status=0
for a in "${archs[@]}"; do
  preset=default build=build
  [ "$a" = i686 ] && preset=i686 build=build-i686
  start=$(now)
  "$root/tools/setup" --arch "$a" >/dev/null
  built=$(now)
  echo "test.sh: the $a suite (ctest --preset $preset)"
  log=$build/ctest.log
  code=0
  ctest --preset "$preset" "$@" | tee "$log" || code=$?
  [ "$code" = 0 ] || status=$code
  tested=$(now)
  # From ctest's summary: "N% tests passed, F tests failed out of T".
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  tests=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"${summary:-out of -1}")
  failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"${summary:-, -1 tests failed}")
  ubsan=$(sed -nE 's/.*reliability\.ubsan\.build \.+.* ([0-9.]+) sec$/\1/p' "$log" | tail -1)
  cat >"$build/times.json" <<JSON
{"arch": "$a", "build_seconds": $(seconds "$start" "$built"), "test_seconds": $(seconds "$built" "$tested"), "ubsan_build_seconds": ${ubsan:--1}, "tests": $tests, "failed": $failed, "ctest_arguments": $(json_string "$*"), "finished": "$(date -u +%Y-%m-%dT%H:%M:%SZ)"}
JSON
done
exit $status
