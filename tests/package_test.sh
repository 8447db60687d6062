#!/usr/bin/env bash
# The Debian package as an administrator meets it: checked by lintian, its contents and units
# looked at, installed with apt-get, reinstalled over itself, its daemon run as its unit runs
# it and followed with its viewer, then purged. It changes this machine, so CI runs it (make
# package-test), not make test. Needs root and a package built by `make deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(ls vantrel_*_*.deb | head -n 1)
work=$(mktemp -d)
daemon=
trap '[ -n "$daemon" ] && kill "$daemon" 2>/dev/null; rm -rf "$work"' EXIT
passed=0
failed=0
check() {  # check WHAT COMMAND...: counts and says whether COMMAND succeeds
  local what=$1
  shift
  if "$@" >"$work/last" 2>&1; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
    sed 's/^/  /' "$work/last"
  fi
}
wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.1
  done
}

lintian "$deb" >"$work/lintian" 2>&1 || true
sed 's/^/  lintian: /' "$work/lintian"
check "lintian reports no errors" bash -c "! grep -q '^E:' '$work/lintian'"
dpkg-deb -c "$deb" >"$work/contents"
for path in ./usr/bin/vantrel ./usr/bin/vantrel-view ./usr/bin/vantrel-certs ./etc/vantrel/tls.cfg \
            ./usr/share/man/man1/vantrel-certs.1.gz ./usr/share/man/man8/vantrel.8.gz \
            ./usr/share/man/man1/vantrel-view.1.gz ./usr/share/doc/vantrel/README.md \
            ./usr/share/doc/vantrel/examples/nginx-vantrel.conf \
            ./lib/systemd/system/vantrel@.service ./lib/systemd/system/vantrel-web.service; do
  check "the package holds $path" grep -q " $path\$" "$work/contents"
done
check "the configuration is readable by root and its group only" \
  grep -Eq '^-rw-r----- .* ./etc/vantrel/example.cfg$' "$work/contents"
check "Depends is computed from the programs' libraries" \
  bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libc6 (>='"
check "the description says nothing is enabled on install" \
  bash -c "dpkg-deb -f '$deb' Description | grep -q 'Nothing is enabled or started'"

apt-get install -y -qq "./$deb" >"$work/install" 2>&1 || cat "$work/install"
check "it installs" dpkg -s vantrel
check "vantrel -h ends with status 255" bash -c '/usr/bin/vantrel -h >/dev/null; [ $? -eq 255 ]'
check "vantrel-view --version names the version" \
  bash -c "/usr/bin/vantrel-view --version | grep -qx 'vantrel-view $(dpkg-deb -f "$deb" Version)'"
check "the vantrel group exists" getent group vantrel
check "the configuration belongs to the vantrel group" \
  bash -c '[ "$(stat -c %G:%a /etc/vantrel/example.cfg)" = vantrel:640 ]'
check "nothing is enabled" bash -c '! systemctl is-enabled vantrel@example.service'
check "the units pass systemd-analyze verify" \
  systemd-analyze verify vantrel@example.service vantrel-web.service

echo 'port = "1"' >>/etc/vantrel/example.cfg
apt-get install -y -qq --reinstall "./$deb" >"$work/install" 2>&1 || cat "$work/install"
check "reinstalling the same version keeps a changed configuration" \
  grep -q 'port = "1"' /etc/vantrel/example.cfg

# The daemon as its unit runs it: a user of no privilege in the vantrel group.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
chmod 755 "$work"
touch "$work/test.log" && chmod 644 "$work/test.log"
tls_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'password = "ci"\nkey = "3e07b1d4"\nport = "%s"\nlogfile = "%s"\n' "$port" "$work/test.log" \
  >/etc/vantrel/alpha.cfg
chgrp vantrel /etc/vantrel/alpha.cfg && chmod 640 /etc/vantrel/alpha.cfg
# The README's TLS recipe, run as the installed README writes it, but for what this machine
# lacks: no sudo (this runs as root), its names for this machine's, a free port for 55921, and
# no systemd to restart the unit (its command line is run by hand below).
recipe=$(sed -n '/^## Across an open network/,/^## Security/p' /usr/share/doc/vantrel/README.md |
  sed -n '/^```sh$/,/^```$/{/^```/d;p}' | sed -n '1,/systemctl restart/p')
check "the README's TLS recipe is there" grep -q 'vantrel-certs .*--group vantrel' <<<"$recipe"
sed -e 's/^sudo //' -e 's/--name logs.example.org --name 192.0.2.10/--name 127.0.0.1/' \
  -e "s/55921/$tls_port/" -e '/systemctl restart/d' -e 's/--viewer alice/--viewer ci/' \
  <<<"$recipe" | bash >/dev/null
check "the daemon's TLS key is root:vantrel, mode 0640" \
  bash -c '[ "$(stat -c %U:%G:%a /etc/vantrel/tls/daemon-key.pem)" = root:vantrel:640 ]'
# The viewer reads a copy with its own certificate: it follows over TLS.
cp -p /etc/vantrel/alpha.cfg /etc/vantrel/ci.cfg
printf 'viewer_cert = "/etc/vantrel/tls/viewer-ci.pem"\nviewer_key = "/etc/vantrel/tls/viewer-ci-key.pem"\n' \
  >>/etc/vantrel/ci.cfg
# Where systemd itself does not run, the unit's command line is run by hand.
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/vantrel@.service | sed 's/%i/alpha/g')
setpriv --reuid=nobody --regid=nogroup --groups=vantrel -- $exec_start >"$work/daemon.out" 2>&1 &
daemon=$!
check "the daemon starts as the unit starts it" \
  wait_for 10 grep -q 'Waiting for clients connection' "$work/daemon.out"
/usr/bin/vantrel-view -c /etc/vantrel/ci.cfg >"$work/viewer.out" 2>"$work/viewer.err" &
viewer=$!
wait_for 10 grep -q 'logged in' "$work/viewer.err" || true
echo "installed and followed" >>"$work/test.log"
check "the installed viewer follows it over TLS" wait_for 10 grep -qx 'installed and followed' "$work/viewer.out"
tls=/etc/vantrel/tls
check "its TLS port takes the viewer certificate vantrel-certs made" \
  bash -c "echo | timeout 10 openssl s_client -connect 127.0.0.1:$tls_port -CAfile $tls/ca.pem \
           -cert $tls/viewer-ci.pem -key $tls/viewer-ci-key.pem 2>&1 | grep -q 'Verify return code: 0'"
kill "$viewer" "$daemon" 2>/dev/null || true
wait "$viewer" "$daemon" 2>/dev/null || true
daemon=
rm /etc/vantrel/ci.cfg /etc/vantrel/alpha.cfg

apt-get purge -y -qq vantrel >"$work/purge" 2>&1 || cat "$work/purge"
check "it purges" bash -c '! dpkg -s vantrel 2>/dev/null | grep -q "^Status: install"'
for path in /usr/bin/vantrel /usr/bin/vantrel-view /etc/vantrel /etc/default/vantrel-web \
            /lib/systemd/system/vantrel@.service /usr/share/doc/vantrel \
            /usr/share/man/man8/vantrel.8.gz; do
  check "purge leaves no $path" test ! -e "$path"
done
check "purge leaves no vantrel group" bash -c '! getent group vantrel'
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
