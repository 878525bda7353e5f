#!/usr/bin/env bash
# Every example of the documentation names the one site of doc/site.md,
# /srv/kuvo-site: a page with another site path (say /srv/ftp/site, which
# purging proftpd-core deletes) sends whoever follows it somewhere else.
# /srv/ftp alone may be named, in the warnings against it.
set -euo pipefail
cd "$(dirname "$0")/../.."
stray=$(ls README.md doc/*.md doc/*.[18] contrib/*/README.md contrib/*/*.conf |
  grep -vx doc/kuvo-watch.8 | xargs grep -noE '/srv/[^ ]*' | sed 's/\\-/-/g' |
  grep -vE ':/srv/(kuvo-site([^-a-z0-9]|$)|ftp([^-a-z0-9/]|$))' || true)
[ -z "$stray" ] || { echo "doc_paths_test: not the site of doc/site.md:"; echo "$stray"; exit 1; } >&2
