#!/usr/bin/env bash
# CI: installs the man page tools that a fresh machine lacks, so that the man
# page is linted by groff and mandoc and rendered by man, and checks what
# `cmake --install` puts into a prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
for pkg in groff-base mandoc man-db; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
cmake --preset default >/dev/null
cmake --build build/default >/dev/null
tests/deploy/man_lint.sh doc/kuvo.1
tests/deploy/install_test.sh build/default
echo "man page and install layout: ok"
