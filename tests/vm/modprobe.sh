# shellcheck shell=bash
# Loads a kernel module of the test VM after the modules it depends on. Debian's kernel package
# ships no modules.dep: vm_image lists each module's own dependencies in DIR/deps.
# Sourced by the VM's init (busybox ash) and by gadget.sh (bash); shell builtins only, since
# every program started under TCG costs tens of milliseconds.
#
#   vm_modprobe DIR NAME [PARAM...]
vm_modprobe() {
  local dir=$1 name=${2//-/_} entry deps dep
  shift 2
  [ -d "/sys/module/$name" ] && return 0
  while read -r entry deps; do
    [ "$entry" = "$name:" ] && break
  done <"$dir/deps"
  [ "$entry" = "$name:" ] || { echo "vm_modprobe: no module $name in $dir" >&2; return 1; }
  for dep in $deps; do
    vm_modprobe "$dir" "$dep" || return
  done
  busybox insmod "$dir/$name.ko" "$@"
}
