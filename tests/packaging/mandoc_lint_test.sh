#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# mandoc -Tlint must have nothing to say about the manual page.
# Usage: mandoc_lint_test.sh PAGE
set -uo pipefail

page=$1
skip=77

# FreeBSD's own rules for manual pages (style.mdoc(5), mdoc(7)), which mandoc
# does not check: options are listed in DESCRIPTION, .Li is deprecated, words
# are quoted with .Dq, and source lines stay within 100 columns.
style=$( {
  grep -n '^\.Sh OPTIONS$' "$page" | sed 's/$/: options belong in DESCRIPTION/'
  grep -nE '(^\.| )(Li|Qq)( |$)' "$page" | sed 's/$/: .Li and .Qq are not used (.Ql, .Dq)/'
  awk 'length > 100 { print FNR ": longer than 100 columns" }' "$page"
} )
if [ -n "$style" ]; then
  echo "FreeBSD's manual page style:"
  echo "$style"
  exit 1
fi

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
