#!/usr/bin/env bash
# The SDK as a client's developer gets it, one check a run:
#
#   tests/sdk_test.sh CHECK SOURCE_DIR BUILD_DIR ARCH VERSION
#
#   versions    every binary of the build carries a version resource of VERSION
#               named for its file; rendakctl and the console say VERSION
#   install     each component installs its files and no others, with no path of
#               this machine in them, and CPack's archive of each holds the same
#   example     examples/ configured and built as a project of its own against a
#               fresh installation that has been moved, then run on a device of
#               its own with the installed handheld
#   plain-link  a client compiled and linked by one compiler command against the
#               installed header and import library, then run the same way
#
# Installations go to a fresh temporary folder, removed at the end; devices run
# in the build's test prefix (on its warm wineserver), on the virtual clock.
set -uo pipefail
check=$1
src=$(cd "$2" && pwd)
build=$(cd "$3" && pwd)
arch=$4
version=$5
failures=0
stage=$(mktemp -d)
devices=()

fail() {
  echo "sdk_test: $*" >&2
  failures=$((failures + 1))
}

cleanup() {
  local d
  for d in "${devices[@]}"; do
    WINE_RUN_ARCH=$arch "$src/tools/wine-run" --test "$build" reg delete \
      "HKCU\\Software\\Handheld\\Devices\\$d" /f >/dev/null 2>&1
    rm -rf "$build/wine/test/drive_c/Handheld/$d"
  done
  rm -rf "$stage"
}
trap cleanup EXIT

# What each component installs, relative to the prefix.
sdk_files="bin/Rendak.dll
include/Rendak.h
include/rendak_domains.h
lib/Rendak.def
lib/cmake/Rendak/RendakConfig.cmake
lib/cmake/Rendak/RendakConfigVersion.cmake
lib/cmake/Rendak/RendakTargets-relwithdebinfo.cmake
lib/cmake/Rendak/RendakTargets.cmake
lib/libRendak.dll.a
share/doc/Rendak/sdk.md"
handheld_files="bin/RDIOSTR0404.dll
bin/RDIOSTR0409.dll
bin/RDIOSTR0410.dll
bin/aygshell.dll
bin/coredll.dll
bin/handheld-console.exe
bin/ossvcs.dll
bin/wine-probe
bin/wine-run
include/handheld.h
lib/cmake/Rendak/RendakHandheldTargets-relwithdebinfo.cmake
lib/cmake/Rendak/RendakHandheldTargets.cmake
lib/libaygshell.dll.a
lib/libcoredll.dll.a
lib/libossvcs.dll.a"

# install_component COMPONENT PREFIX
install_component() {
  local out
  if ! out=$(cmake --install "$build" --prefix "$2" --component "$1" 2>&1); then
    fail "cmake --install --component $1 failed:"
    printf '%s\n' "$out" | tail -n 15 >&2
    return 1
  fi
}

# same_lines WHAT EXPECTED ACTUAL: the two sorted lists are equal.
same_lines() {
  if [ "$(sort <<<"$2")" != "$(sort <<<"$3")" ]; then
    fail "$1 (- expected, + found):"
    diff <(sort <<<"$2") <(sort <<<"$3") | grep '^[<>]' | sed 's/^</-/; s/^>/+/' >&2
  fi
}

files_under() { (cd "$1" && find . -type f | sed 's|^\./||' | sort); }

check_versions() {
  local windres=$arch-w64-mingw32-windres f name rc count=0 out major minor patch tweak
  # windres writes FILEVERSION as four numbers: 1.0.0 is "1, 0, 0, 0".
  IFS=. read -r major minor patch tweak <<<"$version"
  local numbers="${major:-0}, ${minor:-0}, ${patch:-0}, ${tweak:-0}"
  while IFS= read -r f; do
    count=$((count + 1))
    name=$(basename "$f")
    if ! rc=$("$windres" -i "$f" -O rc 2>&1); then
      fail "$name has no resources: $rc"
      continue
    fi
    grep -q "FILEVERSION $numbers\$" <<<"$rc" ||
      fail "$name: FILEVERSION is not $version: $(grep FILEVERSION <<<"$rc")"
    for value in "FileVersion\", \"$version\"" "ProductVersion\", \"$version\"" \
      "OriginalFilename\", \"$name\""; do
      grep -qF "VALUE \"$value" <<<"$rc" || fail "$name: no VALUE \"$value in its version resource"
    done
    grep -qE 'VALUE "FileDescription", "[^"]+"' <<<"$rc" || fail "$name: no FileDescription"
  done < <(find "$build/bin" -type f \( -name '*.dll' -o -name '*.exe' \))
  # The deliverables, the platform, the tools and the tests: none may be missed.
  [ "$count" -ge 20 ] || fail "only $count binaries found in $build/bin"
  out=$("$src/tools/wine-run" --test "$build" "$build/bin/rendakctl.exe" --version 2>&1 | tr -d '\r')
  [ "$out" = "rendakctl $version" ] || fail "rendakctl --version printed \"$out\""
  out=$("$src/tools/wine-run" --test "$build" "$build/bin/handheld-console.exe" --version 2>&1 |
    tr -d '\r')
  [ "$out" = "handheld-console $version" ] || fail "handheld-console --version printed \"$out\""
}

check_install() {
  local p=$stage/prefix zip listing component expected
  install_component SDK "$p/sdk" && same_lines "component SDK installs" "$sdk_files" "$(files_under "$p/sdk")"
  install_component Handheld "$p/handheld" &&
    same_lines "component Handheld installs" "$handheld_files" "$(files_under "$p/handheld")"
  # Nothing installed may name where it was built or installed.
  listing=$(grep -rlaF -e "$src" -e "$build" -e "$stage" "$p" 2>/dev/null)
  [ -z "$listing" ] || fail "installed files that hold a path of this machine: $listing"
  for tool in wine-run wine-probe; do
    [ -x "$p/handheld/bin/$tool" ] || fail "bin/$tool is not executable"
  done

  if ! listing=$(cpack --config "$build/CPackConfig.cmake" -B "$stage/packages" 2>&1); then
    fail "cpack failed:"
    printf '%s\n' "$listing" | tail -n 15 >&2
    return
  fi
  for component in SDK Handheld; do
    zip=$stage/packages/Rendak-$version-windows-$arch-$component.zip
    if [ ! -f "$zip" ]; then
      fail "no archive $(basename "$zip"); cpack made: $(ls "$stage/packages")"
      continue
    fi
    expected=$sdk_files
    [ $component = Handheld ] && expected=$handheld_files
    # The archive is the prefix itself: both unpacked into one folder make an
    # installation.
    listing=$(cd "$stage" && cmake -E tar tf "$zip" | grep -v '/$')
    same_lines "$(basename "$zip") holds" "$expected" "$listing"
  done
}

# run_client EXE DEVICE DOMAIN: runs the client on DEVICE with the installed
# handheld in $prefix; sets rc, out (its standard output) and err.
run_client() {
  local errfile=$stage/stderr
  out=$(WINE_RUN_PREFIX=$build/wine/test WINE_RUN_HEADLESS=1 HANDHELD_DEVICE=$2 \
    HANDHELD_CLOCK=virtual HANDHELD_USER=scripted HANDHELD_JOURNAL=1 \
    "$prefix/bin/wine-run" "$1" "$3" 2>"$errfile" </dev/null | tr -d '\r')
  rc=${PIPESTATUS[0]}
  err=$(tr -d '\r' <"$errfile")
}

# device_value DEVICE KEY VALUE: a DWORD of the device's registry, as reg shows it.
device_value() {
  WINE_RUN_PREFIX=$build/wine/test WINE_RUN_HEADLESS=1 "$prefix/bin/wine-run" reg query \
    "HKCU\\Software\\Handheld\\Devices\\$1\\HKLM\\$2" /v "$3" 2>/dev/null |
    tr -d '\r' | awk -v v="$3" '$1 == v { print $3 }'
}

# exercise EXE DOMAIN NAME ROW CODE: the client refuses a domain that does not exist
# and changes nothing; with the OEM switch off (no reload question to race
# with), it stores the domain, switches Wi-Fi on and reports it.
exercise() {
  local exe=$1 domain=$2 name=$3 row=$4 code=$5 device store
  device=sdk-$check-$$-$RANDOM
  devices+=("$device")
  run_client "$exe" "$device" Atlantis
  [ "$rc" = 2 ] || fail "$(basename "$exe") Atlantis exited $rc, not 2: $out $err"
  grep -q '^usage: wifi-on DOMAIN' <<<"$err" || fail "no usage for Atlantis: $err"
  [ -z "$(device_value "$device" 'Comm\TRXD385L1\Parms' Domain)" ] ||
    fail "a refused domain stored a Domain"

  WINE_RUN_PREFIX=$build/wine/test WINE_RUN_HEADLESS=1 "$prefix/bin/wine-run" reg add \
    "HKCU\\Software\\Handheld\\Devices\\$device\\HKLM\\SOFTWARE\\OEMGeneric" \
    /v WIFI /t REG_DWORD /d 0 /f >/dev/null 2>&1
  run_client "$exe" "$device" "$domain"
  [ "$rc" = 0 ] || fail "$(basename "$exe") $domain exited $rc, not 0: $out $err"
  same_lines "$(basename "$exe") $domain reports" \
    "regulatory domain: $name (row $row)
regulatory set: yes
Wi-Fi left on: yes" "$out"
  # What the device holds, not only what the client says.
  [ "$(device_value "$device" 'Comm\TRXD385L1\Parms' Domain)" = "$code" ] ||
    fail "the device's Domain is not $code"
  [ "$(device_value "$device" 'System\State\Hardware' WiFi)" = 0x101 ] ||
    fail "the device's Wi-Fi is not on: WiFi=$(device_value "$device" 'System\State\Hardware' WiFi)"
  store=$build/wine/test/drive_c/Handheld/$device
  [ "$(tr -d '\r\n ' <"$store/Store/Application Data/WiFi_status.txt" 2>/dev/null)" = 1 ] ||
    fail "the status file does not hold 1"
  ! grep -q '^MessageBoxW' "$store/journal.log" 2>/dev/null ||
    fail "the library showed a message box: $(grep '^MessageBoxW' "$store/journal.log")"
}

toolchain=$src/cmake/mingw-w64.cmake
[ "$arch" = i686 ] && toolchain=$src/cmake/mingw-w64-i686.cmake
prefix=$stage/moved

check_example() {
  local log=$stage/example.log
  # The package alone (no handheld) is enough to build against; the installation
  # works from wherever it is moved to.
  install_component SDK "$stage/installed" || return
  mv "$stage/installed" "$prefix"
  if ! cmake -S "$src/examples" -B "$stage/example" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 ||
    ! cmake --build "$stage/example" >>"$log" 2>&1; then
    fail "the example did not configure or build:"
    tail -n 20 "$log" >&2
    return
  fi
  grep -q "Rendak_DIR:PATH=$prefix/lib/cmake/Rendak" "$stage/example/CMakeCache.txt" ||
    fail "the example did not find the installed package: $(grep Rendak_DIR "$stage/example/CMakeCache.txt")"
  install_component Handheld "$prefix" || return
  exercise "$stage/example/wifi-on.exe" europe "Europe ETSI" 3 0x30
}

check_plain_link() {
  local compiler=$arch-w64-mingw32-g++ out
  install_component SDK "$prefix" && install_component Handheld "$prefix" || return
  # As a build system other than CMake would: one command, the header folder and
  # the import library.
  if ! out=$("$compiler" -std=c++17 -Wall -Wextra -municode -static -I"$prefix/include" \
    "$src/examples/wifi_on.cpp" "$prefix/lib/libRendak.dll.a" -o "$stage/wifi-on.exe" 2>&1); then
    fail "$compiler could not build the client: $out"
    return
  fi
  # The public headers are C as well as C++.
  if ! out=$(printf '#include <Rendak.h>\n#include <rendak_domains.h>\n#include <handheld.h>\n' |
    "$arch-w64-mingw32-gcc" -x c -std=c99 -fsyntax-only -Wall -Wextra -Werror \
      -I"$prefix/include" - 2>&1); then
    fail "the installed headers are not C: $out"
  fi
  exercise "$stage/wifi-on.exe" 6 "Japan MKK" 6 0x40
}

case $check in
  versions) check_versions ;;
  install) check_install ;;
  example) check_example ;;
  plain-link) check_plain_link ;;
  *) echo "sdk_test: unknown check $check" >&2; exit 2 ;;
esac
echo "sdk_test: $check: $failures failed"
[ "$failures" -eq 0 ]
