#!/usr/bin/env bash
# CI: builds the Debian package with the dynamic and with the static kuvo,
# checks each with lintian (no error allowed), installs it with dpkg, runs
# `kuvo --version` and `man kuvo` from it, and removes it (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pkg in dpkg-dev lintian man-db; do
  [ "$(dpkg-query -W -f '${db:Status-Abbrev}' "$pkg" 2>/dev/null)" = "ii " ] || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

version=$(sed -n 's/^project(kuvo VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
deb_name=kuvo_${version}_$(dpkg --print-architecture).deb
fail=0
complain() { echo "package: $*" >&2; fail=1; }

for preset in package package-static; do
  case $preset in
    package) build=build/release ;;
    package-static) build=build/release-static ;;
  esac
  rm -f "$build/$deb_name"
  cmake --workflow --preset "$preset" >/dev/null
  deb=$build/$deb_name
  echo "== $deb"
  lintian --fail-on error --display-info "$deb" 2>/dev/null || complain "lintian found errors in $deb"

  depends=$(dpkg-deb -f "$deb" Depends)
  case $preset in
    package) [[ $depends == *libc6* && $depends != *libstdc++* ]] ||
      complain "the dynamic kuvo's package depends on '$depends'" ;;
    package-static) [ -z "$depends" ] || complain "the static kuvo's package depends on '$depends'" ;;
  esac

  dpkg -i "$deb" >/dev/null
  [ "$(kuvo --version)" = "kuvo $version" ] || complain "installed kuvo says '$(kuvo --version)'"
  # Whole outputs are taken before they are searched: grep -q stops reading at
  # the first match, and a writer with more to say would die of SIGPIPE,
  # which pipefail takes for a failure (or, for dpkg, cuts its work short).
  page_text=$(man kuvo 2>&1)
  [[ $page_text == *"kuvo $version"* ]] || complain "man kuvo shows no page of kuvo $version"
  man -aw kuvo | grep -qx /usr/share/man/man1/kuvo.1.gz || complain "man finds no kuvo(1) of the package"
  for page in kuvo-proftpd kuvo-pure-ftpd kuvo-watch; do
    man -aw 8 "$page" | grep -qx "/usr/share/man/man8/$page.8.gz" || complain "no $page(8)"
  done
  for wrapper in kuvo-proftpd kuvo-pure-ftpd; do
    [ -x "/usr/libexec/kuvo/$wrapper" ] || complain "no /usr/libexec/kuvo/$wrapper"
  done
  unit=/usr/lib/systemd/system/kuvo-watch@.service
  grep -q '^ExecStart=/usr/bin/kuvo --watch ' "$unit" || complain "no $unit running /usr/bin/kuvo"
  # Removal must say that the servers' hooks stay configured.
  removal=$(dpkg -r kuvo 2>&1)
  grep -q '^kuvo removed: ' <<<"$removal" || complain "dpkg -r says nothing of the hooks left behind"
  [ ! -e /usr/bin/kuvo ] || complain "dpkg -r left /usr/bin/kuvo"
done
[ "$fail" -eq 0 ] && echo "package: both packages pass lintian, install, run and remove"
exit "$fail"
