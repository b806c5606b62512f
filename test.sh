#!/usr/bin/env bash
# Every test: set up, build, and run the whole suite under Wine on both
# architectures, x86_64 (build/) and then i686 (build-i686/, the device's data
# layout), each ending with the test runner's summary.
#
#   ./test.sh [--arch x86_64|i686|both] [CTEST ARGUMENTS...]
#
# The other arguments go to ctest, for example ./test.sh --arch i686 -R radio.
# Both architectures are always built: cross-compiling runs nothing. Where this
# machine cannot run an architecture's Wine (tools/wine-probe: some kernels run
# no 32-bit programs), its suite cannot run; what of it needs no execution
# still does: its record sizes, checked as it compiles, and its binaries' PE
# checks, read by the other build's arch_tests. The last lines say what ran,
# what did not, and why; the exit code is that of what ran.
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
preset_of() { [ "$1" = i686 ] && echo i686 || echo default; }
build_of() { [ "$1" = i686 ] && echo build-i686 || echo build; }
other_of() { [ "$1" = i686 ] && echo x86_64 || echo i686; }
# What ctest's summary said, as record-times kept it in times.json.
counts_of() {
  sed -nE 's/.*"tests": ([0-9]+), "failed": ([0-9]+),.*/\1 tests, \2 failed/p' "$1/times.json" |
    grep . || echo "ended without ctest's summary"
}

# Both builds first: a suite's PE checks read the other build's binaries.
declare -A start built
for a in x86_64 i686; do
  start[$a]=$(now)
  "$root/tools/setup" --arch "$a" >/dev/null
  built[$a]=$(now)
done

status=0 ran=() not_run=() log=
trap '[ -z "$log" ] || rm -f "$log"' EXIT
for a in "${archs[@]}"; do
  preset=$(preset_of "$a") build=$(build_of "$a") other=$(other_of "$a")
  # What ctest prints goes to a file of this run's own, put in place at the
  # end: a test of this script runs it again while the suite still runs.
  log=$(mktemp "$build/ctest.log.XXXXXX")
  code=0 reason= what=
  if reason=$("$root/tools/wine-probe" "$a"); then
    echo "test.sh: the $a suite (ctest --preset $preset)"
    ctest --preset "$preset" "$@" | tee "$log" || code=$?
    what="the $a suite"
  else
    echo "test.sh: the $a suite cannot run here: $reason"
    not_run+=("the $a suite: $reason")
    what="the $a build's record sizes (checked as it compiled)"
    if "$root/tools/wine-probe" "$other" >/dev/null; then
      echo "test.sh: the $a build's checks that need no $a program: its PE files, read by the $other build's arch_tests"
      ctest --preset "$(preset_of "$other")" --no-tests=error -R "^arch_tests\\.Build/[^ ]*/$a( |\$)" |
        tee "$log" || code=$?
      what+=" and its PE checks"
    else
      : >"$log"
      not_run+=("the $a build's PE checks: the $other Wine cannot run here either")
    fi
  fi
  [ "$code" = 0 ] || status=$code
  mv "$log" "$build/ctest.log"
  log=
  "$root/tools/bench/record-times" ${reason:+--not-run "$reason"} \
    "$build" "$a" "${start[$a]}" "${built[$a]}" "$(now)" "$build/ctest.log" "$@"
  ran+=("$what ($(counts_of "$build"))")
done

# The last lines: what ran, and what did not and why.
echo "test.sh: ran: $(printf '%s; ' "${ran[@]}" | sed 's/; $//')"
[ ${#not_run[@]} = 0 ] || echo "test.sh: did not run: $(printf '%s; ' "${not_run[@]}" | sed 's/; $//')"
exit $status
