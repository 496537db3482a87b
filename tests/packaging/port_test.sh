#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD port skeleton against the build: its PLIST_FILES name exactly
# what cmake --install installs, and its Makefile names the project's own
# version, build options and distribution file.
# Usage: port_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build_dir=$1
source_dir=$2
port=$source_dir/packaging/freebsd
# shellcheck source=tests/packaging/install_lib.sh
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
# PLIST_FILES must name the compressed file; for the comparison the suffix is
# taken off manual pages only (any other .gz entry must match as it stands).
entries=$(plist_entries "$port/Makefile")
plist=$(plist_files "$port/Makefile")
installed=$(list_installed "$scratch")
if [ "$plist" != "$installed" ]; then
  fail "PLIST_FILES (manual pages without .gz, samples by their source) and cmake --install differ:"
  diff <(echo "$plist") <(echo "$installed") || true
fi
grep -E '^share/man/' <<<"$entries" | grep -vqE '\.gz$' &&
  fail "PLIST_FILES names a manual page without .gz; the ports framework compresses them"
# Nothing is packaged outside PREFIX: the two files the loader must find in
# /boot are copies of samples (@sample), made only where no file is there yet
# and removed only while unchanged, so an administrator's edit survives
# reinstalls and removal. Their backup is never the package's.
grep -E '^/' <<<"$entries" && fail "PLIST_FILES names a file outside PREFIX other than by @sample"
targets=$(sed -nE 's#^@sample [^ ]+ ##p' <<<"$entries" | LC_ALL=C sort)
[ "$targets" = "$(printf '%s\n' /boot/device.hints.qvd /boot/loader.conf.d/rididezuve.conf)" ] ||
  fail "the @sample copies are not the hints file and the loader.conf.d file: $targets"
grep -qE 'KxBak' <<<"$entries" && fail "PLIST_FILES names the backup, which pkg delete would remove"
# The hints file a fresh host starts from: comments only, so the first update
# has a file to work on and the next boot reads no hint the administrator did
# not choose.
hints_sample=$source_dir/packaging/freebsd/device.hints.qvd
grep -vqE '^(#.*)?$' "$hints_sample" && fail "the sample hints file holds more than comments"
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
  grep -qE "^option\($option( |$)" "$source_dir/CMakeLists.txt" ||
    fail "the Makefile sets $option, which CMakeLists.txt does not define"
done
# The samples must not come with the install only by the option's default.
grep -qw RIDIDEZUVE_LOADER_CONF <<<"$(port_var CMAKE_ON)" ||
  fail "the Makefile does not set CMAKE_ON=RIDIDEZUVE_LOADER_CONF"
# distinfo, as scripts/release writes it, for the tarball of this version.
distfile="rididezuve-$project_version.tar.gz"
for field in SHA256 SIZE; do
  grep -qE "^$field \($distfile\) = [0-9a-f]+$" "$port/distinfo" ||
    fail "distinfo has no $field of $distfile (scripts/release writes it)"
done
[ -s "$port/pkg-descr" ] || fail "pkg-descr is missing or empty"
long_lines=$(awk 'length > 80' "$port/pkg-descr")
[ -z "$long_lines" ] || fail "pkg-descr has lines longer than 80 characters"

if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "PLIST_FILES match cmake --install; the Makefile matches the project"
