#!/usr/bin/env bash
# Every test: set up, build, and run the whole suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$root/tools/setup" >/dev/null
cd "$root"
exec ctest --preset default "$@"
