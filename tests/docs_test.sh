#!/usr/bin/env bash
# Runs every command that README.md and docs/*.md show, as written, so the
# documentation cannot drift from the programs.
#
#   tests/docs_test.sh SOURCE_DIR BUILD_DIR
#
# Commands are the lines of ```sh blocks, and indented lines that start with
# "tools/", "./", "cmake " or "ctest ". Each block runs as one script from the
# top of the checkout (a variable set on one line holds for the next), in the
# build's test prefix on the virtual clock; its devices are the docs' own
# ("lab", "default"), made afresh for each document. A command must exit 0, or the code
# its trailing "# exits N" comment gives. The few commands that cannot run
# inside a test run (they build, run the whole suite, or open a window until
# it is closed) are checked another way, each named in stand_in below.
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
cd "$src"
export WINE_RUN_PREFIX=$build/wine/test WINE_RUN_HEADLESS=1 HANDHELD_CLOCK=virtual
unset HANDHELD_DEVICE HANDHELD_USER HANDHELD_JOURNAL HANDHELD_ANSWERS
failures=0
ran=0

fail() {
  echo "docs_test: $*" >&2
  failures=$((failures + 1))
}

# The check that stands in for a command that is not run here; nothing for
# a command that is run.
stand_in() {
  case "$1" in
    ./run.sh*) echo '[ -x run.sh ] && bash -n run.sh' ;;
    ./test.sh*) echo '[ -x test.sh ] && bash -n test.sh' ;;
    "cmake --preset default && cmake --build --preset default && ctest --preset default" | \
    "cmake --preset i686 && cmake --build --preset i686 && ctest --preset i686")
      # The presets exist and the suite is listed (running it would run this test).
      preset=${1#cmake --preset }
      preset=${preset%% *}
      echo "cmake --list-presets | grep -q '\"$preset\"' && ctest --test-dir \"\$build\" -N" ;;
    "cmake --build build --target rendak-bench" | "tools/wine-run build/bin/rendak-bench.exe")
      # 35 s of timing on a machine the suite keeps busy: built, not run.
      echo '[ -f "$build/bin/rendak-bench.exe" ]' ;;
    "tools/wine-run build/bin/handheld-console.exe --device lab")
      # A window that stays until it is closed; its actions are run as --act.
      echo '[ -f "$build/bin/handheld-console.exe" ]' ;;
  esac
}

# The devices the docs use start from their factory state.
reset_device() {
  tools/wine-run reg delete "HKCU\\Software\\Handheld\\Devices\\$1" /f >/dev/null 2>&1
  rm -rf "$WINE_RUN_PREFIX/drive_c/Handheld/$1"
}

# Prints each block as a script, blocks ended by a \036; commands are marked
# so their exits are checked.
extract() {
  awk -v file="$1" '
    function flush() { if (script != "") { printf "%s\036", script; script = "" } }
    function command(line,   code) {
      code = 0
      if (match(line, /# exits [0-9]+$/)) { code = substr(line, RSTART + 8); line = substr(line, 1, RSTART - 1) }
      sub(/[ \t]+#.*$/, "", line)
      sub(/[ \t]+$/, "", line)
      script = script "run_doc " code " " file " " quote(line) "\n"
    }
    function quote(s) { gsub(/\047/, "\047\\\047\047", s); return "\047" s "\047" }
    /^[ \t]*```(sh|bash)[ \t]*$/ { inblock = 1; pending = ""; next }
    /^[ \t]*```/ && inblock { inblock = 0; flush(); next }
    inblock {
      line = $0
      sub(/^[ \t]+/, "", line)
      if (pending != "") { line = pending " " line; pending = "" }
      if (line ~ /\\$/) { sub(/[ \t]*\\$/, "", line); pending = line; next }
      if (line ~ /^[ \t]*(#|$)/) next
      if (line ~ /^[A-Za-z_]+=[^ ]*$/ || line ~ /^[A-Za-z_]+="[^"]*"$/) { script = script "export " line "\n"; next }
      command(line); next
    }
    /^    (tools\/|\.\/|cmake |ctest )/ { line = $0; sub(/^    /, "", line); command(line); flush() }
    END { flush() }
  ' "$1"
}

run_doc() {
  local expected=$1 file=$2 command=$3 check rc out
  ran=$((ran + 1))
  check=$(stand_in "$command")
  if [ -n "$check" ]; then
    if ! out=$(eval "$check" 2>&1); then
      fail "$file: the check standing in for \"$command\" failed: $out"
    fi
    return
  fi
  # A command that does not end fails here, not at the whole test's time-out.
  out=$(timeout 120 bash -c "${command//build\/bin\//$build/bin/}" 2>&1 </dev/null)
  rc=$?
  if [ "$rc" != "$expected" ]; then
    fail "$file: \"$command\" exited $rc, the docs say $expected:"
    printf '%s\n' "$out" | tail -n 15 >&2
  fi
}

for doc in README.md docs/*.md; do
  # Each document's examples start from the factory state.
  for device in lab default; do
    reset_device "$device"
  done
  while IFS= read -r -d $'\036' script; do
    eval "$script"
  done < <(extract "$doc")
done
for device in lab default; do
  reset_device "$device"
done
echo "docs_test: $ran commands, $failures failed"
[ "$ran" -gt 0 ] && [ "$failures" -eq 0 ]
