#!/usr/bin/env bash
# Download throughput over loopback: one large file fetched with curl from the web sharing server
# of the ferrowen program and from Python's http.server, serving the same folder. Not run in CI.
#
#   bench/shell/webserver_download.sh [ferrowen-binary] [size-in-MiB] [rounds]
#
# Defaults: build/release/ferrowen (else the first ferrowen found under build/), 1024 MiB, 3
# rounds. Prints the speed of every round and the best of each server in MiB/s. Use a release
# build: sanitizers slow the server far more than the client.
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

work=$(mktemp -d "${TMPDIR:-/tmp}/ferrowen-webbench.XXXXXX")
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
    bytes_per_s=$(curl -s -f -o /dev/null -w '%{speed_download}' "$url")
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
echo '{ "WebServer": "1", "ActiveServerMinutes": "0" }' > "$home/Preferences.json"
echo "making a ${size_mib} MiB file..." >&2
head -c "$((size_mib * 1048576))" /dev/urandom > "$files/big.bin"

port=$(free_port)
echo "ferrowen web server ($binary) on port $port" >&2
FERROWEN_HOME="$home" FERROWEN_RESOURCES="$root/resources" \
  FERROWEN_PORT_OVERRIDES="8080=$port,2121=0" "$binary" > "$work/ferrowen.log" 2>&1 &
server_pid=$!
wait_port "$port"
ours=$(measure "http://127.0.0.1:$port/big.bin")
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=

port=$(free_port)
echo "python3 -m http.server on port $port" >&2
/usr/bin/python3 -m http.server "$port" --bind 127.0.0.1 --directory "$files" > "$work/python.log" 2>&1 &
server_pid=$!
wait_port "$port"
python=$(measure "http://127.0.0.1:$port/big.bin")
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=

printf '%-28s %10s\n' "server (${size_mib} MiB file)" "best MiB/s"
printf '%-28s %10s\n' "ferrowen WebServer" "$ours"
printf '%-28s %10s\n' "python3 -m http.server" "$python"
