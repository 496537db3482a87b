#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Every source file, script and build file carries the licence's SPDX line in
# its first three lines (after a #! line), as FreeBSD's own sources do.
# Usage: spdx_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"

missing=0
while IFS= read -r -d '' file; do
  if ! head -n 3 "$file" | grep -q 'SPDX-License-Identifier: BSD-2-Clause'; then
    echo "FAIL: $file has no SPDX-License-Identifier line"
    missing=$((missing + 1))
  fi
done < <(find src tests tools fuzz bench cmake contrib man scripts .ci CMakeLists.txt -type f \
  \( -name '*.h' -o -name '*.cpp' -o -name '*.py' -o -name '*.sh' -o -name '*.cmake' \
     -o -name '*.yml' -o -name '*.8' -o -name CMakeLists.txt -o -path 'scripts/*' -o -path '.ci/*' \) \
  -print0)

[ "$missing" -eq 0 ] || { echo "$missing file(s) without the licence line"; exit 1; }
echo "every source file carries the licence line"
