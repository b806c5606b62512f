#!/usr/bin/env bash
# Two pictures taken at the same moment, of a build whose screenshot prefix
# does not exist yet, both come out: the first run makes the prefix (under
# tools/wine-run's lock of it, which the pictures' own lock must not be), and
# each run ends by stopping the prefix's wineserver, which must not take the
# other run's window with it (the panel's test and the docs' test take theirs
# side by side).
#
#   tests/screenshots_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d)
fresh=$work/build
cleanup() {
  [ -d "$fresh/wine/screenshot" ] && WINEPREFIX=$fresh/wine/screenshot /usr/lib/wine/wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# The build's programs in a folder of their own, as on a fresh clone.
mkdir -p "$fresh"
ln -s "$build/bin" "$fresh/bin"
failures=0

# A run that waits on itself never ends; the bound says so before ctest's.
timeout 200 "$src/tools/screenshot" --build "$fresh" --out "$work/panel.png" --seconds 60 >"$work/panel.out" 2>&1 &
panel=$!
timeout 200 "$src/tools/screenshot-console" --build "$fresh" --out "$work/console.png" --seconds 60 >"$work/console.out" 2>&1 &
console=$!
for run in panel console; do
  pid=${!run}
  wait "$pid"
  rc=$?
  if [ "$rc" = 124 ]; then
    echo "screenshots_test: the $run's picture never came: tools/screenshot still ran after 200 s" >&2
    failures=$((failures + 1))
  elif [ "$rc" != 0 ]; then
    echo "screenshots_test: the $run's picture failed ($rc): $(cat "$work/$run.out")" >&2
    failures=$((failures + 1))
  elif [ "$(convert "$work/$run.png" -format %k info: 2>/dev/null || echo 0)" -lt 8 ]; then
    echo "screenshots_test: the $run's picture is blank" >&2
    failures=$((failures + 1))
  fi
done
echo "screenshots_test: $failures failed"
[ "$failures" -eq 0 ]
