# shellcheck shell=bash
# Sourced by the scripts that need Debian packages; installs those that are missing.
#
#   source tools/lib/packages.sh
#   require_packages cmake ninja-build "libusb-1.0-0-dev:$(dpkg --print-architecture)" wine32:i386
#
# A name may carry an architecture: a foreign one is added to dpkg first. With both
# architectures of a library installed, the bare name is ambiguous to dpkg, so name this
# machine's one with its architecture too. Says what it installs; says nothing, and leaves apt
# alone, when all is there. Installs as root, or through sudo. Waits for the package lock that
# another install holds, at most EEPROMFIX_APT_LOCK_WAIT seconds (default 900), and says so.
# apt-get update runs at most once: when the package lists do not know a package, after an
# architecture was added, or when an install could not fetch. Never reads standard input.

# package_installed NAME: true when dpkg has NAME fully installed (not just its configuration
# files left behind, which dpkg -s also accepts).
package_installed() {
  [[ $(dpkg-query -W -f '${db:Status-Abbrev}' "$1" 2>/dev/null) == ii* ]]
}

# as_root_waiting_for_lock COMMAND...: runs COMMAND as root without standard input, quietly,
# again every 5 s while it fails on the package lock. Shows what it printed when it fails.
as_root_waiting_for_lock() {
  local deadline=$((SECONDS + ${EEPROMFIX_APT_LOCK_WAIT:-900})) log said=no
  log=$(mktemp "${TMPDIR:-/tmp}/eepromfix-apt.XXXXXX")
  while :; do
    if "${packages_as_root[@]}" env DEBIAN_FRONTEND=noninteractive "$@" </dev/null >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    if ((SECONDS >= deadline)) || ! grep -qE 'Could not get lock|Unable to (acquire|lock)|locked by another process' "$log"; then
      cat "$log" >&2
      rm -f "$log"
      return 1
    fi
    if [[ $said == no ]]; then
      echo "$packages_caller: waiting up to $((deadline - SECONDS)) s for the package lock ($(grep -m1 -i lock "$log" | sed 's/^E: //'))"
      said=yes
    fi
    sleep 5
  done
}

require_packages() {
  local packages_caller=${0#"$PWD/"}
  packages_caller=${packages_caller#./}
  local missing=() package architecture native added=no updated=no
  for package in "$@"; do
    package_installed "$package" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0

  echo "$packages_caller: installing ${missing[*]}"
  local packages_as_root=()
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "$packages_caller: installing needs root (or sudo); missing: ${missing[*]}" >&2
      return 1
    fi
    packages_as_root=(sudo)
  fi
  local apt=(apt-get -q -y)

  native=$(dpkg --print-architecture)
  for package in "${missing[@]}"; do
    [[ $package == *:* ]] || continue
    architecture=${package##*:}
    [[ $architecture != "$native" ]] || continue
    # grep reads to the end: a pipe closed early would fail the pipeline under pipefail.
    dpkg --print-foreign-architectures | grep -x "$architecture" >/dev/null && continue
    echo "$packages_caller: adding the architecture $architecture to dpkg"
    as_root_waiting_for_lock dpkg --add-architecture "$architecture" || return 1
    added=yes
  done

  # Each package that the lists know has one Candidate line that is not "(none)".
  if [[ $added == yes ]] ||
    (($(apt-cache policy "${missing[@]}" 2>/dev/null | grep -c '^  Candidate: [^(]') < ${#missing[@]})); then
    as_root_waiting_for_lock "${apt[@]}" update || return 1
    updated=yes
  fi
  if ! as_root_waiting_for_lock "${apt[@]}" install "${missing[@]}"; then
    # Lists older than the archive name files that are gone from it.
    [[ $updated == no ]] || return 1
    echo "$packages_caller: updating the package lists and trying again"
    as_root_waiting_for_lock "${apt[@]}" update || return 1
    as_root_waiting_for_lock "${apt[@]}" install "${missing[@]}" || return 1
  fi

  for package in "${missing[@]}"; do
    package_installed "$package" || { echo "$packages_caller: $package is still not installed" >&2; return 1; }
  done
}
