#!/usr/bin/env bash
# Runs a static kuvo inside an otherwise empty chroot, as an upload server that
# locks its sessions into a directory would: no shared library, no /dev, no
# /etc. Checks that the binary is static, then plays an SFV arrival and
# uploads (good, corrupt, completing) through `chroot`.
# Usage (as root): chroot_test.sh path/to/static/kuvo
set -euo pipefail
kuvo=${1:?usage: chroot_test.sh STATIC_KUVO}

if [ "$(id -u)" -ne 0 ]; then
  echo "chroot_test: needs root for chroot(2); skipping" >&2
  exit 77
fi
if ! command -v file >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends file >/dev/null
fi

fail=0
complain() { echo "chroot_test: $*" >&2; fail=1; }

file "$kuvo" | grep -q 'statically linked' || complain "file(1) does not call it static: $(file "$kuvo")"
# ldd refuses a static program ("not a dynamic executable", exit status 1).
if ldd_out=$(ldd "$kuvo" 2>&1); then complain "ldd lists libraries: $ldd_out"; fi

jail=$(mktemp -d "${TMPDIR:-/tmp}/kuvo-chroot.XXXXXX")
trap 'rm -rf "$jail"' EXIT
cp "$kuvo" "$jail/kuvo"
mkdir "$jail/rel"
printf 'first file\n' >"$jail/rel/a.rar"
printf '; made by the chroot test\nA.RAR f4db30df\nb.rar e472ff82\nc.rar 68626617\n' \
  >"$jail/rel/release.sfv"

present() { [ -e "$jail/rel/$1" ] || complain "$1 is missing: $(ls -A "$jail/rel")"; }
absent() { [ ! -e "$jail/rel/$1" ] || complain "$1 should be gone: $(ls -A "$jail/rel")"; }

# One upload event, as the server would start it: only the variables it sets,
# the jail as the root. Checks the exit status and a piece of the console text.
run() {
  local file=$1 want_status=$2 want_text=$3 out status=0
  shift 3
  out=$(env -i KUVO_FILE="$file" KUVO_DIR=/rel KUVO_ANNOUNCEFILE=/announce USER=up GROUP=ftp \
    "$(command -v chroot)" "$jail" /kuvo "$@" 2>&1) || status=$?
  [ "$status" -eq "$want_status" ] || complain "$file: exit status $status, wanted $want_status: $out"
  [[ $out == *"$want_text"* ]] || complain "$file: no '$want_text' in: $out"
}

run release.sfv 0 "Creating MISSING files from release.sfv..." -G -A1
present b.rar-missing
present c.rar-missing
absent A.RAR-missing
present '-[033%]-[######--------------]-'

printf 'second file\n' >"$jail/rel/b.rar"
run b.rar 2 "Checking b.rar against SFV file release.sfv...CRC okay." -G -A1
absent b.rar-missing
present '-[066%]-[#############-------]-'

printf 'third filf\n' >"$jail/rel/c.rar"
run c.rar 6 "CRC failed." -G -A1
present c.rar-missing
# Every FTP user must be able to clear what kuvo leaves, whatever the umask.
mode() { stat -c %a "$jail/rel/$1"; }
[ "$(mode c.rar-missing)" = 666 ] || complain "c.rar-missing has mode $(mode c.rar-missing)"
[ "$(mode '-[066%]-[#############-------]-')" = 777 ] || complain "the status directory is not 0777"

printf 'third file\n' >"$jail/rel/c.rar"
run c.rar 3 "Upload progress: [100%] [--all-files-CRC-ok--]" -G -A1
absent c.rar-missing
present '-[100%]-[--all-files-CRC-ok--]-'
absent '-[066%]-[#############-------]-'

# Without /etc/localtime in the jail the time stamp is UTC; the line itself
# must be complete.
grep -q '^... ... .. ..:..:.. .... NEWDIR: "/rel -\[100%\]-\[--all-files-CRC-ok--\]-" "up" "ftp" "?"$' \
  "$jail/announce" || complain "announce file: $(cat "$jail/announce" 2>&1)"

version=$(chroot "$jail" /kuvo --version) || complain "--version failed in the jail"
[[ $version == "kuvo "* ]] || complain "--version printed '$version'"

[ "$fail" -eq 0 ] && echo "chroot_test: static kuvo works in an empty chroot"
exit "$fail"
