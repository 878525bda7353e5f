#!/usr/bin/env bash
# End-to-end test of the pure-ftpd recipe in contrib/pure-ftpd: a real
# pure-ftpd, listening on 127.0.0.1 only and locking its virtual user into
# the site, hands every upload to pure-uploadscript, which runs kuvo through
# kuvo-pure-ftpd with contrib/pure-ftpd/kuvo.conf, only its paths changed. A
# real FTP client uploads a release; as pure-ftpd relays nothing, the client
# waits for each answer in the wrapper's log and checks it and the release
# directory, up to the complete release and its announce lines.
#
# Usage (as root): pure_ftpd_test.sh KUVO
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
kuvo=$(realpath "${1:?usage: pure_ftpd_test.sh KUVO}")

if [ "$(id -u)" -ne 0 ]; then
  echo "pure_ftpd_test: needs root to start pure-ftpd; skipping" >&2
  exit 77
fi
# pure-ftpd and pure-uploadscript meet in a pipe at a fixed path: a running
# pair would take this test's uploads.
if pgrep -x pure-ftpd >/dev/null || pgrep -f '^[^ ]*pure-uploadscript( |$)' >/dev/null; then
  echo "pure_ftpd_test: a pure-ftpd is running on this machine; skipping" >&2
  exit 77
fi

# shellcheck source=server_lib.sh
. "$top/tests/deploy/server_lib.sh"
work=
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  [ "$status" -eq 0 ] || [ -z "$work" ] || show_logs "$work/run"
  [ -z "$work" ] || rm -rf "$work"
  rm -f /run/pure-ftpd.upload.pipe /run/pure-ftpd.upload.lock
  remove_installed_packages
}
trap cleanup EXIT

needed=(pure-ftpd)
[ -x /usr/bin/python3 ] || command -v python3 >/dev/null || needed+=(python3)
install_packages --replacing proftpd-core "${needed[@]}"
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

# --- the site: the virtual user "up" maps to an unprivileged uid that owns the
# site, and pure-uploadscript runs the wrapper as the same uid.
work=$(mktemp -d /tmp/kuvo-pure-ftpd.XXXXXX)
chmod 755 "$work"
mkdir -m 755 "$work/etc" "$work/run" "$work/libexec"
uid=47021
install -m 755 "$kuvo" "$work/libexec/kuvo"
install -m 755 "$top/contrib/pure-ftpd/kuvo-pure-ftpd" "$work/libexec/kuvo-pure-ftpd"
mkdir -p "$work/site/incoming"
chown -R "$uid:$uid" "$work/site"
install -o "$uid" -g "$uid" -m 644 /dev/null "$work/run/answers.log"
answers=$work/run/answers.log
printf 'secret\nsecret\n' |
  pure-pw useradd up -u "$uid" -g "$uid" -d "$work/site" -f "$work/etc/pureftpd.passwd" \
    -F "$work/etc/pureftpd.pdb" -m >/dev/null

# The recipe's settings, pointed at this test's directories.
sed -e "s#^RELEASES=.*#RELEASES=$work/site/incoming#" \
  -e "s#@KUVO_BINDIR@#$work/libexec#" \
  -e "s#^ANSWERS=.*#ANSWERS=$answers#" \
  -e "s#/srv/kuvo-site/announce.log#$work/site/announce.log#" \
  "$top/contrib/pure-ftpd/kuvo.conf" >"$work/etc/kuvo-pure-ftpd.conf"
grep -qx "KUVO=$work/libexec/kuvo" "$work/etc/kuvo-pure-ftpd.conf" ||
  { echo "pure_ftpd_test: kuvo.conf no longer names kuvo as expected" >&2; exit 1; }

# pure-ftpd opens the pipe before it listens, and opening a pipe waits for
# its other end: pure-uploadscript comes first (it waits for the pipe to
# appear) and stays for every try below.
KUVO_PURE_FTPD_CONF=$work/etc/kuvo-pure-ftpd.conf \
  pure-uploadscript -r "$work/libexec/kuvo-pure-ftpd" -u "$uid" -g "$uid" \
  >"$work/run/uploadscript.log" 2>&1 &
pids+=("$!")

# -A locks every session into its home; -o hands uploads to pure-uploadscript.
launch_pure_ftpd() {
  pure-ftpd -S "127.0.0.1,$port" -4 -H -E -A -o -l "puredb:$work/etc/pureftpd.pdb" \
    -O "clf:$work/run/transfer.log" >"$work/run/server.log" 2>&1 &
}
start_listening launch_pure_ftpd
pids+=("$server_pid")

cat >"$work/client.py" <<'EOF'
import ftplib, io, os, sys, time, zlib

port, answers, site, plan = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
release = os.path.join(site, "incoming", "Some.Release")
failures = []
with open(answers) as log:
    answered = len(log.read().splitlines())

def data(name):
    return ("contents of %s\n" % name).encode()

def wait_for_answer():
    """The wrapper's next log line: pure-ftpd has long said 226 by then."""
    global answered
    deadline = time.time() + 20
    while time.time() < deadline:
        with open(answers) as log:
            lines = log.read().splitlines()
        if len(lines) > answered:
            answered += 1
            return lines[answered - 1]
        time.sleep(0.05)
    failures.append("no answer logged after %d" % answered)
    return ""

def upload(ftp, name, body, *expected, listing=None):
    ftp.storbinary("STOR " + name, io.BytesIO(body))
    line = wait_for_answer()
    print("%-10s %s" % (name, line[line.find("["):]))
    if " %s/%s [" % (release, name) not in line:
        failures.append("%s: answer names another path: %r" % (name, line))
    for piece in expected:
        if piece not in line:
            failures.append("%s: %r not in answer %r" % (name, piece, line))
    if listing is not None and sorted(os.listdir(release)) != sorted(listing):
        failures.append("%s: release holds %s" % (name, sorted(os.listdir(release))))

def sfv(names, extra=""):
    lines = ["; release check list"]
    lines += ["%s %08x" % (n, zlib.crc32(data(n))) for n in names]
    return ("\n".join(lines) + "\n" + extra).encode()

ftp = ftplib.FTP()
ftp.connect("127.0.0.1", port, timeout=20)
ftp.login("up", "secret")

def whole_release():
    if ftp.pwd() != "/":
        failures.append("the session is not locked into the site: %s" % ftp.pwd())
    ftp.cwd("incoming")
    # Not a release directory's file: no answer may come for it (the next one
    # logged must be a.rar's).
    ftp.storbinary("STOR stray.rar", io.BytesIO(b"stray"))
    ftp.mkd("Some.Release")
    ftp.cwd("Some.Release")
    upload(ftp, "a.rar", data("a.rar"), "[4]", "No SFV file located, renaming a.rar to UNTESTED.",
           listing=["a.rar-untested"])
    upload(ftp, "some.sfv", sfv(["a.rar", "b.rar", "c.rar", "d.rar"], "some.nfo 01234567\n"),
           "[0]", "Testing a.rar...CRC okay.", "Upload progress: [025%] [#####---------------]",
           listing=["a.rar", "b.rar-missing", "c.rar-missing", "d.rar-missing", "some.sfv",
                    "-[025%]-[#####---------------]-"])
    upload(ftp, "c.rar", b"corrupt" + data("c.rar"), "[6]", "CRC failed.",
           "CRC mismatch: c.rar was renamed to c.rar-crc-failed.")
    upload(ftp, "b.rar", data("b.rar"), "[2]", "Upload progress: [050%]")
    ftp.mkd("Sample")
    ftp.storbinary("STOR Sample/sample.mkv", io.BytesIO(b"sample"))
    upload(ftp, "d.rar", data("d.rar"), "[2]", "Upload progress: [075%]")
    upload(ftp, "c.rar", data("c.rar"), "[3]", "Upload progress: [100%] [--all-files-CRC-ok--]",
           listing=["Sample", "a.rar", "b.rar", "c.rar", "c.rar-crc-failed", "complete", "d.rar",
                    "some.sfv"])
    if os.listdir(os.path.join(release, "Sample")) != ["sample.mkv"]:
        failures.append("Sample/ holds %s" % os.listdir(os.path.join(release, "Sample")))
    if "stray.rar" not in os.listdir(os.path.join(site, "incoming")):
        failures.append("stray.rar was touched")

def lost_reupload(rounds):
    """A corrupt upload and at once the good one over it: pure-uploadscript
    runs the first upload's check late, often while the good copy is being
    written. No good copy may ever end up under the bad name, and each
    release completes."""
    good = bytes(range(256)) * (16 * 4096)  # 16 MiB: its writing takes a while
    for n in range(rounds):
        name = "Race.%d" % n
        path = os.path.join(site, "incoming", name)
        ftp.cwd("/incoming")
        ftp.mkd(name)
        ftp.cwd(name)
        ftp.storbinary("STOR race.sfv", io.BytesIO(b"test.r01 %08x\n" % zlib.crc32(good)))
        wait_for_answer()
        ftp.storbinary("STOR test.r01", io.BytesIO(b"corrupt"))
        ftp.storbinary("STOR test.r01", io.BytesIO(good))
        verdicts = [wait_for_answer(), wait_for_answer()]
        print("%-10s %s" % (name, " / ".join(v[v.find("["):] for v in verdicts)))
        upload = os.path.join(path, "test.r01")
        if not os.path.exists(upload) or open(upload, "rb").read() != good:
            failures.append("%s: test.r01 does not hold the good upload" % name)
        bad = os.path.join(path, "test.r01-crc-failed")
        if os.path.exists(bad) and open(bad, "rb").read() != b"corrupt":
            failures.append("%s: the good upload was set aside as bad" % name)
        if not os.path.isdir(os.path.join(path, "complete")):
            failures.append("%s: not complete: %s" % (name, sorted(os.listdir(path))))

if plan == "site":
    whole_release()
else:
    lost_reupload(4)
ftp.quit()
for failure in failures:
    print("FAIL: " + failure)
sys.exit(1 if failures else 0)
EOF

fail=0
complain() { echo "pure_ftpd_test: $*" >&2; fail=1; }
timeout 120 "$python" "$work/client.py" "$port" "$answers" "$work/site" site || fail=1
[ "$(wc -l <"$answers")" -eq 6 ] || complain "$(wc -l <"$answers") answers logged, not 6"

# The login and the file's group (which has no name here) in announce lines.
check_announce "$work/site/announce.log" "$work/site/incoming/Some.Release" up "$uid" "?"

timeout 180 "$python" "$work/client.py" "$port" "$answers" "$work/site" race || fail=1
[ "$fail" -eq 0 ] && echo "pure_ftpd_test: the recipe works with a real pure-ftpd"
exit "$fail"
