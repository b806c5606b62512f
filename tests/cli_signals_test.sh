#!/usr/bin/env bash
# rendakctl under real signals and on a real terminal: Ctrl+C and SIGTERM
# during a command that waits, the progress line on a terminal, and
# hard-reset's question. These need a Unix signal or a terminal, which a
# GoogleTest program under Wine cannot give the tool.
#
#   tests/cli_signals_test.sh SOURCE_DIR BUILD_DIR
#
# Runs in the build's test prefix, on a device of its own, on the real clock
# (a state value stuck at switching makes "on" wait its whole 40 s, so the
# signal always lands inside the wait). The terminal checks need tmux
# (tools/setup installs it); without it the test fails and says so.
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
export WINE_RUN_PREFIX=$build/wine/test WINE_RUN_HEADLESS=1 HANDHELD_CLOCK=real
unset HANDHELD_USER HANDHELD_ANSWERS HANDHELD_JOURNAL
device=signals-$$
export HANDHELD_DEVICE=$device
tool="$src/tools/wine-run $build/bin/rendakctl.exe"
console="$src/tools/wine-run $build/bin/handheld-console.exe"
folder=$WINE_RUN_PREFIX/drive_c/Handheld/$device
work=$(mktemp -d)
socket=rendakctl-test-$$
failures=0

fail() {
  echo "cli_signals_test: $*" >&2
  failures=$((failures + 1))
}

cleanup() {
  command -v tmux >/dev/null && tmux -L "$socket" kill-server 2>/dev/null
  "$src/tools/wine-run" --test "$build" reg delete "HKCU\\Software\\Handheld\\Devices\\$device" /f >/dev/null 2>&1
  rm -rf "$folder" "$work"
}
trap cleanup EXIT

# Waits (at most 20 s) until the file holds the text.
wait_for() {
  local file=$1 text=$2
  for _ in $(seq 200); do
    grep -qF -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# "on" with the state value stuck: it waits 40 s for the value to settle.
arrange() {
  $console --act factory >/dev/null &&
    HANDHELD_CLOCK=virtual $tool regulatory set eu >/dev/null 2>&1 &&
    $console --act stuck-on >/dev/null &&
    rm -f "$folder/journal.log"
}

# Starts "on" (with ARGS) in the background on the arranged device and waits
# until it is inside its wait; its output goes to $work/NAME.out and .err.
start_on() {
  local name=$1
  shift
  arrange || fail "$name: cannot arrange the device"
  HANDHELD_JOURNAL=1 $tool "$@" on >"$work/$name.out" 2>"$work/$name.err" &
  pid=$!
  wait_for "$folder/journal.log" "Sleep|4000" || fail "$name: on never began to wait"
}

# --- Ctrl+C (SIGINT) to the tool ------------------------------------------------
start_on int
kill -INT "$pid"
wait "$pid"
rc=$?
[ "$rc" = 130 ] || fail "SIGINT: exit $rc, not 130"
grep -q 'interrupted (Ctrl+C) while "on" was running' "$work/int.err" ||
  fail "SIGINT: it does not say it was interrupted: $(cat "$work/int.err")"
grep -q 'state value: 0x103 (adapter present, switching, powered)' "$work/int.err" ||
  fail "SIGINT: it does not say what state it left"
grep -q "^next: run it again (rendakctl --device $device on)" "$work/int.err" ||
  fail "SIGINT: no next step"

# --- SIGTERM to the tool: Wine ends it at once; its runner reports --------------
start_on term --json
kill -TERM "$pid"
wait "$pid"
rc=$?
[ "$rc" = 143 ] || fail "SIGTERM: exit $rc, not 143"
wait_for "$work/term.out" '"exit_code":143' ||
  fail "SIGTERM: no document of what it left: $(cat "$work/term.out" "$work/term.err")"
[ "$(grep -c . "$work/term.out")" = 1 ] || fail "SIGTERM: not one document: $(cat "$work/term.out")"
grep -q '"kind":"terminated"' "$work/term.out" || fail "SIGTERM: the error is not \"terminated\""
grep -q '"state":{"value":259' "$work/term.out" || fail "SIGTERM: the state left is not in it"

# --- on a terminal ----------------------------------------------------------------
if ! command -v tmux >/dev/null; then
  fail "tmux is not installed (Debian package tmux; tools/setup installs it): the terminal checks cannot run"
else
  term() {  # runs a command line in a new tmux window of our own server
    tmux -L "$socket" new-session -d -s "$1" -x 200 -y 40 \
      "cd '$src' && env WINE_RUN_PREFIX='$WINE_RUN_PREFIX' WINE_RUN_HEADLESS=1 HANDHELD_CLOCK=real HANDHELD_DEVICE='$device' $2; echo RC=\$? >'$work/$1.rc'; sleep 600"
  }
  screen() { tmux -L "$socket" capture-pane -p -t "$1" >"$work/$1.screen"; }
  wait_screen() {
    for _ in $(seq 200); do
      screen "$1"
      grep -qF -- "$2" "$work/$1.screen" && return 0
      sleep 0.1
    done
    return 1
  }

  arrange || fail "cannot arrange the device"
  term progress "$tool on"
  wait_screen progress "switching Wi-Fi on: the library waits for the state value to settle:" ||
    fail "terminal: no progress line: $(cat "$work/progress.screen")"
  wait_screen progress "s of at most 40 s (device time), state value 0x103" ||
    fail "terminal: the progress line lacks the bound or the state: $(cat "$work/progress.screen")"
  tmux -L "$socket" send-keys -t progress C-c
  wait_for "$work/progress.rc" "RC=" || fail "terminal: Ctrl+C did not end on"
  grep -q "RC=130" "$work/progress.rc" || fail "terminal: Ctrl+C gave $(cat "$work/progress.rc")"
  wait_screen progress 'interrupted (Ctrl+C)' || fail "terminal: nothing said after Ctrl+C"

  term declined "$tool hard-reset"
  wait_screen declined "Type yes to go on:" || fail "terminal: hard-reset did not ask"
  tmux -L "$socket" send-keys -t declined "no" Enter
  wait_for "$work/declined.rc" "RC=" && grep -q "RC=1" "$work/declined.rc" ||
    fail "terminal: a declined hard-reset gave $(cat "$work/declined.rc" 2>/dev/null)"

  term confirmed "$tool hard-reset"
  wait_screen confirmed "Type yes to go on:" || fail "terminal: hard-reset did not ask"
  tmux -L "$socket" send-keys -t confirmed "yes" Enter
  wait_for "$work/confirmed.rc" "RC=" && grep -q "RC=0" "$work/confirmed.rc" ||
    fail "terminal: a confirmed hard-reset gave $(cat "$work/confirmed.rc" 2>/dev/null)"
  wait_screen confirmed "the device cold-reset and restarted" ||
    fail "terminal: the hard-reset did not say it restarted: $(cat "$work/confirmed.screen")"
fi

echo "cli_signals_test: $failures failed"
[ "$failures" -eq 0 ]
