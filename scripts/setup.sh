#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmarks need.
# Idempotent: asks apt only for what is missing, and refreshes the package lists only then.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mapfile -t wanted < <(sed -e 's/#.*//' -e 's/[[:space:]]*$//' "$here/packages.txt" | grep -v '^$')

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
updated=no
apt_update() {
  if [ "$updated" = no ]; then
    "${sudo_cmd[@]}" apt-get update -q
    updated=yes
  fi
}

# Names an installed package provides count as present (a Node.js build that ships npm, say),
# so apt is not asked to replace it.
provided=" $(dpkg-query -W -f='${db:Status-Status} ${Provides}\n' 2>/dev/null |
  sed -n 's/^installed //p' | tr ',' '\n' | sed -e 's/(.*)//' -e 's/[[:space:]]//g' | tr '\n' ' ') "
missing=()
for p in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || [[ "$provided" == *" $p "* ]] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# proftpd (with mod_deflate, mod_tls) conflicts with vsftpd as a Debian package ("ftp-server"), and
# the tests need both: it is unpacked, not installed, into /opt/ferrowen-peers/proftpd. Its
# libraries are in packages.txt.
peers=/opt/ferrowen-peers
if [ ! -x "$peers/proftpd/usr/sbin/proftpd" ]; then
  echo "setup: unpacking proftpd into $peers/proftpd"
  apt_update
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download -q proftpd-core proftpd-mod-crypto)
  "${sudo_cmd[@]}" mkdir -p "$peers/proftpd"
  for deb in "$tmp"/*.deb; do "${sudo_cmd[@]}" dpkg -x "$deb" "$peers/proftpd"; done
  rm -rf "$tmp"
fi

# pure-ftpd conflicts with vsftpd in the same way: unpacked into /opt/ferrowen-peers/pure-ftpd
# (its libraries are in packages.txt).
if [ ! -x "$peers/pure-ftpd/usr/sbin/pure-ftpd" ]; then
  echo "setup: unpacking pure-ftpd into $peers/pure-ftpd"
  apt_update
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download -q pure-ftpd)
  "${sudo_cmd[@]}" mkdir -p "$peers/pure-ftpd"
  for deb in "$tmp"/*.deb; do "${sudo_cmd[@]}" dpkg -x "$deb" "$peers/pure-ftpd"; done
  rm -rf "$tmp"
fi

# Folders the peers expect and that their service start-up would otherwise make (it is refused here).
"${sudo_cmd[@]}" mkdir -p /var/run/vsftpd/empty

# A UTF-8 locale for tests that pin it.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf8$'; then
  if [ -f /etc/locale.gen ]; then
    "${sudo_cmd[@]}" sed -i 's/^# *en_US.UTF-8 UTF-8/en_US.UTF-8 UTF-8/' /etc/locale.gen
    "${sudo_cmd[@]}" locale-gen >/dev/null 2>&1 || true
  fi
fi
# Playwright for the browser tests, at the version the lock file names (it downloads no browser:
# the tests drive Debian's Chromium).
browser_tests="$here/../tests/renderer"
if ! cmp -s "$browser_tests/package-lock.json" "$browser_tests/node_modules/.installed-lock"; then
  echo "setup: installing the browser tests' node modules"
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error &&
    cp package-lock.json node_modules/.installed-lock)
fi
echo "setup: all packages present"
