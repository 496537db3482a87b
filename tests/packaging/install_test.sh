#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# cmake --install honours DESTDIR and the prefix and installs exactly the
# binary and the manual page: nothing of the tests or the driver stand-in, and
# on Linux nothing in /boot.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build_dir=$1
source_dir=$2
# shellcheck source=tests/packaging/install_lib.sh
. "$(dirname "$0")/install_lib.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
install_into "$scratch" "$build_dir"

expected=$(printf '%s\n' sbin/rididezuve share/man/man8/rididezuve.8)
actual=$(list_installed "$scratch")
if [ "$actual" != "$expected" ]; then
  echo "FAIL: installed files differ from the expected list"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi

root=$scratch/dest$scratch/prefix
[ -x "$root/sbin/rididezuve" ] || { echo "FAIL: the installed binary is not executable"; exit 1; }
cmp "$source_dir/man/rididezuve.8" "$root/share/man/man8/rididezuve.8" ||
  { echo "FAIL: the installed manual page differs from man/rididezuve.8"; exit 1; }
echo "cmake --install put exactly the binary and the manual page under DESTDIR and the prefix"
