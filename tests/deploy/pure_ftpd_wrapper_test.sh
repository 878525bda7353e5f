#!/usr/bin/env bash
# Checks contrib/pure-ftpd/kuvo-pure-ftpd with a stand-in for kuvo: which
# uploads it hands to kuvo, with which settings, what it logs, that it leaves
# status 6 to kuvo (KUVO_ON_BAD), and what it does with unusable settings.
# Usage: pure_ftpd_wrapper_test.sh
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
wrapper=$top/contrib/pure-ftpd/kuvo-pure-ftpd

work=$(mktemp -d "${TMPDIR:-/tmp}/kuvo-pure-wrapper.XXXXXX")
trap 'rm -rf "$work"' EXIT
cat >"$work/fake-kuvo" <<'EOF'
#!/bin/sh
printf '%s|%s|%s|%s|%s|%s|%s\n' "$KUVO_DIR" "$KUVO_FILE" "$USER" "$GROUP" "$KUVO_COMPLETE" "$KUVO_ON_BAD" "$*" >>"$FAKE_SEEN"
pwd >"$FAKE_SEEN.cwd"
ls -A >>"$FAKE_SEEN.cwd"
printf "$FAKE_ANSWER"
exit "$FAKE_STATUS"
EOF
chmod +x "$work/fake-kuvo"
mkdir -p "$work/incoming/Rel/Sample"
settings() {
  printf '%s\n' "RELEASES=$work/incoming/" "SWITCHES='-U -G'" "KUVO=$work/fake-kuvo" \
    "ANSWERS=$work/answers.log" "export KUVO_COMPLETE=done" "$@" >"$work/settings"
}

fail=0
complain() { echo "pure_ftpd_wrapper_test: $*" >&2; fail=1; }

# run STATUS ANSWER PATH: the wrapper as pure-uploadscript runs it, for a
# stand-in answering ANSWER (printf format) with STATUS; prints its status.
run() {
  : >"$work/seen"
  : >"$work/answers.log"
  (cd / && env -i PATH="$PATH" KUVO_PURE_FTPD_CONF="$work/settings" FAKE_SEEN="$work/seen" \
    FAKE_ANSWER="$2" FAKE_STATUS="$1" UPLOAD_VUSER=alice UPLOAD_USER=ftp UPLOAD_GID=2001 \
    sh "$wrapper" "$3") && echo 0 || echo $?
}

settings
: >"$work/incoming/Rel/a.rar"
[ "$(run 2 'banner\r\nChecking a.rar...CRC \033okay.\r\n' "$work/incoming/Rel/a.rar")" = 2 ] ||
  complain "kuvo's status is not the wrapper's"
[ "$(cat "$work/seen")" = "$work/incoming/Rel|a.rar|alice|2001|done|rename|-U -G" ] ||
  complain "kuvo was run with: $(cat "$work/seen")"
grep -qx "[0-9-]* [0-9:]* $work/incoming/Rel/a.rar \[2\] banner | Checking a.rar...CRC ?okay." \
  "$work/answers.log" || complain "logged: $(cat "$work/answers.log")"
# Started in an empty directory of its own, removed afterwards: a run that
# cannot enter the release directory goes on where it can change nothing.
cell=$(head -n 1 "$work/seen.cwd")
[ "$(wc -l <"$work/seen.cwd")" = 1 ] && [ "$cell" != / ] && [ ! -e "$cell" ] ||
  complain "kuvo started in: $(cat "$work/seen.cwd")"

for elsewhere in "$work/incoming/Rel/Sample/s.mkv" "$work/incoming/top.rar" "$work/other/x.rar"; do
  [ "$(run 2 'ok' "$elsewhere")" = 0 ] || complain "$elsewhere: not a plain skip"
  [ ! -s "$work/seen" ] && [ ! -s "$work/answers.log" ] || complain "$elsewhere was checked"
done

settings ON_BAD=delete
: >"$work/incoming/Rel/c.rar"
[ "$(run 6 'CRC failed.' "$work/incoming/Rel/c.rar")" = 6 ] || complain "status 6 was not passed on"
[ -e "$work/incoming/Rel/c.rar" ] || complain "the wrapper deleted the upload itself"
grep -q "|delete|-U -G$" "$work/seen" || complain "ON_BAD did not reach kuvo: $(cat "$work/seen")"
grep -q 'CRC failed.$' "$work/answers.log" || complain "status 6 logged: $(cat "$work/answers.log")"

for unusable in "ON_BAD=drop" "RELEASES=$work/none"; do
  settings "$unusable"
  [ "$(run 2 'ok' "$work/incoming/Rel/a.rar")" = 255 ] || complain "$unusable was accepted"
  [ ! -s "$work/seen" ] && grep -q 'not checked' "$work/answers.log" ||
    complain "$unusable: kuvo ran or nothing was logged"
done
exit "$fail"
