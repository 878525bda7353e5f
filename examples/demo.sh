#!/usr/bin/env bash
# Plays the example release through kuvo as an upload server would: two files
# uploaded before the SFV (untested mode), the SFV arriving, the remaining
# uploads one by one with one corrupt upload, and the completing upload. Every
# run's console text and exit status are shown, then the release directory,
# the base directory and the announce file.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
kuvo="$top/build/default/kuvo"
if [ ! -x "$kuvo" ]; then
  echo "== building kuvo"
  cmake --preset default -S "$top" >/dev/null
  cmake --build "$top/build/default" --target kuvo >/dev/null
fi

sandbox="$(mktemp -d)"
trap 'rm -rf "$sandbox"' EXIT
site="$sandbox/site"
release="$site/incoming/Example.Release-2026"
mkdir -p "$release"
examples="$top/examples/release"

# What a server would set for every run.
export KUVO_DIR="$release" KUVO_BASEDIR="$site" KUVO_ANNOUNCEFILE="$sandbox/announce.log"
export KUVO_COMPLETE="[Example.Release-2026] - COMPLETE -" USER=alice GROUP=crew UNFO="demo upload"
switches=(-U -G -I -A2)

# Copies a file into the release directory, then runs kuvo for it.
upload() {
  local source="$1" name
  name="$(basename "$source")"
  cp "$source" "$release/$name"
  echo "== upload of $name"
  set +e
  KUVO_FILE="$name" "$kuvo" "${switches[@]}" | tr -d '\r'
  local status="${PIPESTATUS[0]}"
  set -e
  echo "(exit status $status)"
  local status_files
  status_files="$(cd "$site" && find . -maxdepth 1 -type f -printf '%f ')"
  echo "(status file in the base directory: ${status_files:-none})"
  # A server deletes an upload whose CRC failed, so that it can be sent again.
  if [ "$status" -eq 6 ]; then
    rm -f "$release/$name"
    echo "(the server deleted the corrupt $name)"
  fi
  echo
}

upload "$examples/01-intro.mp3"
upload "$examples/release.nfo"
upload "$examples/example.sfv"
upload "$examples/corrupt/02-theme.mp3"
upload "$examples/02-theme.mp3"
upload "$examples/cover.jpg"
upload "$examples/03-finale.mp3"

echo "== release directory $release"
ls -1A "$release"
echo
echo "== base directory $site"
ls -1A "$site"
echo
echo "== announce file"
cat "$KUVO_ANNOUNCEFILE"
