#!/usr/bin/env bash
# The sharing servers under many clients that all want one big folder, beside the peers that
# serve the same folder, in one run on this machine, over loopback:
#   - the web sharing server next to nginx (one worker, autoindex on): CLIENTS clients (curl) that
#     each fetch the page of a folder of FILES files once, all at once: the seconds until all have
#     it, and the memory and clicks figures below; then CLIENTS clients (wrk, each
#     request on a connection of its own) fetch that page again and again for LOAD_SECONDS
#     seconds: pages per second, the median time of a page, the peak resident memory, the
#     resident memory once every connection closed, and (ours only: nginx has none) how long a
#     click in the program's own browser front end waits for its answer meanwhile; the front end
#     shares the main thread with the servers;
#   - the FTP sharing server next to vsftpd: CLIENTS sessions at once listing that folder again and
#     again (PASV, LIST) for LOAD_SECONDS seconds, with the same figures (vsftpd's memory is that of all
#     its processes);
#   - one upload of 1 KiB into that folder, answered (as a browser's form expects) with the page
#     of the folder: bytes answered and seconds;
#   - the lockout, on each server beside its peer: HOLDERS connections from 127.0.0.2 that hold a
#     place and never log in (FTP: no whole command; web: a request head that never ends, a byte
#     every 5 s), each reopened at once when closed, beside WORKERS clients from 127.0.0.3 that
#     again and again connect and work (FTP: log in, list the root, quit; web: the root's page)
#     for LOCKOUT_SECONDS: the working clients' pieces of work served and failed, and their
#     median and 90th-percentile seconds. The peers run with their own limits: vsftpd with
#     max_clients=256 and max_per_ip=128, nginx with limit_conn 128 per address (ours: 256
#     places shared evenly among the addresses that want them).
# Prints one table: both figures and the ratio (Ferrowen / peer).
#
#   bench/sharing_load.sh                 (FILES=50000 CLIENTS=200 LOAD_SECONDS=20 by default;
#                                          HOLDERS=300 WORKERS=200 LOCKOUT_SECONDS=30)
#
# Builds a release build in build/release first, unless FERROWEN_PROGRAM names the program to run
# (another build of it, to compare). Needs root (vsftpd), and curl, nginx, wrk and
# vsftpd (scripts/packages.txt). Not part of the test suite: nothing here is asserted.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
files_count=${FILES:-50000}
clients=${CLIENTS:-200}
seconds=${LOAD_SECONDS:-20}
holders=${HOLDERS:-300}
workers=${WORKERS:-200}
lockout_seconds=${LOCKOUT_SECONDS:-30}
build="$root/build/release"
helper=(/usr/bin/python3 "$root/bench/sharing_load.py")

ferrowen=${FERROWEN_PROGRAM:-}
if [[ -z $ferrowen ]]; then
  echo "building the release build in $build..." >&2
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERROWEN_TESTS=OFF > /dev/null
  cmake --build "$build" -j 4 --target ferrowen > /dev/null
  ferrowen="$build/ferrowen"
fi

for tool in /usr/sbin/vsftpd /usr/sbin/nginx /usr/bin/wrk /usr/bin/curl; do
  [[ -x $tool ]] || { echo "$tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

. "$root/bench/common.sh"
bench_work ferrowen-sharing-load

rows=()
row() { # name ours theirs [unit]
  local ratio
  ratio=$(awk -v a="$2" -v b="$3" 'BEGIN { if (b + 0 > 0 && a != "-") printf "%.2f", a / b; else print "-" }')
  rows+=("$(printf '%-44s %12s %12s %8s' "$1" "$2" "$3" "$ratio")")
  echo "${rows[-1]}" >&2
}

# value <name> <file>: the figure a helper printed as "<name> <value>".
value() { awk -v n="$1" '$1 == n { print $2 }' "$2"; }

home="$work/home"
files="$home/Documents/Files"
mkdir -p "$files"
echo "making a folder of $files_count files..." >&2
"${helper[@]}" folder "$files/big" "$files_count"
chmod -R a+rX "$home"

web_port=$(free_port)
ftp_port=$(free_port)
echo '{ "WebServer": "1", "FTPServer": "1", "ActiveServerMinutes": "0" }' > "$home/Preferences.json"
start_server "$web_port" env FERROWEN_HOME="$home" FERROWEN_RESOURCES="$root/resources" \
  FERROWEN_PORT_OVERRIDES="8080=$web_port,2121=$ftp_port" "$ferrowen"
ours_pid=$server_pid
wait_port "$ftp_port"
for _ in $(seq 1 100); do
  address=$(awk '/^Open / { print $2; exit }' "$work/server-$web_port.log")
  [[ -n $address ]] && break
  sleep 0.1
done
[[ -n $address ]] || { echo "the program printed no address for its front end" >&2; exit 1; }

nginx_port=$(free_port)
write_nginx_conf "$work" "$nginx_port" "$files" "autoindex on;"
start_server "$nginx_port" /usr/sbin/nginx -c "$work/nginx.conf" -e "$work/nginx/error.log"
nginx_pid=$server_pid

vsftpd_port=$(free_port)
mkdir -p /var/run/vsftpd/empty
{
  vsftpd_anon_conf "$vsftpd_port" "$files" no
  printf '%s\n' max_clients=0 max_per_ip=0
} > "$work/vsftpd.conf"
start_server "$vsftpd_port" /usr/sbin/vsftpd "$work/vsftpd.conf"
vsftpd_pid=$server_pid

# One page alone: bytes and seconds.
alone() { /usr/bin/curl -s -S -f -o /dev/null -w '%{size_download} %{time_total}\n' "$1"; }
read -r ours_bytes ours_time < <(alone "http://127.0.0.1:$web_port/big/")
read -r theirs_bytes theirs_time < <(alone "http://127.0.0.1:$nginx_port/big/")
row "web page of $files_count files: bytes" "$ours_bytes" "$theirs_bytes"
row "web page alone: seconds" "$ours_time" "$theirs_time"

# watched <pid> <prefix> <front-end address or ""> <command...>: the command, with the watcher of
# the server <pid> beside it (<prefix>.watch); then, once the connections had time to close, the
# server's resident memory (<prefix>.after).
watched() {
  local pid=$1 out=$2 address=$3
  shift 3
  "${helper[@]}" watch "$pid" "$out.done" ${address:+"$address"} > "$out.watch" &
  local watcher=$!
  "$@"
  touch "$out.done"
  wait "$watcher"
  sleep 3
  "${helper[@]}" rss "$pid" > "$out.after"
}

# web_load <port> <pid> <prefix> [front-end address]: the wrk run with the watcher beside it.
web_load() {
  local port=$1 pid=$2 out=$3
  watched "$pid" "$out" "${4:-}" /usr/bin/wrk -t4 -c"$clients" -d"${seconds}s" --timeout 120s \
    --latency -H "Connection: close" "http://127.0.0.1:$port/big/" > "$out.wrk"
}

# web_burst <port> <pid> <prefix> [front-end address]: every client asks once, all at once.
web_burst() {
  local port=$1 pid=$2 out=$3 i
  local args=(/usr/bin/curl -s -S -f -m 900 --parallel --parallel-immediate --parallel-max "$clients")
  for ((i = 0; i < clients; i++)); do args+=(-o /dev/null "http://127.0.0.1:$port/big/"); done
  timed() {
    local began=$EPOCHREALTIME
    "${args[@]}" || echo "web burst: curl failed" >&2
    awk -v a="$began" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f\n", b - a }' > "$out.seconds"
  }
  watched "$pid" "$out" "${4:-}" timed
}

echo "web: $clients clients asking once each, ours then nginx..." >&2
web_burst "$web_port" "$ours_pid" "$work/burst-ours" "$address"
web_burst "$nginx_port" "$nginx_pid" "$work/burst-nginx"
row "web $clients clients once each: seconds for all" "$(cat "$work/burst-ours.seconds")" \
  "$(cat "$work/burst-nginx.seconds")"
row "web $clients clients once each: peak RSS MB" "$(value rss_peak_mb "$work/burst-ours.watch")" \
  "$(value rss_peak_mb "$work/burst-nginx.watch")"
row "web: RSS MB once all closed" "$(cat "$work/burst-ours.after")" "$(cat "$work/burst-nginx.after")"
row "web $clients clients once each: click median s" "$(value click_median_s "$work/burst-ours.watch")" "-"
row "web $clients clients once each: click max s" "$(value click_max_s "$work/burst-ours.watch")" "-"

echo "web: $clients clients for ${seconds}s, ours then nginx..." >&2
web_load "$web_port" "$ours_pid" "$work/web-ours" "$address"
web_load "$nginx_port" "$nginx_pid" "$work/web-nginx"
wrk_rate() { awk '/Requests\/sec/ { print $2 }' "$1"; }
wrk_p50() { awk '$1 == "50%" { v = $2; if (v ~ /ms$/) { sub(/ms$/, "", v); v /= 1000 } else if (v ~ /us$/) { sub(/us$/, "", v); v /= 1e6 } else if (v ~ /m$/) { sub(/m$/, "", v); v *= 60 } else sub(/s$/, "", v); printf "%.3f", v }' "$1"; }
wrk_errors() { awk '/Non-2xx|Socket errors/ { printf "%s ", $0 }' "$1"; }
row "web $clients clients: pages/s" "$(wrk_rate "$work/web-ours.wrk")" "$(wrk_rate "$work/web-nginx.wrk")"
row "web $clients clients: median page seconds" "$(wrk_p50 "$work/web-ours.wrk")" "$(wrk_p50 "$work/web-nginx.wrk")"
row "web $clients clients: peak RSS MB" "$(value rss_peak_mb "$work/web-ours.watch")" \
  "$(value rss_peak_mb "$work/web-nginx.watch")"
row "web: RSS MB once all closed" "$(cat "$work/web-ours.after")" "$(cat "$work/web-nginx.after")"
row "web $clients clients: click median seconds" "$(value click_median_s "$work/web-ours.watch")" "-"
row "web $clients clients: click p90 seconds" "$(value click_p90_s "$work/web-ours.watch")" "-"
row "web $clients clients: click max seconds" "$(value click_max_s "$work/web-ours.watch")" "-"
for side in ours nginx; do
  errors=$(wrk_errors "$work/web-$side.wrk")
  [[ -z $errors ]] || echo "web $side: $errors" >&2
done

# ftp_load <port> <pid> <prefix> [front-end address]
ftp_load() {
  local port=$1 pid=$2 out=$3
  watched "$pid" "$out" "${4:-}" "${helper[@]}" ftp-lists "$port" /big "$clients" "$seconds" \
    > "$out.lists"
}

echo "FTP: $clients sessions listing for ${seconds}s, ours then vsftpd..." >&2
ftp_load "$ftp_port" "$ours_pid" "$work/ftp-ours" "$address"
ftp_load "$vsftpd_port" "$vsftpd_pid" "$work/ftp-vsftpd"
row "FTP $clients sessions: listings/s" "$(value lists_per_s "$work/ftp-ours.lists")" \
  "$(value lists_per_s "$work/ftp-vsftpd.lists")"
row "FTP: lines of a listing" "$(value lines "$work/ftp-ours.lists")" "$(value lines "$work/ftp-vsftpd.lists")"
row "FTP $clients sessions: failed sessions" "$(value errors "$work/ftp-ours.lists")" \
  "$(value errors "$work/ftp-vsftpd.lists")"
row "FTP $clients sessions: peak RSS MB" "$(value rss_peak_mb "$work/ftp-ours.watch")" \
  "$(value rss_peak_mb "$work/ftp-vsftpd.watch")"
row "FTP: RSS MB once all closed" "$(cat "$work/ftp-ours.after")" "$(cat "$work/ftp-vsftpd.after")"
row "FTP $clients sessions: click median seconds" "$(value click_median_s "$work/ftp-ours.watch")" "-"
row "FTP $clients sessions: click max seconds" "$(value click_max_s "$work/ftp-ours.watch")" "-"

head -c 1024 /dev/urandom > "$work/upload.bin"
read -r up_bytes up_time < <(/usr/bin/curl -s -S -f -o /dev/null -w '%{size_download} %{time_total}\n' \
  -F "file1=@$work/upload.bin" "http://127.0.0.1:$web_port/big/")
row "upload of 1 KiB: bytes answered" "$up_bytes" "-"
row "upload of 1 KiB: seconds" "$up_time" "-"

# The peers with their own limits for the lockout.
lockout_nginx_port=$(free_port)
mkdir -p "$work/lockout"
write_nginx_conf "$work/lockout" "$lockout_nginx_port" "$files" 'autoindex on; limit_conn peraddr 128;'
sed -i 's/^http {$/http {\n  limit_conn_zone $binary_remote_addr zone=peraddr:1m;/' "$work/lockout/nginx.conf"
start_server "$lockout_nginx_port" /usr/sbin/nginx -c "$work/lockout/nginx.conf" \
  -e "$work/lockout/nginx/error.log"
lockout_nginx_pid=$server_pid
lockout_vsftpd_port=$(free_port)
{
  vsftpd_anon_conf "$lockout_vsftpd_port" "$files" no
  printf '%s\n' max_clients=256 max_per_ip=128
} > "$work/lockout/vsftpd.conf"
start_server "$lockout_vsftpd_port" /usr/sbin/vsftpd "$work/lockout/vsftpd.conf"
lockout_vsftpd_pid=$server_pid

# lockout <ftp|web> <port> <prefix>
lockout() {
  "${helper[@]}" lockout "$1" "$2" "$holders" "$workers" "$lockout_seconds" > "$3.lockout"
}
echo "lockout: $holders holders from 127.0.0.2 beside $workers working clients from 127.0.0.3," \
  "${lockout_seconds}s each, ours then the peer..." >&2
lockout web "$web_port" "$work/lock-web-ours"
lockout web "$lockout_nginx_port" "$work/lock-web-nginx"
lockout ftp "$ftp_port" "$work/lock-ftp-ours"
lockout ftp "$lockout_vsftpd_port" "$work/lock-ftp-vsftpd"
for kind in web ftp; do
  peer=$([[ $kind == web ]] && echo nginx || echo vsftpd)
  ours_file="$work/lock-$kind-ours.lockout"
  peer_file="$work/lock-$kind-$peer.lockout"
  row "$kind lockout: working requests served" "$(value served "$ours_file")" "$(value served "$peer_file")"
  row "$kind lockout: working requests failed" "$(value failed "$ours_file")" "$(value failed "$peer_file")"
  row "$kind lockout: served per second" "$(value served_per_s "$ours_file")" \
    "$(value served_per_s "$peer_file")"
  row "$kind lockout: median seconds" "$(value median_s "$ours_file")" "$(value median_s "$peer_file")"
  row "$kind lockout: p90 seconds" "$(value p90_s "$ours_file")" "$(value p90_s "$peer_file")"
done

stop_server "$ours_pid"
stop_server "$nginx_pid"
stop_server "$vsftpd_pid"
stop_server "$lockout_nginx_pid"
stop_server "$lockout_vsftpd_pid"

echo
printf '%-44s %12s %12s %8s\n' "$files_count files, $clients clients" "Ferrowen" "peer" "ratio"
printf '%s\n' "${rows[@]}"
echo "(peers: nginx with one worker and autoindex for the web rows; vsftpd for the FTP rows;" \
  "in the lockout rows with their per-address limits)"
