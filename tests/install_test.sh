#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed programs.
# Usage: install_test.sh CMAKE_COMMAND BUILD_DIR
set -euo pipefail
cmake_command=$1
build_dir=$2

prefix=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

"$cmake_command" --install "$build_dir" --prefix "$prefix" >/dev/null

for file in bin/vantrel bin/vantrel-view share/man/man8/vantrel.8 share/man/man1/vantrel-view.1 \
            share/doc/vantrel/README.md share/doc/vantrel/examples/vantrel.cfg \
            share/doc/vantrel/examples/vantrel.service; do
  [ -f "$prefix/$file" ] || fail "$file not installed"
done

# The daemon prints its banner and usage and stops with 255, as after every stop.
status=0
out=$("$prefix/bin/vantrel" -h) || status=$?
[ "$status" -eq 255 ] || fail "vantrel -h ended with $status, not 255"
grep -q '^Usage: vantrel \[-p PORT\]' <<<"$out" || fail "vantrel -h printed no usage"

status=0
out=$("$prefix/bin/vantrel-view" -h) || status=$?
[ "$status" -eq 0 ] || fail "vantrel-view -h ended with $status, not 0"
grep -q '^Usage: vantrel-view \[-c CONFIGFILE\]' <<<"$out" || fail "vantrel-view -h printed no usage"

# The installed viewer takes the installed example configuration: with its key read, it gets
# as far as connecting (port 1 on loopback: refused, status 3).
status=0
"$prefix/bin/vantrel-view" -c "$prefix/share/doc/vantrel/examples/vantrel.cfg" -p 1 \
  2>/dev/null || status=$?
[ "$status" -eq 3 ] || fail "vantrel-view on the example configuration ended with $status, not 3"

# The man pages render without warnings.
if command -v groff >/dev/null; then
  for page in share/man/man8/vantrel.8 share/man/man1/vantrel-view.1; do
    warnings=$(groff -man -ww -z "$prefix/$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
  done
fi

if [ "$failures" -gt 0 ]; then exit 1; fi
echo "installed programs, man pages and examples are in place and run"
