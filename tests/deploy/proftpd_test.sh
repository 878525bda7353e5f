#!/usr/bin/env bash
# End-to-end test of the ProFTPD recipe in contrib/proftpd: a real ProFTPD,
# listening on 127.0.0.1 only, runs kuvo through kuvo-proftpd after every
# upload, configured by contrib/proftpd/kuvo.conf with only its paths changed.
# A real FTP client uploads a whole release in one session and checks every
# 226 reply; this script then checks the release directory and the announce
# file.
#
# With a static kuvo as the second argument, a second session is locked into
# its home directory by DefaultRoot and runs the static kuvo and the wrapper
# under a static busybox inside that chroot.
#
# Usage (as root): proftpd_test.sh KUVO [STATIC_KUVO]
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
kuvo=$(realpath "${1:?usage: proftpd_test.sh KUVO [STATIC_KUVO]}")
static_kuvo=
[ $# -lt 2 ] || static_kuvo=$(realpath "$2")

if [ "$(id -u)" -ne 0 ]; then
  echo "proftpd_test: needs root to start ProFTPD; skipping" >&2
  exit 77
fi

# shellcheck source=server_lib.sh
. "$top/tests/deploy/server_lib.sh"
work=
server_pid=
cleanup() {
  local status=$?
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  [ "$status" -eq 0 ] || [ -z "$work" ] || show_logs "$work/run"
  [ -z "$work" ] || rm -rf "$work"
  remove_installed_packages
}
trap cleanup EXIT

needed=(proftpd-core)
[ -x /usr/bin/python3 ] || command -v python3 >/dev/null || needed+=(python3)
[ -z "$static_kuvo" ] || needed+=(busybox-static)
install_packages --replacing pure-ftpd "${needed[@]}"
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

# --- the site: configuration and logs owned by root, uploads by the FTP users.
work=$(mktemp -d /tmp/kuvo-proftpd.XXXXXX)
chmod 755 "$work"
mkdir -m 755 "$work/etc" "$work/run" "$work/libexec"
up_uid=47011 jail_uid=47012
install -m 755 "$kuvo" "$work/libexec/kuvo"
install -m 755 "$top/contrib/proftpd/kuvo-proftpd" "$work/libexec/kuvo-proftpd"
mkdir -p "$work/site/incoming"
chown -R "$up_uid:$up_uid" "$work/site"

# Python's crypt module is gone from 3.13 on; openssl can stand in for it.
hash=$("$python" -W ignore -c 'import crypt; print(crypt.crypt("secret", crypt.mksalt(crypt.METHOD_SHA512)))' \
  2>/dev/null || openssl passwd -6 secret)
{
  echo "up:$hash:$up_uid:$up_uid::$work/site:/bin/sh"
  echo "jailed:$hash:$jail_uid:$jail_uid::$work/jail:/bin/sh"
} >"$work/etc/passwd"
printf 'up:x:%s:\njail:x:%s:\n' "$up_uid" "$jail_uid" >"$work/etc/group"
chmod 600 "$work/etc/passwd" "$work/etc/group"

conf=$work/etc/proftpd.conf
cat >"$conf" <<EOF
ServerType standalone
ServerName "kuvo end-to-end test"
DefaultAddress 127.0.0.1
SocketBindTight on
Port 0
UseIPv6 off
UseReverseDNS off
User nobody
Group nogroup
PidFile $work/run/proftpd.pid
ScoreboardFile $work/run/proftpd.scoreboard
SystemLog $work/run/system.log
TransferLog $work/run/xfer.log
WtmpLog off
DelayEngine off
AuthPAM off
AuthOrder mod_auth_file.c
AuthUserFile $work/etc/passwd
AuthGroupFile $work/etc/group
RequireValidShell off
DefaultRoot ~ jail
LoadModule mod_exec.c
# Spaces inside a value need quotes; sample* is not in kuvo's default list.
ExecEnviron KUVO_IGNORE "*.nfo *.sfv sample*"
EOF
# The recipe itself, pointed at this test's directories, with the paths that
# installing it would fill in.
sed -e "s#/var/log/proftpd/exec.log#$work/run/exec.log#" \
  -e "s#/srv/kuvo-site#$work/site#g" \
  -e "s#@KUVO_LIBEXECDIR@#$work/libexec#g" -e "s#@KUVO_BINDIR@#$work/libexec#g" \
  "$top/contrib/proftpd/kuvo.conf" >>"$conf"
grep -q "ExecOnCommand STOR,APPE $work/libexec/kuvo-proftpd --kuvo=$work/libexec/kuvo " "$conf" ||
  { echo "proftpd_test: kuvo.conf no longer has the expected ExecOnCommand line" >&2; exit 1; }

if [ -n "$static_kuvo" ]; then
  # Inside the chroot: the static kuvo, the wrapper, a static shell with the
  # few tools the wrapper uses, and /dev/null for mod_exec's standard input.
  jail=$work/jail
  mkdir -p "$jail/bin" "$jail/dev" "$jail/incoming"
  install -m 755 "$static_kuvo" "$jail/bin/kuvo"
  install -m 755 "$top/contrib/proftpd/kuvo-proftpd" "$jail/bin/kuvo-proftpd"
  install -m 755 /bin/busybox "$jail/bin/busybox"
  for tool in sh tr cut mv rm; do ln -s busybox "$jail/bin/$tool"; done
  mknod -m 666 "$jail/dev/null" c 1 3 2>/dev/null || true
  chown -R "$jail_uid:$jail_uid" "$jail/incoming"
  cat >>"$conf" <<EOF
<Directory $jail/incoming/*/*>
  ExecOnCommand STOR,APPE /bin/kuvo-proftpd --on-bad=delete %F -G
</Directory>
<Directory $jail/incoming/*/*/*>
  ExecEnable off
</Directory>
EOF
fi

/usr/sbin/proftpd -t -c "$conf" >"$work/run/syntax.log" 2>&1 ||
  { cat "$work/run/syntax.log" >&2; exit 1; }
launch_proftpd() {
  sed -i "s/^Port .*/Port $port/" "$conf"
  /usr/sbin/proftpd -n -c "$conf" >"$work/run/server.log" 2>&1 &
}
start_listening launch_proftpd

# --- the sessions: the client checks every reply as it goes.
cat >"$work/client.py" <<'EOF'
import ftplib, io, sys, zlib

port, plan = int(sys.argv[1]), sys.argv[2]
failures = []

def data(name):
    return ("contents of %s\n" % name).encode()

def sfv(names, extra=""):
    lines = ["; release check list"]
    lines += ["%s %08x" % (n, zlib.crc32(data(n))) for n in names]
    return ("\n".join(lines) + "\n" + extra).encode()

def unchecked(ftp, name):
    """An upload that kuvo must not see: a plain 226, no answer."""
    reply = ftp.storbinary("STOR " + name, io.BytesIO(data(name)))
    if reply != "226 Transfer complete":
        failures.append("%s: checked, reply %r" % (name, reply))
    print("%-10s %s" % (name, reply))

def upload(ftp, name, body, *expected, command="STOR"):
    """One upload; the 226 reply must be the transfer line plus kuvo's answer
    as a single line holding every expected piece, and the control connection
    must still be in step afterwards."""
    reply = ftp.storbinary(command + " " + name, io.BytesIO(body))
    lines = reply.split("\n")
    if len(lines) != 2 or lines[0] != "226-Transfer complete" or not lines[1].startswith("226 "):
        failures.append("%s: reply is not one extra 226 line: %r" % (name, reply))
    for piece in expected:
        if piece not in reply:
            failures.append("%s: %r not in reply %r" % (name, piece, reply))
    if "\r" in reply:
        failures.append("%s: carriage return in reply %r" % (name, reply))
    noop = ftp.voidcmd("NOOP")
    if not noop.startswith("200"):
        failures.append("%s: control connection out of step: %r" % (name, noop))
    print("%-10s %s" % (name, lines[-1]))

ftp = ftplib.FTP()
ftp.connect("127.0.0.1", port, timeout=20)
if plan == "site":
    ftp.login("up", "secret")
    ftp.cwd("incoming")
    unchecked(ftp, "stray.rar")
    ftp.mkd("Some.Release")
    ftp.cwd("Some.Release")
    names = ["a.rar", "b.rar", "c.rar", "d.rar"]
    upload(ftp, "a.rar", data("a.rar"), "No SFV file located, renaming a.rar to UNTESTED.")
    upload(ftp, "some.sfv", sfv(names, "some.nfo 01234567\nsample.rar 89abcdef\n"),
           "Testing UNTESTED files against some.sfv... | Testing a.rar...CRC okay.",
           "Creating MISSING files from some.sfv...",
           "Upload progress: [025%] [#####---------------]")
    upload(ftp, "b.rar", data("b.rar"),
           "Checking b.rar against SFV file some.sfv...CRC okay.",
           "Upload progress: [050%] [##########----------]")
    # A release's subdirectories are no release directories of their own.
    ftp.mkd("Sample")
    unchecked(ftp, "Sample/sample.mkv")
    upload(ftp, "c.rar", b"corrupt" + data("c.rar"),
           "Checking c.rar against SFV file some.sfv...CRC failed.",
           "CRC mismatch: c.rar was renamed to c.rar-crc-failed.")
    upload(ftp, "d.rar", data("d.rar"), "Upload progress: [075%] [###############-----]",
           command="APPE")
    upload(ftp, "c.rar", data("c.rar"), "Upload progress: [100%] [--all-files-CRC-ok--]")
    try:
        ftp.storbinary("STOR x%u.rar", io.BytesIO(b"x"))
        failures.append("a name with %% was accepted")
    except ftplib.error_perm as refused:
        print("%-10s %s" % ("x%u.rar", refused))
else:
    ftp.login("jailed", "secret")
    if ftp.pwd() != "/":
        failures.append("the jailed session is not chrooted: %s" % ftp.pwd())
    ftp.cwd("/incoming")
    ftp.mkd("Jailed.Release")
    ftp.cwd("Jailed.Release")
    upload(ftp, "j.sfv", sfv(["j1.rar", "j2.rar"]), "Upload progress: [000%]")
    upload(ftp, "j1.rar", b"bad", "CRC failed.", "CRC mismatch: j1.rar was deleted.")
    upload(ftp, "j1.rar", data("j1.rar"), "Upload progress: [050%]")
    upload(ftp, "j2.rar", data("j2.rar"), "Upload progress: [100%] [--all-files-CRC-ok--]")
ftp.quit()
for failure in failures:
    print("FAIL: " + failure)
sys.exit(1 if failures else 0)
EOF

fail=0
complain() { echo "proftpd_test: $*" >&2; fail=1; }

timeout 60 "$python" "$work/client.py" "$port" site || fail=1

release=$work/site/incoming/Some.Release
listing=$(cd "$release" && LC_ALL=C ls -A | tr '\n' ' ')
[ "$listing" = "Sample a.rar b.rar c.rar c.rar-crc-failed complete d.rar some.sfv " ] ||
  complain "release directory holds: $listing"
listing=$(cd "$release/Sample" && LC_ALL=C ls -A | tr '\n' ' ')
[ "$listing" = "sample.mkv " ] || complain "Sample/ holds: $listing"
listing=$(cd "$work/site/incoming" && LC_ALL=C ls -A | tr '\n' ' ')
[ "$listing" = "Some.Release stray.rar " ] || complain "incoming/ holds: $listing"
[ -d "$release/complete" ] || complain "no completion directory"

check_announce "$work/site/announce.log" "$release" up up ""

if [ -n "$static_kuvo" ]; then
  timeout 60 "$python" "$work/client.py" "$port" jail || fail=1
  jailed=$work/jail/incoming/Jailed.Release
  listing=$(cd "$jailed" && LC_ALL=C ls -A | tr '\n' ' ')
  [ "$listing" = "complete j.sfv j1.rar j2.rar " ] ||
    complain "jailed release directory holds: $listing"
fi

kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=
[ "$fail" -eq 0 ] && echo "proftpd_test: the recipe works with a real ProFTPD"
exit "$fail"
