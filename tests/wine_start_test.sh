#!/usr/bin/env bash
# Every start of a Windows program finds the addresses it needs free. Wine
# must reserve them (its shared data at 0x7FFE0000 among them) before the
# host maps anything there; its preloader does, first thing. Without the
# preloader (Debian ships it apart), Wine reserves them only after the
# host's loader and heap are in place, and a heap placed at random on one
# of them ends the start with exit code 1, said only on Wine's error
# channel: about one start in a thousand, a test failing without a word, or
# a child making CreateProcess fail with error 1359.
#
#   tests/wine_start_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "wine_start_test: $*" >&2
  failures=$((failures + 1))
}

# Each installed Wine has its preloader beside it.
for arch in x86_64 i686; do
  loader=$("$src/tools/wine-probe" --loader "$arch")
  [ -x "$loader" ] || continue
  case $arch in
    x86_64) preloader=$(dirname "$loader")/wine64-preloader package=wine64-preloader ;;
    i686) preloader=$(dirname "$loader")/wine-preloader package=wine32-preloader:i386 ;;
  esac
  [ -x "$preloader" ] ||
    fail "the $arch Wine has no preloader ($preloader; Debian package $package; tools/setup installs it)"
done

# The host's heap, made to lie where Wine's shared data goes: a library
# loaded before anything else of the host's maps a page there. The program
# must start and pass all the same.
cat >"$work/taken.c" <<'C'
#define _GNU_SOURCE
#include <sys/mman.h>
__attribute__((constructor)) static void take(void)
{
    mmap((void *)0x7ffe0000, 0x10000, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
}
C
if ! gcc -shared -fPIC -o "$work/taken.so" "$work/taken.c" 2>"$work/cc.err"; then
  fail "the host library could not be built: $(cat "$work/cc.err")"
else
  status=0
  LD_PRELOAD=$work/taken.so WINEDEBUG=-all,err+all "$src/tools/wine-run" --test "$build" \
    "$build/bin/platform_tests.exe" --gtest_filter=Platform.FactoryImage >"$work/out" 2>&1 || status=$?
  if [ "$status" != 0 ] || ! grep -q '^\[  PASSED  \] 1 test' "$work/out"; then
    fail "a program whose host mapped a page at 0x7FFE0000 first did not start (status $status): $(grep -v '^\[' "$work/out" | head -n 3)"
  fi
fi
echo "wine_start_test: $failures failed"
[ "$failures" -eq 0 ]
