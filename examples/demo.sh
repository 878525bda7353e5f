#!/usr/bin/env bash
# Builds kuvo if needed and shows what an upload server would see.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -x "$top/build/default/kuvo" ]; then
  cmake --preset default -S "$top" >/dev/null
  cmake --build "$top/build/default" --target kuvo >/dev/null
fi
set +e
env -i "$top/build/default/kuvo"
echo "exit status: $?"
