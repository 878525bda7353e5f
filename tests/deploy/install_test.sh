#!/usr/bin/env bash
# Installs a finished build into a scratch prefix and checks what an
# administrator gets: the program, the man pages, both server recipes, the
# licence and the change log.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: install_test.sh BUILD_DIR}
prefix=$(mktemp -d "${TMPDIR:-/tmp}/kuvo-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

fail=0
complain() { echo "install_test: $*" >&2; fail=1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/kuvo libexec/kuvo/kuvo-proftpd libexec/kuvo/kuvo-pure-ftpd; do
  [ -x "$prefix/$file" ] || complain "$file is missing or not executable"
done
pages="share/man/man1/kuvo.1 share/man/man8/kuvo-proftpd.8 share/man/man8/kuvo-pure-ftpd.8
  share/man/man8/kuvo-watch.8"
snippets="share/doc/kuvo/proftpd/kuvo.conf share/doc/kuvo/pure-ftpd/kuvo.conf
  share/doc/kuvo/systemd/watch-example.conf lib/systemd/system/kuvo-watch@.service"
for file in $pages $snippets share/doc/kuvo/proftpd/README.md share/doc/kuvo/pure-ftpd/README.md \
    share/doc/kuvo/LICENSE share/doc/kuvo/CHANGELOG.md share/doc/kuvo/doc/site.md \
    share/doc/kuvo/doc/watch.md; do
  [ -f "$prefix/$file" ] || complain "$file is missing"
done

# Texts name the paths of this very installation, whatever its prefix.
for file in $pages $snippets; do
  ! grep -n '@KUVO_[A-Z]*@' "$prefix/$file" || complain "$file keeps a placeholder"
done
grep -q "ExecOnCommand STOR,APPE $prefix/libexec/kuvo/kuvo-proftpd --kuvo=$prefix/bin/kuvo " \
  "$prefix/share/doc/kuvo/proftpd/kuvo.conf" || complain "the ProFTPD snippet names other paths"
grep -q "^ExecStart=$prefix/bin/kuvo --watch " "$prefix/lib/systemd/system/kuvo-watch@.service" ||
  complain "the watcher's unit runs another kuvo"
grep -qx "KUVO=$prefix/bin/kuvo" "$prefix/share/doc/kuvo/pure-ftpd/kuvo.conf" ||
  complain "the pure-ftpd settings name another kuvo"

# The version the program reports is the one every man page carries.
version=$("$prefix/bin/kuvo" --version) || complain "--version failed"
for page in $pages; do
  page_version=$(sed -n 's/^\.TH [^ ]* [18] [^ ]* "\(kuvo [^"]*\)".*/\1/p' "$prefix/$page")
  [ "$version" = "$page_version" ] || complain "--version says '$version', $page '$page_version'"
done

# A released version has its section in the change log, the newest one.
newest=$(sed -n 's/^## \([0-9][^ ]*\) - .*/\1/p' "$prefix/share/doc/kuvo/CHANGELOG.md" | head -n 1)
[ "$version" = "kuvo $newest" ] || complain "--version says '$version', the change log's newest release '$newest'"

# The whole text first: grep -q would stop reading at the first line, and
# kuvo, with more to write, would die of SIGPIPE.
usage=$("$prefix/bin/kuvo" --help)
[[ $usage == "Usage: kuvo"* ]] || complain "--help prints no usage"
# An answer that never reached its reader is not a success.
if [ -w /dev/full ] && "$prefix/bin/kuvo" --version >/dev/full 2>/dev/null; then
  complain "--version into a full device exited 0"
fi

if command -v man >/dev/null; then
  for page in $pages; do
    rendered=$(MANWIDTH=80 man -l "$prefix/$page" 2>&1 >/dev/null || echo "man failed")
    [ -z "$rendered" ] || complain "man -l $page: $rendered"
  done
fi

# A person at a terminal who runs kuvo without its variables is pointed to
# --help on standard error, while standard output, which a server relays,
# stays as it was. script(1) gives kuvo a terminal.
if command -v script >/dev/null; then
  terminal=$(cd "$prefix" && script -qec 'env -i bin/kuvo >console.txt' /dev/null </dev/null) || true
  case $terminal in
    *"'kuvo --help'"*) ;;
    *) complain "no hint to --help on the terminal: '$terminal'" ;;
  esac
  console=$(tr -d '\r' <"$prefix/console.txt")
  [ "$console" = "$("$prefix/bin/kuvo" 2>/dev/null | tr -d '\r')" ] ||
    complain "the console text differs on a terminal: '$console'"
fi
exit "$fail"
