#!/usr/bin/env bash
# CI: the ProFTPD recipe against a real ProFTPD on 127.0.0.1 (needs root),
# with the normal kuvo and, in a DefaultRoot chroot, the static one.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in default static; do
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" --target kuvo >/dev/null
done
tests/deploy/proftpd_test.sh build/default/kuvo build/static/kuvo
