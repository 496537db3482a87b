# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Sourced by the scripts that build for FreeBSD: where its system root is, the
# same place cmake/freebsd-amd64.cmake looks.

# freebsd_sysroot: prints the root, FREEBSD_SYSROOT or by default
# ../shared/freebsd-sysroot beside the source tree, as an absolute path.
# Fails (and prints the path looked at) when it holds no FreeBSD headers.
freebsd_sysroot() {
  local tree sysroot
  tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  sysroot=${FREEBSD_SYSROOT:-$tree/../shared/freebsd-sysroot}
  if [ ! -f "$sysroot/usr/include/sys/param.h" ]; then
    echo "$sysroot"
    return 1
  fi
  (cd "$sysroot" && pwd)
}
