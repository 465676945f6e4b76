# shellcheck shell=bash disable=SC2034,SC2154  # E2E_ variables are for the scripts that source this; expect_ ones come from them
# Shared by the end-to-end tests (on ptys, in the VM, under wine), tools/demo and tools/bench
# (sourced, not run).
#
# The real eepromfix finds printers as the entries lpN of /sys/class/usbmisc and opens
# "/dev/" + the DEVNAME= value of lpN/uevent. Here printer_server serves simulated printers on
# ptys, a folder of our own holds usbmisc/lpN/uevent with DEVNAME=pts/N, and the tool runs
# unchanged in a private mount namespace in which that folder is bind-mounted over /sys/class
# and an empty one over /sys/bus/usb/devices, where the tool finds the printers that usblp does
# not hold: the host's own USB devices stay out of the listing. /dev/pts is not under /sys, so
# the pty slaves stay visible there.

E2E_UNSHARE=()       # the unshare command that works here (set by e2e_check_namespace)
E2E_SKIP_REASON=""   # why none does
E2E_SERVER_PID=""
E2E_PTS=()           # slave names of the served printers, "pts/N"
E2E_DEVICES=()       # device paths of the printers, as the tool lists them (for e2e_check)
E2E_CRLF=""          # non-empty: standard output ends its lines in CR LF (Windows)
E2E_SAVE_ARG=""      # the FILE of --save as the tool is given it (@FILE@); WORK/saved.bin when empty
E2E_RESTORE_ARG=""   # the FILE of --restore as the tool is given it (@RESTORE@); WORK/restore.bin
# Inside the namespace: the folder $1 over /sys/class, nothing over the host's USB devices.
# shellcheck disable=SC2016
E2E_HIDE='mount --bind "$1" /sys/class || exit 125
[ ! -d /sys/bus/usb/devices ] || mount -t tmpfs -o ro,size=4k none /sys/bus/usb/devices || exit 125
shift'

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
  if error=$("${E2E_UNSHARE[@]}" sh -c "$E2E_HIDE"'
test -d /sys/class/usbmisc && ! ls -A /sys/bus/usb/devices 2>/dev/null | grep -q .' sh "$probe" 2>&1); then
    rm -rf "$probe"
    return 0
  fi
  rm -rf "$probe"
  E2E_SKIP_REASON="cannot hide /sys/class and /sys/bus/usb/devices in a private mount namespace as $(id -un)"
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
    exec "${E2E_UNSHARE[@]}" sh -c "$E2E_HIDE"'
exec "$@"' sh "$folder" "$@"
  )
}

# e2e_usage plain|slash, e2e_help plain|slash: the tool's usage line and its --help text; "slash"
# as where the system takes options written "/X" (Windows).
e2e_usage() {
  local help="-h | --help"
  [ "${1:-}" = slash ] && help="-h | --help | /?"
  echo "Usage: eepromfix [--check] [--save FILE] [--device PATH]
       eepromfix --restore FILE [--yes] [--save OTHER] [--device PATH]
       eepromfix --list | $help | --version"
}

e2e_help() {
  local options="-h, --help      "
  [ "${1:-}" = slash ] && options="-h, --help, /?  "
  e2e_usage "${1:-}"
  cat <<EOF

Checks the checksum of the 320-byte EEPROM image of a USB printer and, where
it safely can, repairs it: it finds the printer (asking which one when there
are several), reads the image and says what it found. It writes the commands
that read the EEPROM and, only when the checksum is wrong and the image looks
like this printer's, the image as read with its checksum corrected; more only
with --restore.

Options:
  --check          read and report only: never a WriteEEPROM command, so the
                   EEPROM is never written
  --save FILE      keep the image as read in FILE (a new file), before writing
  --restore FILE   write back the image in FILE, saved from this same printer,
                   once asked; then read it back
  --yes            with --restore: do not ask
  --device PATH    use the printer with this device path, as --list shows it
  --list           list the printers found and exit, opening none
  $options print this text and exit
  --version        print the version and exit

Exit codes:
  0  the EEPROM check ran: its lines say what it found, and what it repaired;
     --check: the checksum is right; --restore: the EEPROM holds FILE
  1  no printer could be opened, or the system could not list the printers
  2  nothing was done: a refused command line, a --save FILE that exists or
     whose folder is missing or cannot be written, or a --restore FILE refused
  3  --check: the checksum is wrong, a run without --check would repair it
  4  --check: the checksum is wrong, but the image fails the sanity checks
  5  --check, --save or --restore: the EEPROM could not be read
  6  --save: the image could not be saved, nothing was repaired
  7  --restore: not answered yes, nothing was written
  8  --restore: no image byte was sent
  9  --restore: the image read back differs from FILE
  10 --restore: the image was sent but could not be verified
EOF
}

# e2e_restore: a restore of the preset "older" over a printer that holds "valid" (the harness
# sets the printer), "yes" typed ahead, and what it prints and leaves.
e2e_restore() {
  restore_image=older answers=$'yes\n' tool_args=(--restore @RESTORE@) expect_exit=0
  expect_stdout="Reading EEPROM to compare it with @RESTORE@...
EEPROM differs from @RESTORE@ in 9 bytes, at 0x000-0x001, 0x060-0x063, 0x080, 0x0c0, ...
EEPROM checksum is right (stored @GOOD@, computed @GOOD@), the image passes the sanity checks
WARNING: a sound image is about to be replaced
Write the image in @RESTORE@ to the printer? Type yes to go on: Restoring EEPROM from @RESTORE@...
EEPROM restored: the image read back equals @RESTORE@"
  expect_stream=(restore:older) expect_eeprom=(older)
}

# e2e_save_arg WORK: the FILE that @FILE@ stands for, as the tool is given it.
e2e_save_arg() {
  if [ -n "$E2E_SAVE_ARG" ]; then echo "$E2E_SAVE_ARG"; else echo "$1/saved.bin"; fi
}

# e2e_restore_arg WORK: the FILE that @RESTORE@ stands for, as the tool is given it.
e2e_restore_arg() {
  if [ -n "$E2E_RESTORE_ARG" ]; then echo "$E2E_RESTORE_ARG"; else echo "$1/restore.bin"; fi
}

# e2e_make_restore WORK SERVER: WORK/restore.bin, the FILE of --restore, as the scenario's
# restore_image says: a preset or image file; "short": "valid" a byte short; "folder"; unset:
# none.
e2e_make_restore() {
  case ${restore_image:-} in
    "") ;;
    folder) mkdir "$1/restore.bin" ;;
    short) "$2" image valid "$1/restore.bin" && truncate -s 319 "$1/restore.bin" ;;
    *) "$2" image "$restore_image" "$1/restore.bin" ;;
  esac
}

# e2e_tool_args WORK ARG...: the arguments with @FILE@, @RESTORE@ and @DEV1@ put in, one a line.
e2e_tool_args() {
  local work=$1 argument
  shift
  for argument; do
    argument=${argument//@FILE@/"$(e2e_save_arg "$work")"}
    argument=${argument//@RESTORE@/"$(e2e_restore_arg "$work")"}
    argument=${argument//@DEV1@/"${E2E_DEVICES[1]:-}"}
    printf '%s\n' "$argument"
  done
}

# e2e_run_interrupted SIGNAL WORK COMMAND...: runs COMMAND (standard input a pipe that stays
# open, output to WORK/stdout and WORK/stderr) as a job of its own, as at a terminal, and sends
# it SIGNAL once it waits at the printer prompt: as Ctrl-C (INT), a kill (TERM) or a closed
# terminal (HUP) would. The prompt's line is then ended, as where the signal came. Returns
# COMMAND's exit code; 124 when no prompt came within 20 s.
e2e_run_interrupted() {
  local signal=$1 work=$2 hold pid status=0 tries=0
  local prompt="Enter the index of the device you wish to send to: "
  shift 2
  mkfifo "$work/pipe" && exec {hold}<>"$work/pipe"
  set -m
  "$@" <"$work/pipe" >"$work/stdout" 2>"$work/stderr" &
  pid=$!
  set +m
  until [[ $(tail -c ${#prompt} "$work/stdout" 2>/dev/null) == "$prompt" ]]; do
    if ((tries++ == 200)) || ! kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid" 2>/dev/null
      wait "$pid"
      return 124
    fi
    sleep 0.1
  done
  kill "-$signal" "$pid"
  wait "$pid" || status=$?
  exec {hold}>&-
  if [[ -n $E2E_CRLF ]]; then printf '\r\n'; else printf '\n'; fi >>"$work/stdout"
  return $status
}

# e2e_check WORK SERVER EXIT_CODE
# Compares one run of the tool with what its scenario expects:
#   expect_stdout  standard output, without its last line break (empty: none); placeholders: @DEV0@ @DEV1@ the
#                  printers' device paths (E2E_DEVICES), @PROMPT@ the selection prompt, @GOOD@
#                  @BAD@ the right and the stored checksum of the preset "corrupt", @TRAILER@
#                  the transmission checksum of its 320 bytes
#                  @RESTORE@ the FILE of --restore
#   expect_stderr  standard error, without its last line break (@RESTORE@ put in); empty when
#                  unset
#   expect_exit    the exit code
#   expect_stream  per printer, what it received: none, or a kind of "SERVER expect" (check,
#                  repair, ...) made from the image it started with, or KIND:IMAGE from IMAGE
#   expect_eeprom  per printer, the preset image it holds afterwards
#   expect_saved   (optional) K: WORK/saved.bin, the tool's @FILE@, holds the image printer K
#                  started with; none: there is no such file. Either way no temporary file
#                  (eepromfix-*.tmp) is left.
# against WORK/stdout, WORK/stderr and WORK/out/printerK.before, .received and .eeprom. Prints
# every difference and returns 1 when there is one.
e2e_check() {
  local work=$1 server=$2 exit_code=$3 status=0 index bad good trailer expected errors
  read -r bad good trailer < <("$server" info corrupt)
  expected=$expect_stdout
  # Quoted replacements: bash 5.2 would take \ and & in them (Windows paths) as special.
  expected=${expected//@DEV0@/"${E2E_DEVICES[0]:-}"}
  expected=${expected//@DEV1@/"${E2E_DEVICES[1]:-}"}
  expected=${expected//@PROMPT@/"Enter the index of the device you wish to send to: "}
  expected=${expected//@GOOD@/"$good"}
  expected=${expected//@BAD@/"$bad"}
  expected=${expected//@TRAILER@/"$trailer"}
  expected=${expected//@FILE@/"$(e2e_save_arg "$work")"}
  expected=${expected//@RESTORE@/"$(e2e_restore_arg "$work")"}
  if [ -z "$expected" ]; then
    : >"$work/expected.stdout"
  elif [ -n "$E2E_CRLF" ]; then
    printf '%s\n' "$expected" | sed 's/$/\r/' >"$work/expected.stdout"
  else
    printf '%s\n' "$expected" >"$work/expected.stdout"
  fi

  if ! diff -u --label expected --label actual "$work/expected.stdout" "$work/stdout" >"$work/stdout.diff"; then
    echo "FAIL: standard output differs:"
    cat "$work/stdout.diff"
    status=1
  fi
  if [ -n "${expect_stderr:-}" ]; then
    errors=${expect_stderr//@RESTORE@/"$(e2e_restore_arg "$work")"}
    if [ -n "$E2E_CRLF" ]; then
      printf '%s\n' "$errors" | sed 's/$/\r/' >"$work/expected.stderr"
    else
      printf '%s\n' "$errors" >"$work/expected.stderr"
    fi
    if ! diff -u --label expected --label actual "$work/expected.stderr" "$work/stderr"; then
      echo "FAIL: standard error differs"
      status=1
    fi
  elif [ -s "$work/stderr" ]; then
    echo "FAIL: standard error is not empty:"
    cat "$work/stderr"
    status=1
  fi
  if [ "$exit_code" -ne "$expect_exit" ]; then
    echo "FAIL: exit code $exit_code, expected $expect_exit"
    status=1
  fi

  if [ -n "${expect_saved:-}" ]; then
    if [ "$expect_saved" = none ]; then
      [ ! -e "$work/saved.bin" ] || { echo "FAIL: $work/saved.bin was made"; status=1; }
    elif ! cmp -s "$work/out/printer$expect_saved.before" "$work/saved.bin"; then
      echo "FAIL: $work/saved.bin does not hold the image printer $expect_saved started with"
      status=1
    fi
    local left
    left=$(compgen -G "$work/eepromfix-*.tmp"; compgen -G "$work/saved.bin?*")
    if [ -n "$left" ]; then
      echo "FAIL: a temporary file was left: $left"
      status=1
    fi
  fi

  for index in "${!expect_stream[@]}"; do
    local received="$work/out/printer$index.received" wanted="$work/expected$index.stream"
    case ${expect_stream[$index]} in
      none) : >"$wanted" ;;
      *:*) "$server" expect "${expect_stream[$index]%%:*}" "${expect_stream[$index]#*:}" "$wanted" ;;
      *) "$server" expect "${expect_stream[$index]}" "$work/out/printer$index.before" "$wanted" ;;
    esac
    if ! cmp -s "$wanted" "$received"; then
      echo "FAIL: printer $index received other bytes than expected (${expect_stream[$index]}):"
      diff -u --label expected --label received <("$server" describe "$wanted") \
        <("$server" describe "$received")
      status=1
    fi
    "$server" image "${expect_eeprom[$index]}" "$work/expected$index.eeprom"
    if ! cmp -s "$work/expected$index.eeprom" "$work/out/printer$index.eeprom"; then
      echo "FAIL: printer $index does not hold the ${expect_eeprom[$index]} image afterwards:"
      cmp -l "$work/expected$index.eeprom" "$work/out/printer$index.eeprom" | head -5 |
        while read -r offset wanted held; do
          printf '  byte %d: expected %02x, holds %02x\n' $((offset - 1)) $((8#$wanted)) $((8#$held))
        done
      status=1
    fi
  done
  return $status
}
