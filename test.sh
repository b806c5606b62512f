#!/usr/bin/env bash
# Every test: set up, build, and run the whole suite under Wine on both
# architectures, x86_64 (build/) and then i686 (build-i686/, the device's data
# layout), each ending with the test runner's summary.
#
#   ./test.sh [--arch x86_64|i686|both] [CTEST ARGUMENTS...]
#
# The other arguments go to ctest, for example ./test.sh --arch i686 -R radio.
# Each architecture's build and test times are recorded in its build folder's
# times.json (tools/bench/record-times), which rendak-bench reports.
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
  "$root/tools/bench/record-times" "$build" "$a" "$start" "$built" "$tested" "$log" "$@"
done
exit $status
