#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# scripts/skipped-tests over a CTest results file of each kind of test: a
# GoogleTest skip with a reason of two lines, a script that exits with its
# skip status, one skipped without output, and tests that ran (never listed).
# Usage: skipped_tests_test.sh SOURCE_DIR
set -euo pipefail

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cat >"$scratch/results.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="t" tests="5" failures="0" disabled="0" skipped="3">
	<testcase name="Suite.GTestSkip" status="notrun">
		<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
		<system-out>[ RUN      ] Suite.GTestSkip
/src/a_test.cpp:12: Skipped
needs &quot;root&quot;
  and a mount namespace
[  SKIPPED ] Suite.GTestSkip (0 ms)
[  SKIPPED ] 1 test, listed below:
</system-out>
	</testcase>
	<testcase name="script.skip" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
		<system-out>checking
SKIP: mandoc is not installed
</system-out>
	</testcase>
	<testcase name="script.silent" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
		<system-out></system-out>
	</testcase>
	<testcase name="Suite.Ran" status="run"><system-out>SKIP: not me</system-out></testcase>
	<testcase name="Suite.Failed" status="fail"><system-out>: Skipped</system-out></testcase>
</testsuite>
XML
expected='skipped Suite.GTestSkip: needs "root" and a mount namespace
skipped script.skip: mandoc is not installed
skipped script.silent: SKIP_RETURN_CODE=77'
actual=$("$1/scripts/skipped-tests" "$scratch/results.xml")
if [ "$actual" != "$expected" ]; then
  echo "FAIL: scripts/skipped-tests printed:"
  echo "$actual"
  exit 1
fi
"$1/scripts/skipped-tests" "$scratch/missing.xml" 2>/dev/null &&
  { echo "FAIL: a missing results file passed"; exit 1; }
echo "scripts/skipped-tests names each skipped test and its reason"
