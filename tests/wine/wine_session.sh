# shellcheck shell=bash
# One wine session for the simulated printers, shared by run_scenarios and bench (sourced, not
# run): the project's prefix through tools/wine-run, one wineserver for the whole session, and
# printers installed by printer_tool.
#
# Debian's wine 8.0 starts wineserver with -p0: every program is a session of its own (1 to
# 2.5 s), and the driver goes with it. A persistent server keeps the driver, and so the
# printers, loaded from one program to the next; a program then starts in about 0.1 s.
# EEPROMFIX_WINESERVER=kept: the caller runs one persistent server in a prefix that is up to
# date for all its programs (tests/wine/i686_route); the session then uses that server and
# leaves it running.

WINE_RUN=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)/wine-run
WINE_TOOL=""     # printer_tool.exe
WINE_INF=""      # printer_driver.inf, next to eepromfix_printer.sys
WINE_PRINTERS=0  # printers installed now

export EEPROMFIX_WINEPREFIX=${EEPROMFIX_WINEPREFIX:-$(cd "$(dirname "$WINE_RUN")/.." && pwd)/build/wineprefix}
export WINEPREFIX=$EEPROMFIX_WINEPREFIX  # for wineserver
export WINEDEBUG=${WINEDEBUG:--all}

WINE_TIMEOUT=60  # for each program

wine_tool() { timeout "$WINE_TIMEOUT" "$WINE_RUN" "$WINE_TOOL" "$@" </dev/null; }

# wine_session_start PRINTER_DIR: PRINTER_DIR holds printer_tool.exe, eepromfix_printer.sys and
# printer_driver.inf. Leaves no printer installed. The caller stops the session
# (wine_session_stop), also when it fails.
wine_session_start() {
  WINE_TOOL=$1/printer_tool.exe WINE_INF=$1/printer_driver.inf
  WINE_PRINTERS=0
  if [[ ${EEPROMFIX_WINESERVER:-} == kept ]]; then
    # Printers that a killed run left go; remove also stops the driver, so that the next install
    # loads the driver file afresh.
    wine_tool remove >/dev/null
    return
  fi
  wineserver -k 2>/dev/null || true  # a server left by a run that was killed
  wineserver -w 2>/dev/null || true
  # A session of its own first: it makes or refreshes the prefix (which waits for the server to
  # end, so not under a persistent one), and it unloads the driver of printers that a killed
  # run left, so that this session loads the driver file it installs itself.
  timeout 300 "$WINE_RUN" "$WINE_TOOL" remove </dev/null >/dev/null || return 1
  wineserver -w
  wineserver -p
}

# wine_printers COUNT: exactly COUNT printers are installed (0 to 99), each new one holding the
# valid image; their state otherwise is what the last "printer_tool set" left.
wine_printers() {
  ((WINE_PRINTERS == $1)) && return 0
  if ((WINE_PRINTERS != 0)); then
    wine_tool remove >/dev/null || return 1
    WINE_PRINTERS=0
  fi
  if (($1 != 0)); then
    wine_tool install "$WINE_INF" "$1" || return 1
    WINE_PRINTERS=$1
  fi
}

# Removes every printer, so that the unit tests and later runs in the prefix find none, and ends
# the session (not a kept server): the server writes the registry out as it goes.
wine_session_stop() {
  wine_tool remove >/dev/null || echo "WARNING: the simulated printers could not be removed from $WINEPREFIX"
  [[ ${EEPROMFIX_WINESERVER:-} != kept ]] || return 0
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}
