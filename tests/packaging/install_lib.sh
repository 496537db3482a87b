# shellcheck shell=bash
# SPDX-License-Identifier: BSD-2-Clause
# Sourced by the install tests: installs the build into a scratch DESTDIR with
# a scratch prefix and lists what landed, relative to the prefix.

# install_into SCRATCH BUILD_DIR: installs with DESTDIR=SCRATCH/dest and the
# prefix SCRATCH/prefix. If DESTDIR were ignored, files would land under
# SCRATCH/prefix itself, which list_installed then sees as strays.
install_into() {
  local scratch=$1 build_dir=$2
  DESTDIR="$scratch/dest" cmake --install "$build_dir" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 || {
    cat "$scratch/install.log"
    echo "FAIL: cmake --install failed"
    return 1
  }
}

# install_component SCRATCH BUILD_DIR COMPONENT: the same for one component,
# also one left out of a plain install.
install_component() {
  local scratch=$1 build_dir=$2 component=$3
  DESTDIR="$scratch/dest" cmake --install "$build_dir" --prefix "$scratch/prefix" \
    --component "$component" >"$scratch/install.log" 2>&1 || {
    cat "$scratch/install.log"
    echo "FAIL: cmake --install --component $component failed"
    return 1
  }
}

# list_installed SCRATCH: every file and link under the scratch folder, with
# the DESTDIR and prefix taken off the front of those in the right place, and
# files under DESTDIR outside the prefix as absolute paths (/boot/...); any
# other path is printed whole and so can never match an expected entry.
list_installed() {
  local scratch=$1
  local dest="$scratch/dest" root="$scratch/dest$scratch/prefix/"
  find "$scratch" \( -type f -o -type l \) ! -name install.log | while read -r path; do
    if [[ $path == "$root"* ]]; then
      echo "${path#"$root"}"
    elif [[ $path == "$dest/"* ]]; then
      echo "/${path#"$dest/"}"
    else
      echo "$path"
    fi
  done | LC_ALL=C sort
}

# plist_entries MAKEFILE: the PLIST_FILES of a port's Makefile, one entry per
# line (a quoted "@keyword ..." entry whole), with ${EXAMPLESDIR_REL} as the
# ports framework sets it.
plist_entries() {
  local makefile=$1 portname
  portname=$(sed -nE 's/^PORTNAME=[[:space:]]*//p' "$makefile")
  sed -e ':join' -e '/\\$/{N;s/\\\n//;b join' -e '}' "$makefile" |
    sed -nE 's/^PLIST_FILES=[[:space:]]*//p' | xargs printf '%s\n' |
    sed "s#\${EXAMPLESDIR_REL}#share/examples/$portname#g"
}

# plist_files MAKEFILE: the files the port's package holds, sorted, relative to
# the prefix as cmake --install writes them: manual pages without the .gz that
# the ports framework adds when it compresses them, and each @sample by its
# sample (the copy in /boot is made when the package is installed).
plist_files() {
  plist_entries "$1" | sed -E -e 's#^@sample ([^ ]+) .*#\1#' \
    -e 's#^(share/man/man[0-9n]/.*)\.gz$#\1#' | LC_ALL=C sort
}
