# shellcheck shell=bash disable=SC2034  # GADGET_ variables are for the scripts that source this
# USB printer gadgets for scripts that run inside the test VM (vm_run). Sourced, not run.
# Gadget INDEX is a configfs gadget with one printer function, plugged into the emulated
# controller dummy_udc.INDEX; the kernel's usblp driver sees it as /dev/usb/lpN and the printer
# program's end of it is /dev/g_printerM. N and M need not be INDEX: gadget_plug tells which.
#
#   gadget_load                        loads dummy_hcd (three controllers), libcomposite,
#                                      usb_f_printer and, unless GADGET_USBLP=no, usblp
#                                      (gadget_plug calls it)
#   gadget_plug INDEX [Q_LEN [PNP]]    plugs gadget INDEX (Q_LEN: OUT requests the gadget queues,
#                                      default 10 as the driver's; PNP: its IEEE 1284 device ID) and
#                                      waits until usblp has bound it (without usblp: until the
#                                      host has configured it), then sets
#                                      GADGET_LP[INDEX]=/dev/usb/lpN (without usblp: empty)
#                                      GADGET_USB[INDEX]=its usbfs node /dev/bus/usb/BBB/DDD
#                                      GADGET_INTERFACE[INDEX]=its printer interface's sysfs folder
#                                      GADGET_PRINTER[INDEX]=/dev/g_printerM
#                                      GADGET_UDC[INDEX]=its UDC file (an empty line unplugs it)
#   gadget_unbind INDEX                takes the plugged gadget INDEX from usblp
#   gadget_unplug INDEX                unplugs it at once (no wait)
# Each returns non-zero with a message on standard error when it fails; waits last at most
# GADGET_TIMEOUT seconds (default 10).

# shellcheck source=SCRIPTDIR/modprobe.sh
source "$(dirname "${BASH_SOURCE[0]}")/modprobe.sh"

GADGET_LP=()
GADGET_USB=()
GADGET_INTERFACE=()
GADGET_PRINTER=()
GADGET_UDC=()
GADGET_TIMEOUT=${GADGET_TIMEOUT:-10}
gadget_configfs=/sys/kernel/config/usb_gadget

gadget_load() {
  vm_modprobe "$VM_MODULES" dummy_hcd num=3 &&
    vm_modprobe "$VM_MODULES" libcomposite &&
    vm_modprobe "$VM_MODULES" usb_f_printer &&
    { [ "${GADGET_USBLP:-}" = no ] || vm_modprobe "$VM_MODULES" usblp; }
}

gadget_plug() {
  local index=$1 q_len=${2:-10} pnp=${3:-"MFG:eepromfix;MDL:VM printer $1;CLS:PRINTER;"}
  local g=$gadget_configfs/printer$index f=$gadget_configfs/printer$index/functions/printer.$index
  local found before printer lp deadline old_q_len old_pnp device bus number
  gadget_load || return
  if [ ! -d "$f" ]; then
    mkdir -p "$g/strings/0x409" "$g/configs/c.1" "$f" || return
    echo 0x0525 >"$g/idVendor"   # the IDs of the kernel's own printer gadget
    echo 0xa4a8 >"$g/idProduct"
    echo "VM printer $index" >"$g/strings/0x409/product"
    echo "$index" >"$g/strings/0x409/serialnumber"
  fi
  read -r old_q_len <"$f/q_len"
  read -r old_pnp <"$f/pnp_string"
  if [ ! -L "$g/configs/c.1/printer.$index" ] || [ "$old_q_len" != "$q_len" ] || [ "$old_pnp" != "$pnp" ]; then
    # The function's settings are fixed while it is linked into the configuration.
    rm -f "$g/configs/c.1/printer.$index"
    echo "$q_len" >"$f/q_len" || return
    printf '%s' "$pnp" >"$f/pnp_string" || return
    ln -s "$f" "$g/configs/c.1/" || return
  fi

  # The printer function's device node appears while the UDC is bound, with a minor number of
  # its own: the one that is new is this gadget's.
  found=(/dev/g_printer*)
  before=" ${found[*]} "
  echo "dummy_udc.$index" >"$g/UDC" || return
  for printer in /dev/g_printer*; do
    [[ $before == *" $printer "* ]] || break
  done
  [[ $before != *" $printer "* ]] || { echo "gadget_plug: no /dev/g_printer node for gadget $index" >&2; return 1; }

  # Globs, not programs: each program started costs tens of ms under TCG.
  deadline=$((SECONDS + GADGET_TIMEOUT))
  while :; do
    found=(/sys/devices/platform/dummy_hcd."$index"/usb*/*-1/*-1:1.0)
    device=${found[0]%/*}
    if [ -d /sys/module/usblp ]; then
      found=("${found[0]}"/usbmisc/lp*)
      lp=${found[0]##*/}
    else
      lp=""
    fi
    # The gadget's node opens only once the host has configured the device.
    if [ -e "$device/devnum" ] && { [ -z "$lp" ] || { [ -e "/sys/class/usbmisc/$lp" ] && [ -e "/dev/usb/$lp" ]; }; } &&
      { [ -d /sys/module/usblp ] || [ -e "${found[0]}" ]; } && { : <>"$printer"; } 2>/dev/null; then
      break
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "gadget_plug: usblp has not bound gadget $index within $GADGET_TIMEOUT s" >&2
      return 1
    fi
    sleep 0.02
  done
  GADGET_LP[index]=${lp:+/dev/usb/$lp}
  read -r bus <"$device/busnum"
  read -r number <"$device/devnum"
  GADGET_USB[index]=$(printf '/dev/bus/usb/%03d/%03d' "$bus" "$number")
  GADGET_INTERFACE[index]=$device/${device##*/}:1.0
  GADGET_PRINTER[index]=$printer
  GADGET_UDC[index]=$g/UDC
}

gadget_unbind() {
  local interface=${GADGET_INTERFACE[$1]} tries=0
  echo "${interface##*/}" >/sys/bus/usb/drivers/usblp/unbind || return
  while [ -e "${GADGET_LP[$1]}" ] && [ $tries -lt 250 ]; do
    sleep 0.02
    tries=$((tries + 1))
  done
  [ ! -e "${GADGET_LP[$1]}" ] || { echo "gadget_unbind: ${GADGET_LP[$1]} is still there" >&2; return 1; }
}

gadget_unplug() {
  echo >"$gadget_configfs/printer$1/UDC"
}
