#!/usr/bin/env bash
# Installs the build into a temporary prefix, runs the installed programs, and removes them
# again with make uninstall.
# Usage: install_test.sh CMAKE_COMMAND BUILD_DIR SOURCE_DIR
set -uo pipefail
prefix=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
failed=0
check() {  # check DESCRIPTION COMMAND...: runs the command, reports when it fails
  local what=$1
  shift
  "$@" >/dev/null 2>&1 || { echo "FAILED: $what"; failed=1; }
}

"$1" --install "$2" --prefix "$prefix" >/dev/null || exit 1
for file in bin/vantrel bin/vantrel-view share/man/man8/vantrel.8 share/man/man1/vantrel-view.1 \
            share/doc/vantrel/README.md share/doc/vantrel/examples/vantrel.cfg \
            share/doc/vantrel/examples/vantrel.service; do
  check "$file installed" test -f "$prefix/$file"
done
# The daemon stops with 255 after -h as after every stop; the viewer with 0. With the installed
# example configuration the viewer gets as far as connecting: refused on port 1, status 3.
check "vantrel -h: usage, status 255" bash -c \
  'out=$("$0" -h); [ $? -eq 255 ] && grep -q "^Usage: vantrel " <<<"$out"' "$prefix/bin/vantrel"
check "vantrel-view -h: usage, status 0" bash -c \
  'out=$("$0" -h) && grep -q "^Usage: vantrel-view " <<<"$out"' "$prefix/bin/vantrel-view"
check "vantrel-view on the example configuration: status 3" bash -c \
  '"$0" -c "$1" -p 1; [ $? -eq 3 ]' "$prefix/bin/vantrel-view" "$prefix/share/doc/vantrel/examples/vantrel.cfg"
check "the example unit runs the installed daemon" \
  grep -qx "ExecStart=$prefix/bin/vantrel -c /etc/vantrel.cfg -q" \
  "$prefix/share/doc/vantrel/examples/vantrel.service"
if command -v groff >/dev/null; then
  for page in share/man/man8/vantrel.8 share/man/man1/vantrel-view.1; do
    check "$page renders without warnings" bash -c '[ -z "$(groff -man -ww -z "$0" 2>&1)" ]' "$prefix/$page"
  done
fi
check "make uninstall" make -C "$3" uninstall BUILD="$2" PREFIX="$prefix"
left=$(find "$prefix" -type f)
check "nothing left after make uninstall: $left" test -z "$left"
[ "$failed" -eq 0 ] && echo "installed programs, man pages and examples are in place, run and uninstall"
exit "$failed"
