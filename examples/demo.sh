#!/usr/bin/env bash
# Plays the example release through kuvo as an upload server would: two files
# uploaded before the SFV (untested mode), the SFV arriving, the remaining
# uploads one by one with one corrupt upload, and the completing upload. After
# every run it shows kuvo's console text and exit status, then the release
# directory as the uploader would list it (untested names, missing markers,
# the status directory) and the base directory's status file; at the end, the
# announce file.
#
# Usage: examples/demo.sh [--keep DIR]
#   --keep DIR  plays the release in DIR (created if need be; must be empty)
#               and leaves the final state there for a look.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
keep=
case "${1-}" in
  --keep) keep="${2:?usage: examples/demo.sh [--keep DIR]}" ;;
  "") ;;
  *)
    echo "usage: examples/demo.sh [--keep DIR]" >&2
    exit 2
    ;;
esac

# kuvo alone, without its tests: the demo needs no test framework.
kuvo="$top/build/release/kuvo"
if [ ! -x "$kuvo" ]; then
  # A fresh Debian machine may lack what building kuvo needs beyond a compiler
  # and CMake: as root it is installed, otherwise the demo says what it is.
  need=()
  command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
  [ -e /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
  if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
      echo "== installing ${need[*]}"
      export DEBIAN_FRONTEND=noninteractive
      apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null
    else
      echo "demo.sh: building kuvo needs ${need[*]} (Debian: sudo apt-get install ${need[*]})" >&2
      exit 1
    fi
  fi
  echo "== building kuvo (cmake --workflow --preset release)"
  (cd "$top" && cmake --workflow --preset release >/dev/null)
fi

if [ -n "$keep" ]; then
  mkdir -p "$keep"
  if [ -n "$(ls -A "$keep")" ]; then
    echo "demo.sh: $keep is not empty" >&2
    exit 2
  fi
  sandbox="$(cd "$keep" && pwd)"
else
  sandbox="$(mktemp -d)"
  trap 'rm -rf "$sandbox"' EXIT
fi
site="$sandbox/site"
release="$site/incoming/Example.Release-2026"
mkdir -p "$release"
examples="$top/examples/release"

# What a server would set for every run. KUVO_IGNORE is kuvo's default, set
# here to show it: the SFV entries it matches get no marker and do not count.
export KUVO_DIR="$release" KUVO_BASEDIR="$site" KUVO_ANNOUNCEFILE="$sandbox/announce.log"
export KUVO_COMPLETE="[Example.Release-2026] - COMPLETE -" USER=alice GROUP=crew UNFO="demo upload"
export KUVO_IGNORE="*.nfo *.diz *.cue *.bin *.gif *.jpg *.mpg *.m3u *.txt *.sfv"
switches=(-U -G -I -A2)
read -r -a ignore_patterns <<<"$KUVO_IGNORE"

# The first KUVO_IGNORE pattern that matches the name, ignoring case as kuvo
# does; nothing when none does.
ignored_by() {
  local pattern
  shopt -s nocasematch
  for pattern in "${ignore_patterns[@]}"; do
    # shellcheck disable=SC2053 # the pattern is meant to match as a pattern
    if [[ "$1" == $pattern ]]; then
      shopt -u nocasematch
      echo "$pattern"
      return
    fi
  done
  shopt -u nocasematch
}

# One line on the SFV's entries that do not count, and what that leaves.
explain_sfv() {
  local line name pattern entries=0 ignored=()
  while IFS= read -r line; do
    line="${line%$'\r'}"
    case "$line" in "" | ";"*) continue ;; esac
    name="${line% *}"
    entries=$((entries + 1))
    pattern="$(ignored_by "$name")"
    [ -z "$pattern" ] || ignored+=("$name ($pattern)")
  done <"$1"
  local listed="${ignored[*]}"
  [ ${#ignored[@]} -lt 2 ] || listed="${ignored[*]:0:${#ignored[@]}-1} and ${ignored[-1]}"
  echo "(the SFV lists $entries files; ${listed:-none} match KUVO_IGNORE and do not count," \
    "so kuvo expects $((entries - ${#ignored[@]})))"
}

# The release directory as an uploader lists it, each kind of entry named.
show_release() {
  local entry
  echo "-- release directory:"
  while IFS= read -r entry; do
    case "$entry" in
      */) echo "     $entry   <- status directory (-G)" ;;
      *-missing) echo "     $entry   <- missing marker: not uploaded yet" ;;
      *-untested) echo "     $entry   <- waits for its test" ;;
      *) echo "     $entry" ;;
    esac
  done < <(cd "$release" && LC_ALL=C ls -1Ap)
  local status_files
  status_files="$(cd "$site" && find . -maxdepth 1 -type f -printf '%f\n')"
  echo "-- status file in the base directory (-I): ${status_files:-none}"
}

# Copies a file into the release directory, then runs kuvo for it.
upload() {
  local source="$1" name pattern
  name="$(basename "$source")"
  cp "$source" "$release/$name"
  echo "== upload of $name"
  set +e
  KUVO_FILE="$name" "$kuvo" "${switches[@]}" | tr -d '\r'
  local status="${PIPESTATUS[0]}"
  set -e
  echo "(exit status $status)"
  # A server deletes an upload whose CRC failed, so that it can be sent again.
  if [ "$status" -eq 6 ]; then
    rm -f "$release/$name"
    echo "(the server deleted the corrupt $name)"
  fi
  pattern="$(ignored_by "$name")"
  if [[ "$name" == *.[sS][fF][vV] ]]; then
    explain_sfv "$source"
  elif [ -n "$pattern" ]; then
    echo "($name matches $pattern in KUVO_IGNORE, so it does not count towards the progress)"
  fi
  show_release
  echo
}

upload "$examples/01-intro.mp3"
upload "$examples/release.nfo"
upload "$examples/example.sfv"
upload "$examples/corrupt/02-theme.mp3"
upload "$examples/02-theme.mp3"
upload "$examples/cover.jpg"
upload "$examples/03-finale.mp3"

echo "== announce file"
cat "$KUVO_ANNOUNCEFILE"
if [ -n "$keep" ]; then
  echo
  echo "== the final state is kept in $sandbox (ls -AR $sandbox)"
fi
