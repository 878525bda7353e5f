#!/usr/bin/env bash
# Installs a finished build into a scratch prefix and checks what an
# administrator gets: the program, the man page and the ProFTPD recipe.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: install_test.sh BUILD_DIR}
prefix=$(mktemp -d "${TMPDIR:-/tmp}/kuvo-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

fail=0
complain() { echo "install_test: $*" >&2; fail=1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/kuvo libexec/kuvo/kuvo-proftpd; do
  [ -x "$prefix/$file" ] || complain "$file is missing or not executable"
done
for file in share/man/man1/kuvo.1 share/doc/kuvo/proftpd/kuvo.conf share/doc/kuvo/proftpd/README.md; do
  [ -f "$prefix/$file" ] || complain "$file is missing"
done

# The version the program reports is the one its man page carries.
version=$("$prefix/bin/kuvo" --version) || complain "--version failed"
page_version=$(sed -n 's/^\.TH KUVO 1 [^ ]* "\(kuvo [^"]*\)".*/\1/p' "$prefix/share/man/man1/kuvo.1")
[ "$version" = "$page_version" ] || complain "--version says '$version', the man page '$page_version'"

"$prefix/bin/kuvo" --help | grep -q '^Usage: kuvo' || complain "--help prints no usage"
# An answer that never reached its reader is not a success.
if [ -w /dev/full ] && "$prefix/bin/kuvo" --version >/dev/full 2>/dev/null; then
  complain "--version into a full device exited 0"
fi

if command -v man >/dev/null; then
  rendered=$(MANWIDTH=80 man -l "$prefix/share/man/man1/kuvo.1" 2>&1 >/dev/null || echo "man failed")
  [ -z "$rendered" ] || complain "man -l: $rendered"
fi
exit "$fail"
