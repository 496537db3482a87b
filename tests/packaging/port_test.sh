#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD port skeleton against the build: its pkg-plist names exactly
# what cmake --install installs, and its Makefile names the project's own
# version and build options.
# Usage: port_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build_dir=$1
source_dir=$2
port=$source_dir/packaging/freebsd
. "$(dirname "$0")/install_lib.sh"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
install_into "$scratch" "$build_dir"
# The port builds for FreeBSD, where the plain install must hold everything,
# the loader's configuration file included; a build for another system stages
# that file only on request.
if ! grep -qs 'set(CMAKE_SYSTEM_NAME "FreeBSD")' "$build_dir"/CMakeFiles/*/CMakeSystem.cmake; then
  install_component "$scratch" "$build_dir" loader_conf
fi

# The ports framework gzips every manual page it stages under share/man, so
# the package holds rididezuve.8.gz where cmake --install wrote rididezuve.8.
# The plist must name the compressed file; for the comparison the suffix is
# taken off manual pages only (any other .gz entry must match as it stands).
plist=$(plist_files "$port/pkg-plist")
installed=$(list_installed "$scratch")
if [ "$plist" != "$installed" ]; then
  fail "pkg-plist (manual pages without .gz) and cmake --install differ:"
  diff <(echo "$plist") <(echo "$installed") || true
fi
grep -E '^share/man/' "$port/pkg-plist" | grep -vqE '\.gz$' &&
  fail "pkg-plist names a manual page without .gz; the ports framework compresses them"
# Outside PREFIX only what the loader must find in /boot, named by its
# absolute path; the hints file and its backup belong to the administrator and
# stay when the package is removed.
grep -E '^/' "$port/pkg-plist" | grep -vqE '^/boot/loader\.conf\.d/[^/]+\.conf$' &&
  fail "pkg-plist names a file outside PREFIX other than one in /boot/loader.conf.d"
grep -qE 'device\.hints\.qvd' "$port/pkg-plist" &&
  fail "pkg-plist names the hints file or its backup, which pkg delete would remove"
[ -s "$port/pkg-message" ] || fail "pkg-message is missing or empty"

# Makefile: one value of a variable, tabs and spaces after '=' trimmed.
port_var() {
  sed -nE "s/^$1=[[:space:]]*(.*[^[:space:]])[[:space:]]*$/\1/p" "$port/Makefile"
}
project_version=$(sed -nE 's/^project\(rididezuve VERSION ([0-9.]+).*/\1/p' "$source_dir/CMakeLists.txt")
[ -n "$project_version" ] || fail "no project version found in CMakeLists.txt"
[ "$(port_var DISTVERSION)" = "$project_version" ] ||
  fail "DISTVERSION '$(port_var DISTVERSION)' is not the project version '$project_version'"
[ "$(port_var PORTNAME)" = rididezuve ] || fail "PORTNAME is not rididezuve"
for option in $(port_var CMAKE_OFF) $(port_var CMAKE_ON); do
  grep -qE "^option\($option " "$source_dir/CMakeLists.txt" ||
    fail "the Makefile sets $option, which CMakeLists.txt does not define"
done
[ -s "$port/pkg-descr" ] || fail "pkg-descr is missing or empty"
long_lines=$(awk 'length > 80' "$port/pkg-descr")
[ -z "$long_lines" ] || fail "pkg-descr has lines longer than 80 characters"

if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "pkg-plist matches cmake --install; the Makefile matches the project"
