#!/usr/bin/env bash
# The path of a machine that cannot run 32-bit programs, forced on any machine
# with WINE_PROBE_CANNOT=i686: the runner refuses with the reason, ./run.sh
# runs the x86_64 build and says why, ./test.sh runs what of the i686 build
# needs no execution and says what it did not run. And the runner's prefix is
# marked ready only once it was made whole.
#
#   tests/machines_test.sh runner|test-sh SOURCE_DIR X86_64_BUILD_DIR I686_BUILD_DIR
#
# "runner": the probe, tools/wine-run and its prefix, and ./run.sh. "test-sh":
# ./test.sh --arch i686, whose x86_64 checks start and stop that build's
# wineserver, so it runs beside the i686 suite, not the x86_64 one; the i686
# build's records that it rewrites are put back afterwards. Each runs the
# checkout's scripts as a person does (they find both builds up to date).
set -uo pipefail
mode=$1
src=$(cd "$2" && pwd)
build=$(cd "$3" && pwd)
i686=$(cd "$4" && pwd)
work=$(mktemp -d)
failures=0
fail() {
  echo "machines_test: $*" >&2
  failures=$((failures + 1))
}
for record in ctest.log times.json; do
  [ -f "$i686/$record" ] && cp "$i686/$record" "$work/$record"
done
cleanup() {
  for record in ctest.log times.json; do
    if [ -f "$work/$record" ]; then cp "$work/$record" "$i686/$record"; else rm -f "$i686/$record"; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$src"
forced="WINE_PROBE_CANNOT=i686 says this machine cannot run the i686 Wine"

runner() {
# --- The probe and the runner ---------------------------------------------------
WINE_PROBE_CANNOT=i686 tools/wine-probe i686 >"$work/probe.out"
rc=$?
[ "$rc" = 1 ] && [ "$(cat "$work/probe.out")" = "$forced" ] ||
  fail "the forced probe of i686 gave $rc: $(cat "$work/probe.out")"
WINE_PROBE_CANNOT=i686 tools/wine-probe x86_64 || fail "forcing i686 also stopped x86_64"

WINE_PROBE_CANNOT=i686 tools/wine-run "$i686/bin/rendakctl.exe" --help >"$work/run.out" 2>"$work/run.err"
rc=$?
[ "$rc" = 126 ] || fail "wine-run of an i686 program exited $rc, not 126"
[ ! -s "$work/run.out" ] || fail "wine-run ran the i686 program: $(head -n 3 "$work/run.out")"
[ "$(cat "$work/run.err")" = "wine-run: cannot run $i686/bin/rendakctl.exe: $forced" ] ||
  fail "wine-run did not say why in one line: $(cat "$work/run.err")"

# A kernel that runs no 32-bit programs: its loader cannot even be executed.
printf '\177ELF\001\001\001 not a program' >"$work/elf32"
chmod +x "$work/elf32"
WINE_RUN_LOADER_I686="$work/elf32" tools/wine-run "$i686/bin/rendakctl.exe" --help 2>"$work/run.err"
rc=$?
[ "$rc" = 126 ] && grep -qF "cannot run $i686/bin/rendakctl.exe: this machine's kernel runs no 32-bit programs ($work/elf32 --version: Exec format error)" "$work/run.err" ||
  fail "an i686 Wine that cannot be executed gave $rc: $(cat "$work/run.err")"

# --- A prefix is ready only once made whole ---------------------------------------
# A Wine of our own whose first boot or registry import fails when told to.
cat >"$work/wine" <<'FAKE'
#!/bin/sh
case $1 in
  --version) echo wine-test ;;
  wineboot) mkdir -p "$WINEPREFIX"; [ ! -f "$FAKE/boot-fails" ] || { echo "wineboot: no boot" >&2; exit 1; } ;;
  regedit) ;;
  reg) [ ! -f "$FAKE/registry-fails" ] ;;
  *) echo "ran $*" ;;
esac
FAKE
chmod +x "$work/wine"
prefix=$work/prefix
fake_run() {
  env -u WINE_RUN_HEADLESS FAKE="$work" WINE_RUN_LOADER_X86_64="$work/wine" WINE_RUN_PREFIX="$prefix" \
    tools/wine-run --arch x86_64 cmd /c exit >"$work/fake.out" 2>"$work/fake.err"
}
touch "$work/boot-fails"
fake_run && fail "wine-run went on after a failed boot"
grep -q "was not made: wineboot failed: wineboot: no boot" "$work/fake.err" ||
  fail "a failed boot was not said: $(cat "$work/fake.err")"
[ ! -e "$prefix/.handheld-ready" ] || fail "a prefix whose boot failed was marked ready"
touch "$prefix/half-made"
rm "$work/boot-fails"
touch "$work/registry-fails"
fake_run && fail "wine-run went on after the registry import failed"
[ ! -e "$prefix/.handheld-ready" ] || fail "a prefix without its registry settings was marked ready"
rm "$work/registry-fails"
fake_run || fail "a prefix that could be made was not: $(cat "$work/fake.err")"
[ "$(cat "$work/fake.out")" = "ran cmd /c exit" ] || fail "the program did not run: $(cat "$work/fake.out")"
[ -e "$prefix/.handheld-ready" ] || fail "a prefix made whole was not marked ready"
[ ! -e "$prefix/half-made" ] || fail "a half-made prefix was not made again from nothing"

# --- ./run.sh ---------------------------------------------------------------------
WINE_PROBE_CANNOT=i686 ./run.sh --arch i686 >"$work/refused.out" 2>"$work/refused.err"
rc=$?
[ "$rc" = 2 ] || fail "run.sh --arch i686 exited $rc, not 2"
grep -qF "run.sh: cannot run the i686 build here: $forced" "$work/refused.err" ||
  fail "run.sh --arch i686 did not say why: $(cat "$work/refused.err")"

env -u DISPLAY WINE_PROBE_CANNOT=i686 ./run.sh >"$work/main.out" 2>"$work/main.err"
rc=$?
[ "$rc" = 0 ] || fail "run.sh exited $rc: $(tail -n 5 "$work/main.err")"
[ "$(grep -c 'running the x86_64 build' "$work/main.err")" = 1 ] ||
  fail "run.sh did not say once what it runs: $(cat "$work/main.err")"
grep -qF "run.sh: running the x86_64 build (build/): $forced; on a machine that runs 32-bit programs, ./run.sh runs the i686 build" "$work/main.err" ||
  fail "run.sh's line lacks why or what brings the i686 build: $(cat "$work/main.err")"
for picture in panel console; do
  png=$build/screenshots/$picture.png
  grep -qF "$png" "$work/main.out" || fail "run.sh did not name $png: $(cat "$work/main.out")"
  [ "$(head -c 4 "$png" 2>/dev/null | tail -c 3)" = PNG ] && [ "$png" -nt "$work/refused.err" ] ||
    fail "$png was not made by this run"
done

}

test_sh() {
# --- ./test.sh ----------------------------------------------------------------------
WINE_PROBE_CANNOT=i686 ./test.sh --arch i686 >"$work/test.out" 2>&1
rc=$?
[ "$rc" = 0 ] || fail "test.sh --arch i686 exited $rc: $(tail -n 5 "$work/test.out")"
grep -qF "test.sh: the i686 suite cannot run here: $forced" "$work/test.out" ||
  fail "test.sh did not say why the i686 suite cannot run"
last=$(tail -n 2 "$work/test.out")
expected="test.sh: ran: the i686 build's record sizes (checked as it compiled) and its PE checks (8 tests, 0 failed)
test.sh: did not run: the i686 suite: $forced"
[ "$last" = "$expected" ] || fail "test.sh's last lines are not what ran and what did not:
$last"
grep -q '"not_run": "WINE_PROBE_CANNOT=i686 says' "$i686/times.json" ||
  fail "the i686 record does not say the suite did not run: $(cat "$i686/times.json")"

}

case $mode in
  runner) runner ;;
  test-sh) test_sh ;;
  *) echo "usage: tests/machines_test.sh runner|test-sh SOURCE_DIR X86_64_BUILD_DIR I686_BUILD_DIR" >&2; exit 2 ;;
esac
echo "machines_test: $mode: $failures failed"
[ "$failures" -eq 0 ]
