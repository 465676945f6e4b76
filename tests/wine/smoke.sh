#!/usr/bin/env bash
# The unchanged eepromfix.exe, 64-bit and 32-bit, against simulated printers under wine: the
# driver eepromfix_printer.sys serves the project's simulated printer as a USB printer class
# device. Shows a repair and its verification, a second run that finds the checksum right, the
# selection among two printers, and a printer that is unplugged after its first answer.
#
#   tests/wine/smoke.sh [--exe64 EXE] [--exe32 EXE] [--printer-dir DIR]
#
# DIR holds printer_tool.exe, eepromfix_printer.sys and printer_driver.inf. What is not given is
# built: build/wine-exe64, build/wine-exe32, build/wine-dev. The wine prefix is
# build/wine-smoke/prefix (made on first use: about 30 s and 1.3 GB), results are in
# build/wine-smoke/out. One wineserver serves the whole run: Debian's wine 8.0 otherwise ends
# the session, and with it the driver, after every program.
# Exit code 0: passed; 1: failed; 77: skipped (no wine).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
exe64="" exe32="" printers=""
while (($#)); do
  case $1 in
    --exe64) exe64=$2 ;;
    --exe32) exe32=$2 ;;
    --printer-dir) printers=$2 ;;
    *) echo "usage: $0 [--exe64 EXE] [--exe32 EXE] [--printer-dir DIR]" >&2; exit 2 ;;
  esac
  shift 2
done
if ! command -v wineserver >/dev/null; then
  echo "SKIPPED: wine is not installed"
  exit 77
fi

say() { printf '== %s\n' "$*"; }
failed=0
fail() { printf 'FAIL: %s\n' "$*"; failed=1; }

# --- Builds -------------------------------------------------------------------------------------
build() {  # build FOLDER TOOLCHAIN SOURCE [CMAKE_ARGS...]
  local folder=$1 toolchain=$2 source=$3
  shift 3
  if [[ ! -f $folder/CMakeCache.txt ]]; then
    cmake -S "$source" -B "$folder" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
      -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  fi
  cmake --build "$folder" >/dev/null
}
if [[ -z $exe64 ]]; then
  build build/wine-exe64 mingw-x86_64.cmake . -DBUILD_TESTING=OFF
  exe64=build/wine-exe64/eepromfix.exe
fi
if [[ -z $exe32 ]]; then
  build build/wine-exe32 mingw-i686.cmake . -DBUILD_TESTING=OFF
  exe32=build/wine-exe32/eepromfix.exe
fi
if [[ -z $printers ]]; then
  build build/wine-dev mingw-x86_64.cmake tests/wine
  printers=build/wine-dev
fi
tool=$printers/printer_tool.exe

# --- Wine: a private prefix, one server for the run --------------------------------------------
# tools/wine-run makes the prefix (or refreshes it for another wine) and runs quietly, with no
# display.
export EEPROMFIX_WINEPREFIX=$root/build/wine-smoke/prefix
export WINEPREFIX=$EEPROMFIX_WINEPREFIX  # for wineserver
wine=tools/wine-run
out=build/wine-smoke/out
rm -rf "$out"
mkdir -p "$out"
now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }
wine_tool() { timeout 60 "$wine" "$tool" "$@" </dev/null; }

wineserver -k 2>/dev/null || true  # a server left by an interrupted run
wineserver -w
# Printers left by an interrupted run go in a session of their own, so that their driver is
# unloaded before this run installs its own build of it.
timeout 300 "$wine" "$tool" remove </dev/null
wineserver -w
wineserver -p
stop() {
  wine_tool remove >/dev/null 2>&1 || true
  wineserver -k 2>/dev/null || true
  wineserver -w
}
trap stop EXIT

started=$(now_ms)
wine_tool image valid "$out/valid.image"  # starts the session
say "cold wine session: $(($(now_ms) - started)) ms"
wine_tool image corrupt "$out/corrupt.image"
wine_tool expect repair corrupt "$out/repair.stream"
wine_tool expect check valid "$out/check.stream"
: >"$out/none.stream"
head -c 50 "$out/check.stream" >"$out/first-command.stream"  # UEL, ENTER LANGUAGE, ReadEEPROM

# --- The shared check ----------------------------------------------------------------------------
# run NAME EXE ANSWERS EXPECTED_STDOUT: runs EXE with ANSWERS on standard input; it must exit 0
# with nothing on standard error and print exactly EXPECTED_STDOUT, or, where that starts with
# "~", a line that matches the regular expression after it.
run() {
  local name=$1 exe=$2 answers=$3 expected=$4 status=0 started
  printf '%s' "$answers" >"$out/$name.stdin"
  started=$(now_ms)
  timeout 120 "$wine" "$exe" <"$out/$name.stdin" >"$out/$name.stdout" 2>"$out/$name.stderr" || status=$?
  say "$name: $(($(now_ms) - started)) ms, exit code $status"
  ((status == 0)) || fail "$name: exit code $status"
  [[ ! -s $out/$name.stderr ]] || fail "$name: standard error: $(cat "$out/$name.stderr")"
  if [[ $expected == "~"* ]]; then
    tr -d '\r' <"$out/$name.stdout" | grep -Eq "${expected#"~"}" || fail "$name: no line matches ${expected#"~"}"
  elif ! cmp -s <(printf '%s' "$expected") "$out/$name.stdout"; then
    fail "$name: standard output differs:"
    diff <(printf '%s' "$expected" | od -c) <(od -c "$out/$name.stdout") || true
  fi
}

# holds NAME K STREAM IMAGE: printer K received exactly the bytes of STREAM in the last run and
# holds IMAGE afterwards (both files in $out).
holds() {
  local name=$1 index=$2 stream=$3 image=$4
  mkdir -p "$out/$name"
  wine_tool get "$index" "$out/$name" >"$out/$name/printer$index.counts"
  cmp -s "$out/$stream.stream" "$out/$name/printer$index.received" ||
    fail "$name: printer $index received other bytes than the $stream stream ($(cat "$out/$name/printer$index.counts"))"
  cmp -s "$out/$image.image" "$out/$name/printer$index.eeprom" || fail "$name: printer $index does not hold the $image image"
}

CHECKING=$'Checking CRC in EEPROM...\r\n'
REPAIRED=$CHECKING$'Repairing CRC in EEPROM...\r\nEEPROM Repaired\r\n\r\n'
CORRECT=$CHECKING$'EEPROM Checksum was already correct, no action taken\r\n'
PROMPT='Enter the index of the device you wish to send to: '
path() { printf '\\\\?\\root#eepromfix_printer#%04d#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}' "$1"; }

# --- Scenarios -----------------------------------------------------------------------------------
say "installing one simulated printer"
started=$(now_ms)
wine_tool install "$printers/printer_driver.inf" 1
say "install: $(($(now_ms) - started)) ms"

for bits in 64 32; do
  exe=exe$bits
  wine_tool set 0 corrupt
  run "repair$bits" "${!exe}" "" "$REPAIRED"
  holds "repair$bits" 0 repair valid
  # The repair outlives the open, as in a real EEPROM.
  run "check$bits" "${!exe}" "" "$CORRECT"
  holds "check$bits" 0 check valid
done

# Unplugged once its first answer is out: every transfer after it fails.
wine_tool set 0 corrupt GoneAfter=0
run unplugged "$exe64" "" "~^(Read|Write)File\(\) Failed, error = 1167$"
holds unplugged 0 first-command corrupt

say "installing two simulated printers"
wine_tool remove
wine_tool install "$printers/printer_driver.inf" 2
wine_tool set 0 corrupt
wine_tool set 1 corrupt
# Out-of-range answers ask again; the bytes go to the chosen printer only.
run two_printers "$exe32" $'2\n-1\n1\n' \
  "Device # 0 has the name $(path 0)"$'\r\n'"Device # 1 has the name $(path 1)"$'\r\n'"$PROMPT$PROMPT$PROMPT$REPAIRED"
holds two_printers 0 none corrupt
holds two_printers 1 repair valid

if ((failed)); then
  echo "FAILED (results in $out)"
  exit 1
fi
echo "PASSED"
