#!/usr/bin/env bash
# Installs what the project needs and the machine lacks, through apt-get, as root or through
# sudo, and says what it installs and why. `make demo`, `make run`, `make install`, `make test`
# and CI all call it; nothing is installed when everything is there.
#
# Usage: scripts/setup.sh [build|test|deb|ci]
#   build  the compiler, CMake, make, and Boost's, OpenSSL's and RE2's headers: enough for the daemon,
#          the viewer (its page included) and the demo
#   test   also GoogleTest and socat, for the tests
#   deb    also dpkg-dev and lintian, for make deb
#   ci     also what CI runs besides: clang and its sanitizer runtimes (make test-asan, make
#          fuzz), Google Benchmark, clang-format, clang-tidy, cppcheck and git, and for the
#          browser test Chromium, Node.js and puppeteer-core (npm ci in tests/web), and
#          Prometheus for the metrics test
set -euo pipefail

level=${1:-build}
packages=()
reasons=()
need() {  # need PACKAGE REASON: wanted unless CHECK (the rest of the arguments) succeeds
  local package=$1 reason=$2
  shift 2
  if ! "$@" >/dev/null 2>&1; then
    packages+=("$package")
    reasons+=("$package: $reason")
  fi
}
have_header() { [ -f "/usr/include/$1" ]; }

need g++ "the C++20 compiler" command -v g++
need cmake "the build" command -v cmake
need make "the build" command -v make
need libboost-dev "the browser viewer, vantrel-view --web (Boost.Beast)" have_header boost/beast.hpp
need libssl-dev "TLS for the daemon, the viewer and the page (OpenSSL)" have_header openssl/ssl.h
need libre2-dev "searching the whole log, in the daemon and the viewer (RE2)" have_header re2/re2.h
need libsystemd-dev "readiness and the watchdog under systemd (sd_notify)" have_header systemd/sd-daemon.h
need pkg-config "the build finds RE2 through it" command -v pkg-config
if [ "$level" = deb ] || [ "$level" = ci ]; then
  need dpkg-dev "make deb: dpkg-shlibdeps computes the package's Depends" command -v dpkg-shlibdeps
  need lintian "make deb: the package's check" command -v lintian
fi
if [ "$level" = test ] || [ "$level" = ci ]; then
  need libgtest-dev "the tests (GoogleTest)" have_header gtest/gtest.h
  need socat "the resume test's relay, a client that is not ours" command -v socat
fi
if [ "$level" = ci ]; then
  need clang "the sanitizer build, the fuzzers and the lint build" command -v clang++
  need libclang-rt-dev "AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer" \
    compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a"
  need libbenchmark-dev "the codec benchmark (Google Benchmark)" have_header benchmark/benchmark.h
  need clang-format "make lint" command -v clang-format
  need clang-tidy "make lint" command -v clang-tidy
  need cppcheck "make lint" command -v cppcheck
  need git "make lint lists the sources with git" command -v git
  need chromium "the browser test of the page" test -x /usr/bin/chromium
  need nodejs "the browser test's driver" command -v node
  need npm "the browser test's driver" command -v npm
  need nginx-light "the browser test behind a reverse proxy" test -x /usr/sbin/nginx
  need openssl "the browser test's certificate" command -v openssl
  need prometheus "the metrics test: promtool checks /metrics, and the server scrapes a relay" \
    command -v promtool
fi

# The browser test's driver comes from the npm registry, pinned by tests/web/package-lock.json.
install_driver() {
  [ "$level" = ci ] || return 0
  [ -d "$(dirname "$0")/../tests/web/node_modules/puppeteer-core" ] && return 0
  echo "setup: installing puppeteer-core into tests/web (npm ci), to drive Chromium in the browser test"
  (cd "$(dirname "$0")/../tests/web" && npm ci --no-audit --no-fund --loglevel=error)
}
if [ ${#packages[@]} -eq 0 ]; then
  install_driver
  exit 0
fi

echo "setup: installing what this machine lacks:"
printf 'setup:   %s\n' "${reasons[@]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "setup: run as root, or install sudo: apt-get install ${packages[*]}" >&2
    exit 1
  fi
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}"
install_driver
