#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The includes of src/ point down: cli over hints and sysinfo, both over cores,
# cores over common, which includes nothing of the project; hints and sysinfo
# do not include each other. And no file pair (NAME.h with NAME.cpp) comes back
# to itself through the pairs it includes.
# Usage: include_layout_test.sh SOURCE_DIR
set -euo pipefail
cd "$1/src"

declare -A layer=([common]=0 [cores]=1 [hints]=2 [sysinfo]=2 [cli]=3)
failures=0
pairs=""
# FILE:HEADER for every project include, quoted or in angle brackets.
while IFS=: read -r file header; do
  from=${file%%/*} to=${header%%/*}
  if [ -z "${layer[$to]:-}" ]; then
    [[ $header == */* ]] && continue  # a system header such as sys/stat.h
    echo "FAIL: $file includes \"$header\", which names no folder of src/"
    failures=$((failures + 1))
  elif [ "$from" != "$to" ] && [ "${layer[$to]}" -ge "${layer[$from]}" ]; then
    echo "FAIL: $file ($from) includes $header ($to), a folder not below it"
    failures=$((failures + 1))
  fi
  pairs+="${file%.*} ${header%.*}"$'\n'
done < <(grep -rE '^\s*#\s*include\s*["<]' --include='*.h' --include='*.cpp' . |
  sed -nE 's#^\./([^:]*):\s*\#\s*include\s*"([^"]*)".*#\1:\2#p; s#^\./([^:]*):\s*\#\s*include\s*<([^>]*/[^>]*)>.*#\1:\2#p')

# tsort names the pairs of a circle and fails when there is one.
if ! tsort <<<"$pairs" >/dev/null; then
  echo "FAIL: the file pairs tsort names above include each other in a circle"
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] || exit 1
echo "every include of src/ points down, none in a circle"
