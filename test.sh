#!/usr/bin/env bash
# Every test: set up, build, and run the whole suite under Wine on both
# architectures, x86_64 (build/) and then i686 (build-i686/, the device's data
# layout), each ending with the test runner's summary.
#
#   ./test.sh [--arch x86_64|i686|both] [CTEST ARGUMENTS...]
#
# The other arguments go to ctest, for example ./test.sh --arch i686 -R radio.
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
"$root/tools/setup" --arch "$arch" >/dev/null
cd "$root"
status=0
for a in "${archs[@]}"; do
  preset=default
  [ "$a" = i686 ] && preset=i686
  echo "test.sh: the $a suite (ctest --preset $preset)"
  ctest --preset "$preset" "$@" || status=$?
done
exit $status
