#!/usr/bin/env bash
# CI: builds the fully static kuvo, passes the whole test suite against it, and
# runs it in an empty chroot (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset static
tests/deploy/chroot_test.sh build/static/kuvo
