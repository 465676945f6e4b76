# shellcheck shell=bash disable=SC2034  # the E2E_ variables are for the scripts that source this
# Shared by the end-to-end tests, tools/demo and tools/bench (sourced, not run).
#
# The real eepromfix finds printers as the entries lpN of /sys/class/usbmisc and opens
# "/dev/" + the DEVNAME= value of lpN/uevent. Here printer_server serves simulated printers on
# ptys, a folder of our own holds usbmisc/lpN/uevent with DEVNAME=pts/N, and the tool runs
# unchanged in a private mount namespace in which that folder is bind-mounted over /sys/class.
# /dev/pts is not under /sys/class, so the pty slaves stay visible there.

E2E_UNSHARE=()       # the unshare command that works here (set by e2e_check_namespace)
E2E_SKIP_REASON=""   # why none does
E2E_SERVER_PID=""
E2E_PTS=()           # slave names of the served printers, "pts/N"

# Finds how to make a private mount namespace with a bind mount over /sys/class: as root
# "unshare --mount", otherwise "unshare --map-root-user --mount" where the kernel allows it.
# Returns 1 with E2E_SKIP_REASON set when neither works.
e2e_check_namespace() {
  if ! command -v unshare >/dev/null 2>&1; then
    E2E_SKIP_REASON="unshare (util-linux) is not installed"
    return 1
  fi
  if [ "$(id -u)" = 0 ]; then
    E2E_UNSHARE=(unshare --mount)
  else
    E2E_UNSHARE=(unshare --map-root-user --mount)
  fi
  local probe error
  probe=$(mktemp -d "${TMPDIR:-/tmp}/eepromfix-probe.XXXXXX") || return 1
  mkdir -p "$probe/usbmisc"
  # shellcheck disable=SC2016
  if error=$("${E2E_UNSHARE[@]}" sh -c 'mount --bind "$1" /sys/class && test -d /sys/class/usbmisc' \
      sh "$probe" 2>&1); then
    rm -rf "$probe"
    return 0
  fi
  rm -rf "$probe"
  E2E_SKIP_REASON="cannot bind-mount over /sys/class in a private mount namespace as $(id -un)"
  E2E_SKIP_REASON+=" with '${E2E_UNSHARE[*]}': ${error:-refused}"
  return 1
}

# e2e_skip REASON: ends a test that cannot run here: skipped (exit 77) with the reason, except
# under CI (CI=true), where a skip would lose coverage silently, so it fails (exit 1).
e2e_skip() {
  if [ "${CI:-}" = true ]; then
    echo "FAIL: cannot run under CI: $1"
    exit 1
  fi
  echo "SKIPPED: $1"
  exit 77
}

# e2e_start_server WORKDIR SERVER [SERVER_ARGS...]
# Starts printer_server with its result folder WORKDIR/out and waits until it serves; sets
# E2E_SERVER_PID and E2E_PTS.
e2e_start_server() {
  local work=$1 server=$2
  shift 2
  mkdir -p "$work/out"
  "$server" serve --out "$work/out" "$@" >"$work/server.stdout" 2>"$work/server.stderr" &
  E2E_SERVER_PID=$!
  local tries=0
  until grep -qx ready "$work/server.stdout" 2>/dev/null; do
    if ! kill -0 "$E2E_SERVER_PID" 2>/dev/null || [ $tries -ge 100 ]; then
      echo "printer_server did not start:" >&2
      cat "$work/server.stderr" >&2
      E2E_SERVER_PID=""
      return 1
    fi
    tries=$((tries + 1))
    sleep 0.05
  done
  mapfile -t E2E_PTS < <(grep '^pts/' "$work/server.stdout")
}

# Stops the server; it then writes each printer's received bytes and final EEPROM into
# WORKDIR/out (printerK.received, printerK.eeprom).
e2e_stop_server() {
  [ -n "$E2E_SERVER_PID" ] || return 0
  kill -TERM "$E2E_SERVER_PID" 2>/dev/null
  wait "$E2E_SERVER_PID"
  local status=$?
  E2E_SERVER_PID=""
  return $status
}

# e2e_make_sysfs FOLDER [PTS...]: a stand-in for /sys/class with one usbmisc/lpN per slave
# name, in the given order (lp0 first).
e2e_make_sysfs() {
  local folder=$1 number=0 pts
  shift
  mkdir -p "$folder/usbmisc"
  for pts in "$@"; do
    mkdir -p "$folder/usbmisc/lp$number"
    printf 'MAJOR=180\nMINOR=%d\nDEVNAME=%s\n' "$number" "$pts" >"$folder/usbmisc/lp$number/uevent"
    number=$((number + 1))
  done
}

# e2e_run_in_namespace FOLDER STDIN STDOUT STDERR COMMAND [ARG...]
# Runs COMMAND with FOLDER over /sys/class, its standard streams redirected to the given files
# ("-": left as they are); returns its exit code.
e2e_run_in_namespace() {
  local folder=$1 input=$2 output=$3 errors=$4
  shift 4
  (
    [ "$input" = - ] || exec <"$input"
    [ "$output" = - ] || exec >"$output"
    [ "$errors" = - ] || exec 2>"$errors"
    # shellcheck disable=SC2016
    exec "${E2E_UNSHARE[@]}" sh -c 'mount --bind "$1" /sys/class || exit 125; shift; exec "$@"' \
      sh "$folder" "$@"
  )
}
