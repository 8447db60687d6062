#!/usr/bin/env bash
# Soak run: builds the daemon and the soak driver, then runs them for SECONDS (default 60).
# Usage: tests/soak/soak.sh [SECONDS] [BUILD_FOLDER] [SEED]
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:-60}"
build="${2:-build}"
seed="${3:-}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target vantrel vantrel_soak
exec "$build/tests/soak/vantrel_soak" "$build/vantrel" "$seconds" $seed
