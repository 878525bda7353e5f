#!/usr/bin/env bash
# CI: the pure-ftpd recipe against a real pure-ftpd on 127.0.0.1 (needs root);
# installs pure-ftpd for the test without starting the system's daemon, and
# removes it again, since it conflicts with ProFTPD.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build build/release --target kuvo >/dev/null
tests/deploy/pure_ftpd_test.sh build/release/kuvo
