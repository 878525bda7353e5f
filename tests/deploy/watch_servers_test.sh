#!/usr/bin/env bash
# End-to-end test of kuvo --watch with upload servers that run no hook: a
# real OpenSSH SFTP server (sftp -b with a key; internal-sftp in a chroot,
# as doc/watch.md sets it up), a real vsftpd (curl -T) and
# rsync (temporary name, then rename), all on 127.0.0.1, each uploading a
# release of its own while one watcher judges them: SFV, good files, a
# corrupt upload and then the good one, up to the complete release with its
# status directory and announce lines. Then the watcher must stay idle.
#
# Usage (as root): watch_servers_test.sh KUVO
# shellcheck source=watch_lib.sh
. "$(dirname "$0")/watch_lib.sh" watch_servers_test "${1:?usage: watch_servers_test.sh KUVO}"
for server in proftpd-core pure-ftpd; do
  if is_installed "$server" && [ "${CI-}" != true ]; then
    echo "watch_servers_test: $server conflicts with vsftpd; skipping" >&2
    exit 77
  fi
done
install_packages openssh-server vsftpd rsync curl python3
make_files
start_sshd
start_vsftpd
watch_start

upload_release sftp_put Sftp.Release nobody
upload_release ftp_put Ftp.Release ftp
upload_release rsync_put Rsync.Release nobody
expect_idle
[ "$(wc -l <"$verdict_log")" -eq 18 ] || complain "$(wc -l <"$verdict_log") verdicts, not 18"
watch_stop
[ "$fail" -eq 0 ] && echo "watch_servers_test: sftp, vsftpd and rsync uploads judged, the watcher idle after"
exit "$fail"
