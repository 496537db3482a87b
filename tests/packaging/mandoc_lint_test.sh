#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# mandoc -Tlint must have nothing to say about the manual page.
# Usage: mandoc_lint_test.sh PAGE
set -uo pipefail

page=$1
skip=77

if ! command -v mandoc >/dev/null 2>&1; then
  echo "SKIP: mandoc is not installed (Debian: apt-get install mandoc; scripts/install-deps does it)"
  exit "$skip"
fi

report=$(mandoc -Tlint "$page" 2>&1)

# Two kinds of note are about the host, not the page. mandoc looks every
# cross reference up in the host's own manual pages, and loader.conf(5),
# device.hints(5), kenv(1) and their kind ship only with FreeBSD; on FreeBSD
# the lookup must succeed. A host whose mandoc.db is older than its pages says
# so for every page it finds on disk.
if [ "$(uname -s)" != FreeBSD ]; then
  report=$(grep -v 'STYLE: referenced manual not found: Xr ' <<<"$report")
fi
report=$(grep -v 'outdated mandoc.db lacks' <<<"$report")

if [ -n "$report" ]; then
  echo "mandoc -Tlint reports:"
  echo "$report"
  exit 1
fi
echo "mandoc -Tlint: clean"
