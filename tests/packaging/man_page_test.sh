#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The manual page against the sources: every option of the option table, every
# exit status and every message of the program must be documented, and the
# page must not document options or statuses that no longer exist. Everything
# is read from the sources, so a change there that the page misses fails here.
# Usage: man_page_test.sh SOURCE_DIR
set -euo pipefail

source_dir=$1
page=$source_dir/man/rididezuve.8
options_source=$source_dir/src/cli/options.cpp
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The body of one section of the page, without its .Sh line, with lines that
# end in a backslash joined to the next as roff joins them.
section() {
  sed -e ':join' -e '/\\$/{N;s/\\\n//;b join' -e '}' "$page" |
    awk -v name="$1" '$0 == ".Sh " name { inside = 1; next } /^\.Sh / { inside = 0 } inside'
}

# The page's text with mdoc's escapes for double quote and backslash undone,
# so that it can be compared with C string literals.
plain() {
  sed -e 's/\\(dq/"/g' -e 's/\\e/\\/g'
}

# --- Options -----------------------------------------------------------------

short_string=$(sed -n 's/.*kShortOptions\[\] = "\([^"]*\)".*/\1/p' "$options_source")
# One line per entry, '"name", required_argument' or '"name", no_argument'.
long_table=$(sed -n '/kLongOptions\[\] = {/,/^};/p' "$options_source" | grep -oE '\{"[^"]+", *[a-z_]+' || true)
[ -n "$short_string" ] || fail "no short option string found in $options_source"
[ -n "$long_table" ] || fail "no long option table found in $options_source"

# FreeBSD lists the options in DESCRIPTION.
options_section=$(section DESCRIPTION)
synopsis_section=$(section SYNOPSIS)
# Every flag named on an item line of DESCRIPTION, one per line: "s", "-set", ...
documented=$(grep -E '^\.It Fl ' <<<"$options_section" | grep -oE 'Fl [^ ]+' | cut -d' ' -f2 | sort -u)

# Short options: a letter followed by a colon takes an argument.
known=()
for ((i = 0; i < ${#short_string}; i++)); do
  letter=${short_string:i:1}
  [ "$letter" = ":" ] && continue
  known+=("$letter")
  grep -qxF -- "$letter" <<<"$documented" || fail "short option -$letter has no item in DESCRIPTION"
  if [ "${short_string:i+1:1}" = ":" ]; then
    grep -qE "^\.It Fl $letter Ar " <<<"$options_section" ||
      fail "-$letter takes an argument, but its item shows none"
  elif grep -qE "^\.It Fl $letter Ar " <<<"$options_section"; then
    fail "-$letter takes no argument, but its item shows one"
  fi
done

while read -r entry; do
  name=$(sed -E 's/^\{"([^"]+)".*/\1/' <<<"$entry")
  known+=("-$name")
  grep -qxF -- "-$name" <<<"$documented" || fail "long option --$name has no item in DESCRIPTION"
  if grep -q required_argument <<<"$entry"; then
    grep -qE "Fl -$name Ar " <<<"$options_section" ||
      fail "--$name takes an argument, but the page shows none"
  elif grep -qE "Fl -$name Ar " <<<"$options_section"; then
    fail "--$name takes no argument, but the page shows one"
  fi
done <<<"$long_table"

# Nothing documented that the program does not know.
is_known() {
  local candidate
  for candidate in "${known[@]}"; do [ "$candidate" = "$1" ] && return 0; done
  return 1
}
while read -r flag; do
  [ -n "$flag" ] || continue
  is_known "$flag" || fail "DESCRIPTION documents -$flag, which the option table lacks"
done <<<"$documented"
while read -r flag; do
  [ -n "$flag" ] || continue
  is_known "$flag" || fail "SYNOPSIS shows -$flag, which the option table lacks"
done < <(grep -oE 'Fl [^ ]+' <<<"$synopsis_section" | cut -d' ' -f2 | sort -u)

# --- Exit statuses -------------------------------------------------------------

# The program's own failures are negative constants; the exit status keeps
# their low 8 bits (-1 becomes 255).
codes=$(cat "$source_dir/src/cli/main.cpp" "$source_dir/src/hints/hints_update.cpp" |
  sed -nE 's/^\s*constexpr int k[A-Za-z]+ = -([0-9]+);.*/\1/p')
[ -n "$codes" ] || fail "no status constants found in main.cpp or hints_update.cpp"
statuses="0"
for code in $codes; do statuses+=" $((256 - code))"; done
# --verify's own status for a finding.
statuses+=" $(sed -nE 's/^\s*constexpr int k[A-Za-z]+ = ([0-9]+);.*/\1/p' "$source_dir/src/hints/boot_verify.cpp")"

exit_section=$(section "EXIT STATUS")
for status in $statuses; do
  grep -qxE "\.It $status" <<<"$exit_section" || fail "exit status $status has no item in EXIT STATUS"
done
while read -r listed; do
  [ -n "$listed" ] || continue
  [[ " $statuses " == *" $listed "* ]] || fail "EXIT STATUS lists $listed, which the program never returns"
done < <(sed -nE 's/^\.It ([0-9]+)$/\1/p' <<<"$exit_section")
grep -qiE '^\.It .*positive' <<<"$exit_section" ||
  fail "EXIT STATUS does not explain the positive statuses (system error numbers)"

# --- Messages ------------------------------------------------------------------

diagnostics=$(section DIAGNOSTICS | plain)
# Every source of src/ that writes a message: through report(), or a literal
# that begins as the messages do.
mapfile -t message_sources < <(grep -rlE '(^|[^_[:alnum:]])(report|finding)\(|"(error|restored|incomplete|moved|cannot) ' \
  --include='*.cpp' "$source_dir/src" | sort)
[ "${#message_sources[@]}" -ge 5 ] || fail "too few sources with messages under src/"
literal='"([^"\\]|\\.)*"'
for file in "${message_sources[@]}"; do
  # Messages are the formats passed to report(), the texts of --verify's
  # findings, or literals that begin with "error ", "restored ", "incomplete "
  # or "moved ".
  messages=$( {
    grep -oE "(^|[^_[:alnum:]])report\($literal" "$file" | sed -E 's/^.?report\(//' || true
    grep -oE "finding\([^,()]*, *$literal" "$file" | sed -E 's/^finding\([^,()]*, *//' || true
    grep -oE "\"(error|restored|incomplete|moved|cannot) ([^\"\\\\]|\\\\.)*\"" "$file" || true
  } | sort -u)
  [ -n "$messages" ] || fail "no messages found in $file"
  while read -r message; do
    [ -n "$message" ] || continue
    # Undo the C escapes, drop the line end and check each fixed piece
    # around the %s conversions.
    text=$(sed -E 's/^"//; s/"$//; s/\\n$//; s/\\"/"/g' <<<"$message")
    while read -r piece; do
      [ "${#piece}" -ge 2 ] || continue
      grep -qF -- "$piece" <<<"$diagnostics" ||
        fail "message piece '$piece' (from $(basename "$file")) is missing in DIAGNOSTICS"
    done <<<"${text//%s/$'\n'}"
  done <<<"$messages"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures problem(s) in $page"
  exit 1
fi
echo "manual page documents every option, exit status and message"
