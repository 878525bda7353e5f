#!/usr/bin/env bash
# CI: kuvo --watch end to end (needs root): real OpenSSH SFTP, vsftpd and
# rsync uploads into one watcher, then a restart and an overflowing burst.
# Installs the servers once for both tests without starting the system's
# daemons, and removes them again (vsftpd conflicts with the FTP servers of
# the other steps).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build build/release --target kuvo >/dev/null
# shellcheck source=tests/deploy/server_lib.sh
. tests/deploy/server_lib.sh
trap remove_installed_packages EXIT
install_packages openssh-server vsftpd rsync curl python3
tests/deploy/watch_servers_test.sh build/release/kuvo
tests/deploy/watch_catch_up_test.sh build/release/kuvo
