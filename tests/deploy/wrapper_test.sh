#!/usr/bin/env bash
# Checks contrib/proftpd/kuvo-proftpd with a stand-in for kuvo, under every
# POSIX shell at hand (dash, busybox sh): how it splits the path, what it
# relays (always one line without line end), and that it leaves status 6 to
# kuvo (KUVO_ON_BAD) instead of touching a file that may be a re-upload.
# Usage: wrapper_test.sh
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
wrapper=$top/contrib/proftpd/kuvo-proftpd
unset KUVO_BAD

work=$(mktemp -d "${TMPDIR:-/tmp}/kuvo-wrapper.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The stand-in prints what it was given and the answer the test asks for.
cat >"$work/fake-kuvo" <<'EOF'
#!/bin/sh
printf '%s|%s|%s|%s\n' "$KUVO_DIR" "$KUVO_FILE" "$KUVO_ON_BAD" "$*" >"$FAKE_SEEN"
printf "$FAKE_ANSWER"
exit "$FAKE_STATUS"
EOF
chmod +x "$work/fake-kuvo"

fail=0
complain() { echo "wrapper_test [$shell]: $*" >&2; fail=1; }

# check WHY STATUS ANSWER WANT_STATUS WANT_OUTPUT ARGS...: runs the wrapper with
# the stand-in answering ANSWER (printf format) with STATUS.
check() {
  local why=$1 status=$2 answer=$3 want_status=$4 want_out=$5 out got=0
  shift 5
  out=$(cd "$work" && FAKE_SEEN=$work/seen FAKE_ANSWER=$answer FAKE_STATUS=$status \
    $shell "$wrapper" --kuvo="$work/fake-kuvo" "$@"; echo "[$?]") || true
  got=${out##*\[}
  got=${got%]}
  out=${out%\[*}
  [ "$got" = "$want_status" ] || complain "$why: status $got, wanted $want_status"
  [ "$out" = "$want_out" ] || complain "$why: relayed '$out', wanted '$want_out'"
}
seen() { cat "$work/seen"; }

long=$(printf '%04000d' 0)
for shell in dash "busybox sh" bash; do
  command -v "${shell%% *}" >/dev/null || continue
  mkdir -p "$work/site/rel"
  : >"$work/site/rel/a.rar"

  check "lines joined, CR dropped, no line end" 2 'banner\r\nChecking a.rar...CRC okay.\r\n\r\nUpload progress\r\n' \
    2 "banner | Checking a.rar...CRC okay. | Upload progress" "$work/site/rel/a.rar" -U -G
  [ "$(seen)" = "$work/site/rel|a.rar|rename|-U -G" ] || complain "kuvo was given: $(seen)"

  check "control bytes cannot reach the control connection" 2 'a\033[1mb\tc\001' 2 "a?[1mb?c?" \
    "$work/site/rel/a.rar"
  check "a long answer is shortened in the middle" 2 "x${long}y" 2 \
    "x$(printf '%01399d' 0) [...] $(printf '%01399d' 0)y" "$work/site/rel/a.rar"

  : >"$work/top.rar"
  check "a relative path means the working directory" 2 'ok' 2 "ok" top.rar
  [ "$(seen)" = ".|top.rar|rename|" ] || complain "relative path gave: $(seen)"

  check "a path that does not exist is not checked" 2 'ok' 255 \
    "kuvo-proftpd: the server passed a path that does not exist (a % in the name?); upload not checked." \
    "$work/site/rel/axup.rar"
  check "an unknown choice for status 6 is refused" 2 'ok' 255 \
    "kuvo-proftpd: unusable option --on-bad=shred; upload not checked." --on-bad=shred "$work/site/rel/a.rar"
  check "no path at all" 2 'ok' 255 "kuvo-proftpd: no upload path given; upload not checked."

  for choice in rename delete keep; do
    check "--on-bad=$choice is kuvo's to do" 6 'CRC failed.\r\nCRC mismatch: a.rar was kept.' 6 \
      "CRC failed. | CRC mismatch: a.rar was kept." --on-bad="$choice" "$work/site/rel/a.rar"
    [ "$(seen)" = "$work/site/rel|a.rar|$choice|" ] || complain "$choice: kuvo was given $(seen)"
    [ "$(ls "$work/site/rel")" = a.rar ] || complain "$choice: the wrapper touched $(ls "$work/site/rel")"
  done
  check "still being written" 7 'File a.rar is still being written.' 7 \
    "File a.rar is still being written." "$work/site/rel/a.rar"
  check "other statuses pass through untouched" 5 'not listed' 5 "not listed" "$work/site/rel/a.rar"
  rm -rf "$work/site" "$work/top.rar"
done
exit "$fail"
