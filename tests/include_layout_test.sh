#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The includes of src/ point down its rooms: cli over hints and sysinfo, those
# over hints/loader, hints/update and cores, all of them over common, which
# includes nothing of the project; rooms of one layer (hints and sysinfo;
# hints/loader, hints/update and cores) do not include each other. No file
# pair (NAME.h with NAME.cpp) comes back to itself through the pairs it
# includes, and no room's own files hold more than 45% of the lines of src/.
# Usage: include_layout_test.sh SOURCE_DIR
set -euo pipefail
cd "$1/src"

declare -A layer=([common]=0 [cores]=1 [hints/loader]=1 [hints/update]=1 [hints]=2 [sysinfo]=2
                  [cli]=3)
failures=0
pairs=""
# FILE:HEADER for every project include, quoted or in angle brackets.
while IFS=: read -r file header; do
  from=$(dirname "$file") to=$(dirname "$header")
  if [ -z "${layer[$to]:-}" ]; then
    [[ $header == */* ]] && continue  # a system header such as sys/stat.h
    echo "FAIL: $file includes \"$header\", which names no room of src/"
    failures=$((failures + 1))
  elif [ -z "${layer[$from]:-}" ]; then
    echo "FAIL: $file lies in $from, which is no room of src/"
    failures=$((failures + 1))
  elif [ "$from" != "$to" ] && [ "${layer[$to]}" -ge "${layer[$from]}" ]; then
    echo "FAIL: $file ($from) includes $header ($to), a room not below it"
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

total=$(find . \( -name '*.h' -o -name '*.cpp' \) -exec cat {} + | wc -l)
for room in "${!layer[@]}"; do
  own=$(find "$room" -maxdepth 1 \( -name '*.h' -o -name '*.cpp' \) -exec cat {} + | wc -l)
  if [ $((own * 100)) -gt $((total * 45)) ]; then
    echo "FAIL: $room holds $own of the $total lines of src/, over 45%"
    failures=$((failures + 1))
  fi
done

[ "$failures" -eq 0 ] || exit 1
echo "every include of src/ points down, none in a circle, no room over 45% of src/"
