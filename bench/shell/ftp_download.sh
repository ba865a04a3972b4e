#!/usr/bin/env bash
# Download throughput over loopback: one large file fetched with curl (passive mode) from the FTP
# sharing server of the ferrowen program and from vsftpd, serving the same folder. Not run in CI.
#
#   bench/shell/ftp_download.sh [ferrowen-binary] [size-in-MiB] [rounds]
#
# Defaults: build/release/ferrowen (else the first ferrowen found under build/), 1024 MiB, 3
# rounds. The file is sparse (made with truncate), so the disk plays no part. Prints the speed of
# every round and the best of each server in MiB/s. Use a release build: sanitizers slow the
# server far more than the client. vsftpd serves the folder anonymously (it needs the "ftp" user
# and /var/run/vsftpd/empty, both made by Debian's package).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
binary=${1:-}
if [[ -z $binary ]]; then
  for candidate in "$root/build/release/ferrowen" "$root"/build/*/ferrowen; do
    if [[ -x $candidate ]]; then binary=$candidate; break; fi
  done
fi
[[ -x ${binary:-} ]] || { echo "no ferrowen program found; pass its path" >&2; exit 2; }
size_mib=${2:-1024}
rounds=${3:-3}
vsftpd=/usr/sbin/vsftpd
[[ -x $vsftpd ]] || { echo "vsftpd is not installed" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/ferrowen-ftpbench.XXXXXX")
server_pid=
cleanup() {
  if [[ -n $server_pid ]]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_port() {
  for _ in $(seq 1 200); do
    if /usr/bin/python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$1" 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}

# Prints MiB/s of each round, then "best <MiB/s>".
measure() {
  local url=$1 best=0
  for round in $(seq 1 "$rounds"); do
    local bytes_per_s
    bytes_per_s=$(curl -s -f --disable-epsv -u anonymous:bench -o /dev/null -w '%{speed_download}' "$url")
    local mib
    mib=$(awk -v b="$bytes_per_s" 'BEGIN { printf "%.1f", b / 1048576 }')
    echo "  round $round: $mib MiB/s" >&2
    best=$(awk -v a="$best" -v b="$mib" 'BEGIN { print (b > a ? b : a) }')
  done
  echo "$best"
}

home="$work/home"
files="$home/Documents/Files"
mkdir -p "$files"
chmod 755 "$work" "$home" "$home/Documents" "$files"
echo '{ "FTPServer": "1", "ActiveServerMinutes": "0" }' > "$home/Preferences.json"
truncate -s "$((size_mib * 1048576))" "$files/big.bin"
chmod 644 "$files/big.bin"

port=$(free_port)
echo "ferrowen FTP server ($binary) on port $port" >&2
FERROWEN_HOME="$home" FERROWEN_RESOURCES="$root/resources" \
  FERROWEN_PORT_OVERRIDES="2121=$port,8080=0" "$binary" > "$work/ferrowen.log" 2>&1 &
server_pid=$!
wait_port "$port"
ours=$(measure "ftp://127.0.0.1:$port/big.bin")
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=

port=$(free_port)
cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
seccomp_sandbox=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$files
local_enable=NO
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=30000
pasv_max_port=30100
connect_from_port_20=NO
secure_chroot_dir=/var/run/vsftpd/empty
xferlog_enable=NO
ssl_enable=NO
CONF
echo "vsftpd on port $port" >&2
"$vsftpd" "$work/vsftpd.conf" > "$work/vsftpd.log" 2>&1 &
server_pid=$!
wait_port "$port"
theirs=$(measure "ftp://127.0.0.1:$port/big.bin")

echo "ferrowen FTP server: $ours MiB/s"
echo "vsftpd:              $theirs MiB/s"
