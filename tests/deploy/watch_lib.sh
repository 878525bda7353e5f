# Sourced by the watcher's end-to-end tests (bash) with the test's name and
# the kuvo to test as arguments: checks for root, sources server_lib.sh and
# makes a scratch directory, $work, that the EXIT trap removes with every
# server and watcher started. The site is $work/site with the release
# directories in $work/site/incoming; uploads come from $work/files: four
# files, a corrupt c.rar and their SFV.
#
#   complain MESSAGE               the test fails, and goes on
#   watch_start [OPTION...]        kuvo --watch --json in the background, back
#                                  when it watches the site
#   watch_stop                     SIGTERM: it must exit 0
#   wait_verdicts N                until N verdicts in all were printed
#   verdicts [RELEASE]             "file status" of each verdict, in order
#   upload_release PUT RELEASE OWNER
#                                  the whole scenario through the command PUT
#                                  FILE RELEASE (one upload of $work/files/FILE),
#                                  whose files belong to OWNER and his group
#   expect_idle                    no verdict, run or CPU time for 3 seconds
#   start_sshd, start_vsftpd       servers on 127.0.0.1, sessions as nobody
#                                  and (vsftpd's anonymous user) ftp
#   sftp_put, ftp_put, rsync_put   PUT commands: sftp -b, curl -T, local rsync

set -euo pipefail
test_name=$1
kuvo=$(realpath "$2")
if [ "$(id -u)" -ne 0 ]; then
  echo "$test_name: needs root for its servers and the inotify limits; skipping" >&2
  exit 77
fi
# shellcheck source=server_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/server_lib.sh"
verdict_log=
watch_pid=
work=
pids=()
queued=/proc/sys/fs/inotify/max_queued_events
old_queued=$(cat "$queued")
fail=0
complain() { echo "$test_name: $*" >&2; fail=1; }
cleanup() {
  local status=$? pid
  echo "$old_queued" >"$queued" 2>/dev/null || true
  [ -z "$watch_pid" ] || kill -CONT "$watch_pid"
  for pid in $watch_pid "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  [ "$status" -eq 0 ] || [ -z "$work" ] || show_logs "$work/run"
  [ -z "$work" ] || rm -rf "$work"
  [ -z "${made_run_sshd-}" ] || rmdir /run/sshd
  remove_installed_packages
}
trap cleanup EXIT

make_files() {
  python=$(command -v python3)
  # Not below /tmp: sshd's chroot must be reached through root's directories only.
  work=$(mktemp -d /srv/kuvo-watch.XXXXXX)
  chmod 755 "$work"
  mkdir -p "$work/files/bad" "$work/run" "$work/site/incoming"
  chmod 1777 "$work/site/incoming"
  local name
  for name in a b c d; do
    head -c 300000 /dev/zero | tr '\0' "$name" >"$work/files/$name.rar"
  done
  echo corrupt >"$work/files/bad/c.rar"
  (cd "$work/files" && "$python" -c 'import sys, zlib
for n in sys.argv[1:]: print("%s %08x" % (n, zlib.crc32(open(n, "rb").read())))' ?.rar) \
    >"$work/files/some.sfv"
  chmod -R a+rX "$work/files"
}

# The watcher says "watching N directories" once uploads from then on are seen.
watch_start() {
  verdict_log=$work/run/verdicts.log
  local said wait
  said=$(cat "$work/run/watch.log" 2>/dev/null | grep -c '^kuvo: watching ' || true)
  KUVO_COMPLETE=complete KUVO_ANNOUNCEFILE=$work/site/announce.log UNFO=- \
    "$kuvo" --watch --json --settle 0.3 -U -G -A1 "$@" "$work/site/incoming" \
    >>"$verdict_log" 2>>"$work/run/watch.log" &
  watch_pid=$!
  for wait in $(seq 200); do
    [ "$(grep -c '^kuvo: watching ' "$work/run/watch.log" || true)" -eq "$said" ] || return 0
    kill -0 "$watch_pid" 2>/dev/null || break
    sleep 0.05
  done
  complain "the watcher does not say that it watches the site"
  exit 1
}

watch_stop() {
  kill -TERM "$watch_pid"
  wait "$watch_pid" || complain "the watcher exited with $? after SIGTERM"
  watch_pid=
}

wait_verdicts() {
  local wait
  for wait in $(seq 200); do
    [ "$(wc -l <"$verdict_log")" -lt "$1" ] || return 0
    sleep 0.05
  done
  complain "$(wc -l <"$verdict_log") verdicts, not $1"
}

verdicts() {
  "$python" -c 'import json, os, sys
for line in open(sys.argv[1]):
    v = json.loads(line)
    if sys.argv[2] in ("", os.path.basename(v["release"])):
        print(v["file"], v["status"])' "$verdict_log" "${1-}"
}

# Four files and their SFV, a corrupt upload and then the good one: each
# upload gets its verdict before the next one starts.
upload_release() {
  local put=$1 release=$2 dir=$work/site/incoming/$2 expected got before
  local steps=("some.sfv 0" "a.rar 2" "bad/c.rar 6" "b.rar 2" "d.rar 2" "c.rar 3") step
  for step in "${steps[@]}"; do
    before=$(wc -l <"$verdict_log")
    "$put" "${step% *}" "$release" || complain "$release: uploading ${step% *} failed"
    wait_verdicts "$((before + 1))"
  done
  expected=$(printf '%s\n' "${steps[@]}" | sed 's#^bad/##')
  got=$(verdicts "$release")
  [ "$got" = "$expected" ] || complain "$release: verdicts" "$(echo $got)"
  got=$(cd "$dir" && echo *)
  [ "$got" = "a.rar b.rar c.rar c.rar-crc-failed complete d.rar some.sfv" ] ||
    complain "$release holds $got"
  cmp -s "$dir/c.rar" "$work/files/c.rar" || complain "$release: c.rar is not the good upload"
  grep -F "\"$dir " "$work/site/announce.log" >"$work/run/$release.announce" || true
  check_announce "$work/run/$release.announce" "$dir" "$3" "$(id -gn "$3")" -
}

cpu_ticks() {
  awk '{ print $14 + $15 + $16 + $17 }' "/proc/$watch_pid/stat"
}

expect_idle() {
  local lines ticks
  sleep 1
  lines=$(wc -l <"$verdict_log")
  ticks=$(cpu_ticks)
  sleep 3
  [ "$(wc -l <"$verdict_log")" -eq "$lines" ] || complain "verdicts while idle: $(tail -n +"$((lines + 1))" "$verdict_log")"
  [ "$(cpu_ticks)" -le "$((ticks + 1))" ] || complain "the idle watcher took $(($(cpu_ticks) - ticks)) ticks of CPU"
  [ -z "$(pgrep -P "$watch_pid")" ] || complain "the idle watcher still has runs"
}

# sshd with its own keys and configuration, for nobody's key only, as the
# guide's recipe has it: internal-sftp locked into the site.
start_sshd() {
  mkdir "$work/ssh"
  # sshd's privilege separation needs it; made here, it goes again at the end.
  [ -d /run/sshd ] || { mkdir /run/sshd && made_run_sshd=1; }
  ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/host"
  ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/client"
  cp "$work/ssh/client.pub" "$work/ssh/authorized_keys"
  launch_sshd() {
    cat >"$work/ssh/sshd_config" <<EOF
ListenAddress 127.0.0.1:$port
HostKey $work/ssh/host
PidFile none
AuthorizedKeysFile $work/ssh/authorized_keys
StrictModes no
AllowUsers nobody
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
Subsystem sftp internal-sftp
Match User nobody
    ChrootDirectory $work/site
    ForceCommand internal-sftp -u 0022
EOF
    /usr/sbin/sshd -D -e -f "$work/ssh/sshd_config" >"$work/run/sshd.log" 2>&1 &
  }
  start_listening launch_sshd
  ssh_port=$port
  pids+=("$server_pid")
}

# sftp -b: a batch in which a failed command ends the session with an error.
sftp_put() {
  printf -- '-mkdir /incoming/%s\nput %s /incoming/%s/\n' "$2" "$work/files/$1" "$2" |
    sftp -q -b - -i "$work/ssh/client" -P "$ssh_port" -o BatchMode=yes -o StrictHostKeyChecking=no \
      -o UserKnownHostsFile=/dev/null nobody@127.0.0.1 >/dev/null 2>>"$work/run/sftp.log"
}

# vsftpd's anonymous sessions as ftp (the package's user; its home must
# exist), locked into the site.
start_vsftpd() {
  mkdir -p "$work/vsftpd/empty"
  launch_vsftpd() {
    cat >"$work/vsftpd/vsftpd.conf" <<EOF
listen=YES
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$work/site
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_umask=022
local_enable=NO
secure_chroot_dir=$work/vsftpd/empty
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=YES
vsftpd_log_file=$work/run/vsftpd.log
EOF
    vsftpd "$work/vsftpd/vsftpd.conf" >"$work/run/vsftpd-server.log" 2>&1 &
  }
  start_listening launch_vsftpd
  ftp_port=$port
  pids+=("$server_pid")
}

ftp_put() {
  curl -sS --ftp-create-dirs -T "$work/files/$1" "ftp://127.0.0.1:$ftp_port/incoming/$2/" \
    2>>"$work/run/curl.log"
}

# rsync writes a temporary name beside the file and renames it.
rsync_put() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    rsync -t "$work/files/$1" "$work/site/incoming/$2/" 2>>"$work/run/rsync.log"
}
