#!/usr/bin/env bash
# The demo: the daemon on the example configuration in a temporary folder, a writer that appends
# a numbered line to the log every half second, and vantrel-view in the foreground showing the
# lines as they arrive. Ctrl-C stops all three and removes the folder.
#
# Usage: scripts/demo.sh [BUILD_DIR]   (default: build; DEMO_PORT sets the port, default 55920)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build="$root/$build"
port=${DEMO_PORT:-55920}
work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-demo-XXXXXX")
pids=()

stop_all() {
  # A second signal (Ctrl-C twice, or one sent to the process and to its group) must not cut
  # the clean-up short.
  trap '' INT TERM
  trap - EXIT
  # The viewer first, then the writer, then the daemon: when the viewer has closed its end
  # before the daemon goes, the daemon's port is free for the next run at once.
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Appends "demo line N at HH:MM:SS" every half second. Its pause runs as a child it can end
# itself, so that stopping the writer leaves no stray sleep behind.
write_lines() {
  local pause=""
  trap 'if [ -n "$pause" ]; then kill "$pause" 2>/dev/null; fi; exit 0' TERM
  local n=0
  while :; do
    n=$((n + 1))
    printf 'demo line %d at %(%H:%M:%S)T\n' "$n" -1 >>"$work/demo.log"
    sleep 0.5 &
    pause=$!
    wait "$pause"
  done
}

# The example configuration, serving the demo's log: the viewer reads the same file, and takes
# the daemon's answer to its login for one only when it names that log.
sed "s|^logfile = .*|logfile = \"$work/demo.log\"|" "$root/examples/vantrel.cfg" >"$work/vantrel.cfg"
: >"$work/demo.log"

"$build/vantrel" -c "$work/vantrel.cfg" -p "$port" -q >"$work/vantrel.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -q 'Waiting for clients connection' "$work/vantrel.out" && break
  if ! kill -0 "${pids[0]}" 2>/dev/null; then
    echo "demo: the daemon did not start (set DEMO_PORT if port $port is taken):" >&2
    cat "$work/vantrel.out" >&2
    exit 1
  fi
  sleep 0.1
done

write_lines &
pids+=($!)

echo "demo: daemon on port $port serving $work/demo.log; a writer appends to it." >&2
echo "demo: what follows comes through vantrel-view. Ctrl-C stops the demo." >&2
"$build/vantrel-view" -c "$work/vantrel.cfg" -p "$port" &
pids+=($!)
# wait returns when the viewer ends, or at once when Ctrl-C (SIGINT) or SIGTERM arrives.
status=0
wait "${pids[2]}" || status=$?
echo "demo: vantrel-view ended with status $status" >&2
exit "$status"
