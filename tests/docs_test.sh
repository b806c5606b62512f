#!/usr/bin/env bash
# Runs every command that README.md and docs/*.md show, as written, so the
# documentation cannot drift from the programs.
#
#   tests/docs_test.sh SOURCE_DIR BUILD_DIR [ARCH]
#
# Commands are the lines of ```sh blocks, and indented lines that start with
# "tools/", "./", "cmake " or "ctest ". Each block runs as one script from the
# top of the checkout (a variable set on one line holds for the next), in the
# build's test prefix on the virtual clock; its devices are the docs' own
# ("lab", "default"), made afresh for each document. A command must exit 0, or the code
# its trailing "# exits N" comment gives. A ```text block right after a ```sh
# block is the output of that block's last command: its standard output must
# be that text, line for line. The few commands that cannot run
# inside a test run (they build, run the whole suite, or open a window until
# it is closed) are checked another way, each named in stand_in below.
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
cd "$src"
export WINE_RUN_PREFIX=$build/wine/test WINE_RUN_HEADLESS=1 HANDHELD_CLOCK=virtual
# Programs that are not the build's files (reg, in the docs and in resetting
# their devices) run under the Wine of the build's architecture (x86_64 or i686).
export WINE_RUN_ARCH=${3:-x86_64}
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
    "tools/screenshot --out docs/images/panel.png")
      # The same picture, made in the build folder: the checkout is not changed.
      echo 'tools/screenshot --build "$build" --out "$build/screenshots/docs-panel.png" >/dev/null' ;;
    "tools/wine-run build/bin/handheld-console.exe --device lab")
      # A window that stays until it is closed; its actions are run as --act.
      echo '[ -f "$build/bin/handheld-console.exe" ]' ;;
  esac
}

# The devices the docs use start from their factory state.
reset_device() {
  tools/wine-run --test "$build" reg delete "HKCU\\Software\\Handheld\\Devices\\$1" /f >/dev/null 2>&1
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
      commands++
    }
    function quote(s) { gsub(/\047/, "\047\\\047\047", s); return "\047" s "\047" }
    # After a ```sh block: blank lines, then maybe the ```text block of its output.
    awaiting && /^[ \t]*$/ { next }
    awaiting && /^[ \t]*```text[ \t]*$/ { awaiting = 0; intext = 1; expected = ""; indent = $0; sub(/```.*/, "", indent); next }
    awaiting { awaiting = 0; flush() }
    intext && /^[ \t]*```[ \t]*$/ {
      intext = 0
      # The expected output goes to the last command of the block.
      if (commands > 0) { script = substr(script, 1, length(script) - 1) " " quote(expected) "\n" }
      flush(); next
    }
    intext { line = $0; if (index(line, indent) == 1) line = substr(line, length(indent) + 1); expected = expected line "\n"; next }
    /^[ \t]*```(sh|bash)[ \t]*$/ { inblock = 1; pending = ""; commands = 0; next }
    /^[ \t]*```/ && inblock { inblock = 0; awaiting = 1; next }
    inblock {
      line = $0
      sub(/^[ \t]+/, "", line)
      if (pending != "") { line = pending " " line; pending = "" }
      if (line ~ /\\$/) { sub(/[ \t]*\\$/, "", line); pending = line; next }
      if (line ~ /^[ \t]*(#|$)/) next
      if (line ~ /^[A-Za-z_]+=[^ ]*$/ || line ~ /^[A-Za-z_]+="[^"]*"$/) { script = script "doc_export " quote(line) "\n"; next }
      command(line); next
    }
    /^    (tools\/|\.\/|cmake |ctest )/ { line = $0; sub(/^    /, "", line); command(line); flush() }
    END { flush() }
  ' "$1"
}

# A variable the docs set ("R=\"tools/wine-run build/bin/rendakctl.exe\""), for the
# commands after it; build/bin/ stands for this build's programs, as in commands.
doc_export() {
  eval "export ${1//build\/bin\//$build/bin/}"
}

# run_doc EXIT FILE COMMAND [OUTPUT]: runs COMMAND as the docs write it; with
# OUTPUT, its standard output (Wine's \r taken out) must be that text.
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
  if [ $# -ge 4 ]; then
    local want err
    want=$(printf '%s' "$4")
    err=$(mktemp)
    out=$(timeout 120 bash -c "${command//build\/bin\//$build/bin/}" 2>"$err" </dev/null | tr -d '\r')
    rc=$?
    if [ "$rc" = "$expected" ] && [ "$out" != "$want" ]; then
      fail "$file: \"$command\" printed other than the docs show (- the docs, + the program):"
      diff <(printf '%s\n' "$want") <(printf '%s\n' "$out") | head -n 20 >&2
    fi
    out=$(cat "$err")
    rm -f "$err"
  else
    out=$(timeout 120 bash -c "${command//build\/bin\//$build/bin/}" 2>&1 </dev/null)
    rc=$?
  fi
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
