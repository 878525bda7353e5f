#!/usr/bin/env bash
# End-to-end test of kuvo --watch after a gap in its events: uploads that
# landed while it was stopped (one corrupt) are judged once when it starts
# again, and those it had judged are not judged again; a burst that overflows
# the kernel's event queue (a tiny fs.inotify.max_queued_events, the watcher
# stopped while the files land) is judged once in all. Then it stays idle.
# The files are written by cp, as any server writes them.
#
# Usage (as root): watch_catch_up_test.sh KUVO
# shellcheck source=watch_lib.sh
. "$(dirname "$0")/watch_lib.sh" watch_catch_up_test "${1:?usage: watch_catch_up_test.sh KUVO}"
install_packages python3
make_files
put() { mkdir -p "$work/site/incoming/$2" && cp "$work/files/$1" "$work/site/incoming/$2/"; }
statuses() { verdicts "$1" | tail -n "+$2" | sort | tr '\n' ' '; }

watch_start
put some.sfv Restart.Release
wait_verdicts 1
put a.rar Restart.Release
wait_verdicts 2
watch_stop
put b.rar Restart.Release
put bad/c.rar Restart.Release
put d.rar Restart.Release
watch_start
wait_verdicts 5
put c.rar Restart.Release
wait_verdicts 6
got=$(statuses Restart.Release 3)
[ "$got" = "b.rar 2 c.rar 6 d.rar 2 c.rar 3 " ] || [ "$got" = "b.rar 2 c.rar 3 c.rar 6 d.rar 2 " ] ||
  complain "after the restart: $got"
[ "$(verdicts Restart.Release | sed -n 1,2p | tr '\n' ' ')" = "some.sfv 0 a.rar 2 " ] ||
  complain "before the restart: $(verdicts Restart.Release | sed -n 1,2p)"
[ -d "$work/site/incoming/Restart.Release/complete" ] || complain "Restart.Release is not complete"

total=6
# The queue size is taken when the watcher starts; others' watchers that
# start meanwhile get it too, so it is back at once.
if echo 16 >"$queued" 2>/dev/null; then
  watch_stop
  watch_start
  echo "$old_queued" >"$queued"
  mkdir "$work/files/burst"
  (cd "$work/files/burst" && "$python" -c 'import zlib
with open("burst.sfv", "w") as sfv:
    for n in range(60):
        body = b"%d\n" % n * 1000
        open("%02d.rar" % n, "wb").write(body)
        sfv.write("%02d.rar %08x\n" % (n, zlib.crc32(body)))')
  put burst/burst.sfv Burst.Release
  wait_verdicts 7
  kill -STOP "$watch_pid"
  cp "$work/files/burst/"*.rar "$work/site/incoming/Burst.Release/"
  kill -CONT "$watch_pid"
  wait_verdicts 67
  [ "$(verdicts Burst.Release | cut -d ' ' -f 1 | sort -u | wc -l)" -eq 61 ] ||
    complain "the burst's verdicts: $(verdicts Burst.Release | sort | uniq -c | grep -v ' 1 ')"
  [ -d "$work/site/incoming/Burst.Release/complete" ] || complain "Burst.Release is not complete"
  total=67
else
  echo "watch_catch_up_test: $queued cannot be changed here; no overflow" >&2
fi
expect_idle
[ "$(wc -l <"$verdict_log")" -eq "$total" ] || complain "$(wc -l <"$verdict_log") verdicts, not $total"
watch_stop
[ "$fail" -eq 0 ] && echo "watch_catch_up_test: each upload judged once after a restart and an overflow"
exit "$fail"
