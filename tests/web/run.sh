#!/usr/bin/env bash
# Runs a browser test, or skips it (status 77) saying what it needs.
# Usage: run.sh TEST.mjs BUILD_DIR [ARGUMENTS...]
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null; then
  echo "skipped: the browser test needs Node.js (apt-get install nodejs npm)"
  exit 77
fi
if [ ! -x /usr/bin/chromium ]; then
  echo "skipped: the browser test needs Chromium (apt-get install chromium)"
  exit 77
fi
if [ ! -d "$here/node_modules/puppeteer-core" ]; then
  echo "skipped: the browser test needs puppeteer-core (cd tests/web && npm ci)"
  exit 77
fi
script=$1
shift
exec node "$here/$script" "$@"
