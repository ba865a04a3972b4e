#!/usr/bin/env bash
# Ferrowen beside the best peers, in one run on this machine, over loopback:
#   - the FTP client against vsftpd, next to curl against the same server: download and upload,
#     plain FTP, FTPS with TLS 1.3, and FTPS with TLS 1.2 and an AES-CBC suite;
#   - the FTP sharing server next to vsftpd, curl downloading from each;
#   - the FTP sharing server next to vsftpd, lftp mirroring 500 small files from each (files per
#     second: a reply held back on the control connection shows here);
#   - the web sharing server next to python's http.server, curl downloading from each;
#   - the web sharing server next to nginx (one worker): requests per second for a 4 KiB file,
#     wrk with 50 connections, each request on a connection of its own;
#   - the FTP client listing folders of 1,000, 10,000 and LIST_ENTRIES files (default 100,000)
#     next to lftp's `cls -l` (entries per second; ours after its login, lftp's whole run);
#   - the transfer queue downloading SMALL_FILES files of 4 KiB (default 100, 1,000 and 10,000,
#     one row each) from vsftpd, one queue row per file, next to `lftp mirror` of the same folder;
#   - SFTP against sshd, next to OpenSSH's sftp in batch mode: a folder of SFTP_FILES files of
#     4 KiB (default 2,000) downloaded by the queue's folder download (`get -r`) and uploaded by
#     one queue row per file (`put -r`), and listings of 1,000 to LIST_ENTRIES files (`ls -l`), each
#     timed as a whole process (connection and login included);
#   - the transfer queue alone (no peer): seconds to add 100 to 100,000 rows as a folder
#     download adds them and to report each done, with the growth from one size to the next;
#   - the Saved Files listing of a folder of LIST_ENTRIES files next to `ls -l` of it (entries per
#     second), alone and with 10,000 rows in the queue; then its growth with 100 / 1,000 / 10,000 /
#     100,000 files, and finished downloads while Saved Files shows their folder.
# Prints one table: both figures, the ratio (Ferrowen / peer) and the CPU seconds each side used
# (the client's for client rows, the server's for server rows). Figures are the best of ROUNDS,
# taken in turns with the peer's. Both clients write the downloaded file to the same disk.
#
#   bench/compare.sh [size-in-MiB] [rounds]        (defaults: 1024 MiB, 3 rounds)
#
# ONLY="<sections>" runs only some of: ftp saved servers small sftp alone (default: all).
#
# Builds a release build in build/release first. Needs root (vsftpd), and curl, lftp, vsftpd,
# nginx, wrk and openssl (scripts/packages.txt). Not part of the test suite: nothing here is asserted.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-1024}
rounds=${2:-3}
build="$root/build/release"

echo "building the release build in $build..." >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERROWEN_TESTS=OFF > /dev/null
cmake --build "$build" -j 4 --target ferrowen bench_ftp_client_transfer bench_queue_growth \
  bench_saved_files bench_small_files > /dev/null
ferrowen="$build/ferrowen"
client="$build/bench/ftp/bench_ftp_client_transfer"
saved_bench="$build/bench/files/bench_saved_files"

for tool in /usr/sbin/vsftpd /usr/sbin/nginx /usr/bin/wrk /usr/bin/curl /usr/bin/openssl /usr/bin/lftp \
  /usr/sbin/sshd /usr/bin/sftp /usr/bin/ssh-keygen; do
  [[ -x $tool ]] || { echo "$tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

. "$root/bench/common.sh"
bench_work ferrowen-compare
# Our benchmark programs make their homes here too, beside what the peers write: one disk, and
# one place on it, for both sides.
export FERROWEN_BENCH_DIR="$work"

want() { [[ -z ${ONLY:-} || " $ONLY " == *" $1 "* ]]; }

# CPU seconds a server has used so far: the process and every process below it (vsftpd serves
# each session in processes of its own), counting those that ended through their parents.
cpu_of() {
  /usr/bin/python3 - "$1" <<'PY'
import os, sys
stats = {}
for name in os.listdir("/proc"):
    if name.isdigit():
        try:
            text = open(f"/proc/{name}/stat").read()
        except OSError:
            continue
        fields = text[text.rindex(")") + 2:].split()
        stats[int(name)] = (int(fields[1]), sum(int(f) for f in fields[11:15]))
tree, total = [int(sys.argv[1])], 0
while tree:
    pid = tree.pop()
    total += stats.get(pid, (0, 0))[1]
    tree += [child for child, (parent, _) in stats.items() if parent == pid]
print(total / os.sysconf("SC_CLK_TCK"))
PY
}

# Runs a command; prints "<seconds> <cpu-seconds of the command>".
timed() {
  local out
  out=$({ /usr/bin/time -f '%e %U %S' "$@" > /dev/null 2> "$work/cmd.err"; } 2>&1) || {
    cat "$work/cmd.err" >&2
    return 1
  }
  tail -n 1 "$work/cmd.err" | awk '{ printf "%s %.2f\n", $1, $2 + $3 }'
}

# once <mode> <cpu-source> <command...>: runs the command, prints "<MB/s or req/s> <CPU seconds>".
# mode "bytes" divides the size by the time; mode "items" divides $items by it (entries or files
# per second); mode "wrk" takes the requests per second wrk reports.
# cpu-source: "self" is the command's own CPU, "own" the command's own report ("<seconds> <cpu>"
# on its output), a pid that server's CPU during the run.
once() {
  local mode=$1 cpu_source=$2
  shift 2
  local before=0 rate cpu line bytes=$bytes
  sync # the last run's written file goes to the disk before this one, not during it
  [[ $cpu_source != self && $cpu_source != own ]] && before=$(cpu_of "$cpu_source")
  [[ $mode == items ]] && bytes=$((items * 1000000)) # entries per second
  if [[ $mode == wrk ]]; then
    rate=$("$@" | awk '/Requests\/sec/ { print $2 }')
    cpu=0
  else
    if [[ $cpu_source == own ]]; then
      line=$("$@" 2>> "$work/client.log") || { tail -20 "$work/client.log" >&2; return 1; }
    else
      line=$(timed "$@") || return 1
    fi
    rate=$(awk -v s="$line" -v b="$bytes" 'BEGIN { split(s, f, " "); printf "%.0f", b / f[1] / 1e6 }')
    cpu=$(awk -v s="$line" 'BEGIN { split(s, f, " "); print f[2] }')
  fi
  if [[ $cpu_source != self && $cpu_source != own ]]; then
    cpu=$(awk -v a="$before" -v b="$(cpu_of "$cpu_source")" 'BEGIN { printf "%.2f", b - a }')
  fi
  echo "$rate $cpu"
}

# pair <row> <peer> <mode> <our cpu-source> <peer's cpu-source>: runs the commands in the arrays
# `ours` and `theirs` in turn, ROUNDS times each (alternating, so that a busy moment of the machine
# falls on both), and adds a row with the best run of each.
pair() {
  local name=$1 peer=$2 mode=$3 ours_source=$4 theirs_source=$5
  local o=(0 0) t=(0 0) r
  for _ in $(seq 1 "$rounds"); do
    r=($(once "$mode" "$ours_source" "${ours[@]}")) || { echo "failed: ${ours[*]}" >&2; return 1; }
    awk -v a="${r[0]}" -v b="${o[0]}" 'BEGIN { exit !(a > b) }' && o=("${r[@]}")
    r=($(once "$mode" "$theirs_source" "${theirs[@]}")) || { echo "failed: ${theirs[*]}" >&2; return 1; }
    awk -v a="${r[0]}" -v b="${t[0]}" 'BEGIN { exit !(a > b) }' && t=("${r[@]}")
  done
  best_ours=${o[0]} best_theirs=${t[0]}
  row "$name" "$peer" "${o[0]}" "${o[1]}" "${t[0]}" "${t[1]}" "$(growth_text)"
}

# For rows of a series that grows 10x from one row to the next ("items" rates): how much longer
# each side took than for the row before (10.0x is linear); empty for a first row.
prev_ours=0 prev_theirs=0 series_items=0
growth_text() {
  [[ $series_items -gt 0 && $prev_ours != 0 ]] || return 0
  awk -v o="$best_ours" -v t="$best_theirs" -v po="$prev_ours" -v pt="$prev_theirs" \
    -v n="$items" -v pn="$series_items" \
    'BEGIN { printf "time x%.1f / x%.1f for x%.0f items", (n / o) / (pn / po), (n / t) / (pn / pt), n / pn }'
}

rows=()
row() { # name peer ours ours-cpu theirs theirs-cpu [growth]
  rows+=("$(printf '%-30s %-18s %9s %7ss %9s %7ss %6s  %s' "$1" "$2" "$3" "$4" "$5" "$6" \
    "$(awk -v a="$3" -v b="$5" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')" "${7:-}")")
  echo "${rows[-1]}" >&2
}

bytes=$((size_mib * 1048576))
echo "making a ${size_mib} MiB file of random bytes..." >&2
mkdir -p "$work/data"
head -c "$bytes" /dev/urandom > "$work/data/big.bin"
head -c 4096 /dev/urandom > "$work/data/small.bin"
chmod 644 "$work/data/"*

# --- The FTP client against vsftpd, curl beside it ------------------------------------------------
mkdir -p /var/run/vsftpd/empty
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2> /dev/null
ftp_root="$work/vsftpd"
mkdir -p "$ftp_root/pub"
chmod 755 "$ftp_root"
chown ftp:ftp "$ftp_root/pub"
ln "$work/data/big.bin" "$ftp_root/pub/big.bin"
list_entries=${LIST_ENTRIES:-100000}
# The listing rows grow 10x from one to the next up to LIST_ENTRIES: many-N holds N empty files.
list_series=""
for n in 1000 10000; do [[ $n -lt $list_entries ]] && list_series+="$n "; done
list_series+="$list_entries"
echo "making folders of $list_series empty files..." >&2
for n in $list_series; do
  mkdir -p "$ftp_root/pub/many-$n"
  /usr/bin/python3 - "$ftp_root/pub/many-$n" "$n" <<'PY'
import os, sys
folder, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    open(os.path.join(folder, "file-%06d.dat" % i), "w").close()
PY
done
down="$work/down"
mkdir -p "$down"

# vsftpd_conf <port> <tls: none|yes>
vsftpd_conf() {
  vsftpd_anon_conf "$1" "$ftp_root" yes
  if [[ $2 == yes ]]; then
    cat <<CONF
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
ssl_ciphers=HIGH
rsa_cert_file=$work/cert.pem
rsa_private_key_file=$work/key.pem
CONF
  else
    echo "ssl_enable=NO"
  fi
}

# TLS 1.2 only, AES-CBC with HMAC: an OpenSSL configuration for that vsftpd alone.
cat > "$work/tls12.cnf" <<'CNF'
openssl_conf = default_conf
[default_conf]
ssl_conf = ssl_sect
[ssl_sect]
system_default = system_default_sect
[system_default_sect]
MinProtocol = TLSv1.2
MaxProtocol = TLSv1.2
CipherString = ECDHE-RSA-AES256-SHA384:ECDHE-RSA-AES128-SHA256
CNF

if want ftp; then
for variant in plain tls13 tls12; do
  port=$(free_port)
  if [[ $variant == plain ]]; then
    vsftpd_conf "$port" no > "$work/vsftpd-$variant.conf"
    start_server "$port" /usr/sbin/vsftpd "$work/vsftpd-$variant.conf"
    curl_tls=()
    mode=plain
    label="FTP"
  else
    vsftpd_conf "$port" yes > "$work/vsftpd-$variant.conf"
    if [[ $variant == tls12 ]]; then
      start_server "$port" env OPENSSL_CONF="$work/tls12.cnf" /usr/sbin/vsftpd "$work/vsftpd-$variant.conf"
      label="FTPS TLS1.2 CBC"
    else
      start_server "$port" /usr/sbin/vsftpd "$work/vsftpd-$variant.conf"
      label="FTPS TLS1.3"
    fi
    curl_tls=(--ssl-reqd -k)
    mode=tls
  fi
  pid=$server_pid
  url="ftp://127.0.0.1:$port/pub"
  curl=(/usr/bin/curl -s -S -f --ftp-pasv -u anonymous:bench@ "${curl_tls[@]}")
  ours=("$client" "$port" download /pub big.bin "$work/data/big.bin" "$mode")
  theirs=("${curl[@]}" -o "$down/big.bin" "$url/big.bin")
  pair "client download, $label" curl bytes own self
  ours=("$client" "$port" upload /pub up.bin "$work/data/big.bin" "$mode")
  theirs=("${curl[@]}" -T "$work/data/big.bin" "$url/curl-up.bin")
  pair "client upload, $label" curl bytes own self
  rm -f "$ftp_root/pub/up.bin" "$ftp_root/pub/curl-up.bin" "$down/big.bin"
  if [[ $variant == plain ]]; then
    series_items=0
    for n in $list_series; do
      items=$n
      ours=("$client" "$port" list "/pub/many-$n" - - plain)
      theirs=(/usr/bin/lftp -c "set ftp:prefer-epsv no; set ftp:ssl-allow no; set cmd:cls-default -l;
        open -u anonymous,bench@ ftp://127.0.0.1:$port; cls /pub/many-$n")
      pair "client listing, $n entries" "lftp cls -l" items own self
      prev_ours=$best_ours prev_theirs=$best_theirs series_items=$n
    done
    series_items=0
  fi
  stop_server "$pid"
done

fi
# --- Saved Files beside ls -l ------------------------------------------------------------------
if want saved; then
saved_home="$work/saved"
mkdir -p "$saved_home/Documents/Files"
mv "$ftp_root/pub/many-$list_entries" "$saved_home/Documents/Files/listing"
items=$list_entries
ours=("$saved_bench" list "$saved_home" listing)
theirs=(/usr/bin/ls -l "$saved_home/Documents/Files/listing")
pair "Saved Files listing, $items" "ls -l" items own self
ours=("$saved_bench" list "$saved_home" listing 10000)
pair "the same, 10,000 queue rows" "ls -l" items own self
# The SFTP listing lists the same folder later.
mv "$saved_home/Documents/Files/listing" "$ftp_root/pub/many-$list_entries"
rm -rf "$saved_home"

fi
# --- The sharing servers ------------------------------------------------------------------------
if want servers; then
home="$work/home"
files="$home/Documents/Files"
mkdir -p "$files"
chmod 755 "$home" "$home/Documents" "$files"
ln "$work/data/big.bin" "$files/big.bin"
ln "$work/data/small.bin" "$files/small.bin"
files_count=500
mkdir -p "$files/many"
for i in $(seq 1 "$files_count"); do head -c $((i * 13 % 4096)) /dev/urandom > "$files/many/f$i"; done
chmod -R a+rX "$files/many"

# ferrowen_server <FTPServer|WebServer> <port>
ferrowen_server() {
  local overrides
  if [[ $1 == FTPServer ]]; then overrides="2121=$2,8080=0"; else overrides="8080=$2,2121=0"; fi
  echo "{ \"$1\": \"1\", \"ActiveServerMinutes\": \"0\" }" > "$home/Preferences.json"
  start_server "$2" env FERROWEN_HOME="$home" FERROWEN_RESOURCES="$root/resources" \
    FERROWEN_PORT_OVERRIDES="$overrides" "$ferrowen"
}

curl_get=(/usr/bin/curl -s -S -f --disable-epsv -u anonymous:bench@ -o /dev/null)

port=$(free_port)
ferrowen_server FTPServer "$port"
ours_pid=$server_pid
ours_port=$port
ours=("${curl_get[@]}" "ftp://127.0.0.1:$port/big.bin")
port=$(free_port)
# The shared folder read only, as our server shares it.
{
  vsftpd_anon_conf "$port" "$files" no
  echo "ssl_enable=NO"
} > "$work/vsftpd-share.conf"
start_server "$port" /usr/sbin/vsftpd "$work/vsftpd-share.conf"
theirs_pid=$server_pid
theirs_port=$port
theirs=("${curl_get[@]}" "ftp://127.0.0.1:$port/big.bin")
pair "FTP server -> curl" vsftpd bytes "$ours_pid" "$theirs_pid"
# lftp mirror: one file after another over one control connection, into a fresh folder each run.
lftp_mirror() { # port
  echo "set ftp:prefer-epsv no; set ftp:use-mlsd no; set ftp:ssl-allow no; set net:max-retries 1;" \
    "open -u anonymous,bench@ ftp://127.0.0.1:$1; mirror --parallel=1 /many $work/mirror"
}
mirror_run=(bash -c 'rm -rf "$0" && exec /usr/bin/lftp -c "$1"' "$work/mirror")
ours=("${mirror_run[@]}" "$(lftp_mirror "$ours_port")")
theirs=("${mirror_run[@]}" "$(lftp_mirror "$theirs_port")")
items=$files_count
pair "FTP server 500 files -> lftp" vsftpd items "$ours_pid" "$theirs_pid"
stop_server "$ours_pid"
stop_server "$theirs_pid"

port=$(free_port)
ferrowen_server WebServer "$port"
ours_pid=$server_pid
ours=("${curl_get[@]}" "http://127.0.0.1:$port/big.bin")
web_port=$port
port=$(free_port)
start_server "$port" /usr/bin/python3 -m http.server "$port" --bind 127.0.0.1 --directory "$files"
theirs_pid=$server_pid
theirs=("${curl_get[@]}" "http://127.0.0.1:$port/big.bin")
pair "web server -> curl" "python http.server" bytes "$ours_pid" "$theirs_pid"
stop_server "$theirs_pid"

port=$(free_port)
write_nginx_conf "$work" "$port" "$files"
start_server "$port" /usr/sbin/nginx -c "$work/nginx.conf" -e "$work/nginx/error.log"
theirs_pid=$server_pid
wrk=(/usr/bin/wrk -t2 -c50 -d5s -H "Connection: close")
ours=("${wrk[@]}" "http://127.0.0.1:$web_port/small.bin")
theirs=("${wrk[@]}" "http://127.0.0.1:$port/small.bin")
pair "web server 4 KiB wrk -c50" "nginx (1 worker)" wrk "$ours_pid" "$theirs_pid"
stop_server "$ours_pid"
stop_server "$theirs_pid"

fi
# --- Many small files: the queue over FTP next to lftp mirror, from vsftpd -----------------------
if want small; then
small_sizes=${SMALL_FILES:-100 1000 10000}
port=$(free_port)
vsftpd_conf "$port" no > "$work/vsftpd-small.conf"
start_server "$port" /usr/sbin/vsftpd "$work/vsftpd-small.conf"
pid=$server_pid
series_items=0
for n in $small_sizes; do
  folder="$ftp_root/pub/small-$n"
  mkdir -p "$folder"
  for i in $(seq 1 "$n"); do head -c 4096 /dev/urandom > "$folder/f$i"; done
  chmod -R a+rX "$folder"
  items=$n
  ours=("$build/bench/queue/bench_small_files" ftp "$port" "/pub/small-$n" "$folder")
  theirs=(bash -c 'rm -rf "$0" && exec /usr/bin/lftp -c "$1"' "$work/mirror"
    "set ftp:prefer-epsv no; set ftp:use-mlsd no; set ftp:ssl-allow no; set net:max-retries 1;
     open -u anonymous,bench@ ftp://127.0.0.1:$port; mirror --parallel=1 /pub/small-$n $work/mirror")
  pair "queue FTP $n x 4 KiB" "lftp mirror" items self self
  prev_ours=$best_ours prev_theirs=$best_theirs series_items=$n
  rm -rf "$folder" "$work/mirror"
done
series_items=0
stop_server "$pid"

fi
# --- SFTP: folder batches and a large listing, next to OpenSSH's sftp, against sshd --------------
if want sftp; then
sftp_files=${SFTP_FILES:-2000}
mkdir -p "$work/ssh"
ssh-keygen -q -t rsa -b 2048 -N '' -f "$work/ssh/host" > /dev/null
ssh-keygen -q -t rsa -b 2048 -N '' -m PEM -f "$work/ssh/client" > /dev/null
cp "$work/ssh/client.pub" "$work/ssh/authorized_keys"
port=$(free_port)
cat > "$work/ssh/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $work/ssh/host
PidFile $work/ssh/sshd.pid
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
StrictModes no
AuthorizedKeysFile $work/ssh/authorized_keys
HostKeyAlgorithms ssh-rsa
PubkeyAcceptedAlgorithms +ssh-rsa
Ciphers aes256-cbc
MACs hmac-sha1
KexAlgorithms diffie-hellman-group14-sha1
Subsystem sftp internal-sftp
CONF
mkdir -p /run/sshd
start_server "$port" /usr/sbin/sshd -D -e -f "$work/ssh/sshd_config"
pid=$server_pid
openssh_sftp() { # batch file
  echo /usr/bin/sftp -q -b "$1" -i "$work/ssh/client" -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o Ciphers=aes256-cbc -o MACs=hmac-sha1 \
    -o HostKeyAlgorithms=+ssh-rsa -o PubkeyAcceptedAlgorithms=+ssh-rsa \
    -o KexAlgorithms=diffie-hellman-group14-sha1 -P "$port" root@127.0.0.1
}
small="$work/sftp-small"
mkdir -p "$small" "$work/sftp-up"
for i in $(seq 1 "$sftp_files"); do head -c 4096 /dev/urandom > "$small/f$i"; done
items=$sftp_files
echo "get -r $small $work/sftp-got" > "$work/get.batch"
ours=("$build/bench/queue/bench_small_files" sftp-down "$port" root "$work/ssh/client" "$small" "$small")
theirs=(bash -c 'rm -rf "$0" && exec "${@:1}"' "$work/sftp-got" $(openssh_sftp "$work/get.batch"))
pair "SFTP folder $sftp_files x 4 KiB down" "OpenSSH sftp" items self self
echo "put -r $small $work/sftp-up" > "$work/put.batch"
ours=(bash -c 'rm -rf "$0" && mkdir "$0" && exec "${@:1}"' "$work/sftp-up"
  "$build/bench/queue/bench_small_files" sftp-up "$port" root "$work/ssh/client" "$small" "$work/sftp-up")
theirs=(bash -c 'rm -rf "$0" && exec "${@:1}"' "$work/sftp-up" $(openssh_sftp "$work/put.batch"))
pair "SFTP $sftp_files x 4 KiB up" "OpenSSH sftp" items self self
rm -rf "$small" "$work/sftp-up" "$work/sftp-got"
series_items=0
for n in $list_series; do
  items=$n
  echo "ls -l $ftp_root/pub/many-$n" > "$work/ls.batch"
  ours=("$build/bench/queue/bench_small_files" sftp-list "$port" root "$work/ssh/client"
    "$ftp_root/pub/many-$n" "$n")
  theirs=($(openssh_sftp "$work/ls.batch"))
  pair "SFTP listing, $n entries" "OpenSSH sftp ls -l" items self self
  prev_ours=$best_ours prev_theirs=$best_theirs series_items=$n
done
series_items=0
stop_server "$pid"

fi
echo
printf '%-30s %-18s %9s %8s %9s %8s %6s\n' "${size_mib} MiB, best of $rounds" "peer" \
  "Ferrowen" "CPU" "peer" "CPU" "ratio"
printf '%s\n' "${rows[@]}"
echo "Figures: MB/s (10^6 bytes per second), for the 4 KiB row requests per second, for the listing"
echo "rows (FTP, SFTP, Saved Files) entries per second, for the rows of many files files per second."
echo "CPU: the client's for client rows, the server's for server rows. The queue and SFTP rows of many"
echo "files and the SFTP listing are whole runs of each program (connection and login included)."
echo
want alone || exit 0
echo "The transfer queue alone, as it grows (seconds; growth: against the size before, 10x rows):"
"$build/bench/queue/bench_queue_growth" 100 1000 10000 100000 2> /dev/null
echo
echo "Saved Files as its folder grows (seconds of one listing, best of 3; with 10,000 queue rows;"
echo "N rows (at most 10,000) reported done while their folder is shown):"
"$saved_bench" growth 100 1000 10000 100000 2> /dev/null
