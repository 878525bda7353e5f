#!/usr/bin/env bash
# Checks that the man page renders without a single warning and still names
# every variable kuvo reads and every exit status it has; the wrappers' pages
# beside it (*.8) must render without a warning too.
# Usage: man_lint.sh path/to/kuvo.1   (exit status 77: groff is missing)
set -euo pipefail
page=${1:?usage: man_lint.sh kuvo.1}
top="$(cd "$(dirname "$0")/../.." && pwd)"
# Before the pages' own checks: the examples of every page name one site.
"$top/tests/deploy/doc_paths_test.sh" || exit 1

if ! command -v groff >/dev/null; then
  echo "groff is not installed (Debian: groff-base); skipping" >&2
  exit 77
fi

fail=0
complain() { echo "man_lint: $*" >&2; fail=1; }

for each in "$page" "$(dirname "$page")"/*.8; do
  # groff prints every warning it finds on standard error; -ww enables them all.
  warnings=$(groff -ww -z -man -t "$each" 2>&1 || echo "groff failed")
  [ -z "$warnings" ] || complain "groff: $warnings"

  # mandoc's lint is stricter about macro use; CI installs it, elsewhere it is optional.
  if command -v mandoc >/dev/null; then
    lint=$(mandoc -T lint -W warning "$each" 2>&1 || true)
    [ -z "$lint" ] || complain "mandoc: $lint"
  fi
  grep -qx '\.SH BUGS' "$each" || complain "$each has no BUGS section"
done

# Every variable the settings code reads, and everything the switches test for.
for name in $(grep -o '"KUVO_[A-Z_]*"' "$top/src/run/environment.cc" | tr -d '"' | sort -u) \
    USER GROUP UNFO '\\-U' '\\-G' '\\-I' '\\-A0' '\\-A1' '\\-A2' '\\-L' '\\-\\-help' '\\-\\-version' \
    '\\-\\-check' '\\-\\-repair' '\\-\\-dry\\-run' '\\-\\-json'; do
  grep -q -- "$name" "$page" || complain "the page does not mention $name"
done
exit_section=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' "$page")
for status in 0 1 2 3 4 5 6 7 255; do
  grep -qx "\.B $status" <<<"$exit_section" || complain "EXIT STATUS lacks status $status"
done
for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES \
    "IGNORE PATTERNS" "ANNOUNCE LINES"; do
  grep -qx "\.SH $section" "$page" || complain "section $section is missing"
done
exit "$fail"
