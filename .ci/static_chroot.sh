#!/usr/bin/env bash
# CI: builds the fully static kuvo as it is packaged (the package step reuses
# this build) and runs it in an empty chroot (needs root). The whole suite
# against a static kuvo with its tests is `cmake --workflow --preset static`,
# run by hand: the chroot run plays the paths that a static kuvo changes (no
# shared libraries, no name service), and CI's time goes to the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset release-static
tests/deploy/chroot_test.sh build/release-static/kuvo
