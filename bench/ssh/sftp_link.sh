#!/usr/bin/env bash
# SFTP across a link with a round trip, the library beside OpenSSH's sftp (batch mode) in one run.
# A relay on loopback (bench_delay_relay) holds every byte half the round trip in each direction;
# behind it, in turn, stock sshd (Debian's defaults; only its ports, keys and files are named) and
# an SSH server on Go's x/crypto/ssh with pkg/sftp, which answers a READ with at most 32 KiB. Both
# clients log in with the same RSA key and choose the same cipher (their first choice,
# chacha20-poly1305@openssh.com, against both servers). Rows, for each server and round trip:
#   - download and upload of a file of each size (default 64 MiB and 1 GiB; the file is sparse on
#     the server's side, and what arrives goes to /dev/null on both sides),
#   - a folder of SFTP_FILES files of 4 KiB (default 2,000) downloaded by the queue's folder
#     download (`get -r`) and uploaded by one queue row per file (`put -r`).
# Every figure is a whole process timed from its start (connection, key exchange and login
# included) to its end; each row shows both times, both rates and ours/sftp (OpenSSH's time over
# ours: above 1 is faster than OpenSSH's sftp). Rows are the best of ROUNDS runs, ours and
# OpenSSH's in turn.
#
#   bench/ssh/sftp_link.sh [rounds]                      (default: 1 round)
#   RTTS="20 100" SIZES="64 1024" SERVERS="sshd capped" SFTP_FILES=2000 bench/ssh/sftp_link.sh
#
# Builds a release build in build/release first, and the Go server with Debian's Go and its
# packaged sources, offline (scripts/setup.sh installs them). Needs root (sshd). Not part of the
# test suite: nothing here is asserted.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
rounds=${1:-1}
rtts=${RTTS:-20 100}
sizes=${SIZES:-64 1024}
servers=${SERVERS:-sshd capped}
files=${SFTP_FILES:-2000}
build="$root/build/release"

for tool in /usr/sbin/sshd /usr/bin/sftp /usr/bin/ssh-keygen /usr/bin/go /usr/bin/time; do
  [[ -x $tool ]] || { echo "$tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

echo "building the release build in $build..." >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERROWEN_TESTS=OFF > /dev/null
cmake --build "$build" -j 4 --target bench_delay_relay bench_sftp_transfer bench_small_files > /dev/null

. "$root/bench/common.sh"
bench_work ferrowen-link
# The queue's programs make their homes here, beside what the peers write.
export FERROWEN_BENCH_DIR="$work"

echo "building the pkg/sftp server..." >&2
(cd "$root/bench/ssh/capped_sftp_server" &&
  GOPATH=/usr/share/gocode GO111MODULE=off GOFLAGS= GOCACHE="$work/gocache" GOPROXY=off \
    go build -o "$work/capped_sftp_server" .)

mkdir -p "$work/ssh" "$work/data"
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/host" > /dev/null
ssh-keygen -q -t rsa -b 2048 -N '' -m PEM -f "$work/ssh/client" > /dev/null
cp "$work/ssh/client.pub" "$work/ssh/authorized_keys"

# Stock sshd: nothing of its configuration but where it listens and its files.
sshd_port=$(free_port)
cat > "$work/ssh/sshd_config" <<CONF
Port $sshd_port
ListenAddress 127.0.0.1
HostKey $work/ssh/host
PidFile $work/ssh/sshd.pid
AuthorizedKeysFile $work/ssh/authorized_keys
StrictModes no
UsePAM no
Subsystem sftp /usr/lib/openssh/sftp-server
CONF
mkdir -p /run/sshd
/usr/sbin/sshd -D -e -f "$work/ssh/sshd_config" > "$work/sshd.log" 2>&1 &
pids+=($!)
wait_port "$sshd_port"

capped_port=$(free_port)
"$work/capped_sftp_server" -port "$capped_port" -host-key "$work/ssh/host" \
  -authorized-keys "$work/ssh/authorized_keys" > "$work/capped.log" 2>&1 &
pids+=($!)
wait_port "$capped_port"

for mib in $sizes; do truncate -s "${mib}M" "$work/data/f$mib"; done
small="$work/small"
mkdir -p "$small"
for i in $(seq 1 "$files"); do head -c 4096 /dev/urandom > "$small/f$i"; done
chmod -R a+rX "$work/data" "$small"

# Seconds a command took, start to end; fails with its errors shown.
timed() {
  /usr/bin/time -f '%e' -o "$work/time" "$@" > "$work/cmd.out" 2> "$work/cmd.err" || {
    tail -20 "$work/cmd.err" >&2
    return 1
  }
  cat "$work/time"
}

# OpenSSH's sftp running a batch file against a port, into the array `sftp_cmd`.
openssh() { # port batch-file
  sftp_cmd=(/usr/bin/sftp -q -b "$2" -i "$work/ssh/client" -o StrictHostKeyChecking=no
    -o UserKnownHostsFile=/dev/null -P "$1" root@127.0.0.1)
}

rows=()
# row <name> <bytes or 0> <ours-seconds> <sftp-seconds>
row() {
  rows+=("$(awk -v n="$1" -v b="$2" -v o="$3" -v t="$4" 'BEGIN {
    rate = b > 0 ? sprintf("%7.1f %7.1f", b / o / 1e6, b / t / 1e6) : sprintf("%7s %7s", "-", "-")
    printf "%-34s %8.2f %8.2f %s %6.2f", n, o, t, rate, t / o }')")
  echo "${rows[-1]}" >&2
}

# pair <name> <bytes or 0>: the commands in `ours` and `theirs`, ROUNDS times in turn, best of each.
pair() {
  local o=0 t=0 s
  for _ in $(seq 1 "$rounds"); do
    s=$(timed "${ours[@]}") || { echo "failed: ${ours[*]}" >&2; return 1; }
    awk -v a="$s" -v b="$o" 'BEGIN { exit !(b == 0 || a < b) }' && o=$s
    s=$(timed "${theirs[@]}") || { echo "failed: ${theirs[*]}" >&2; return 1; }
    awk -v a="$s" -v b="$t" 'BEGIN { exit !(b == 0 || a < b) }' && t=$s
  done
  row "$1" "$2" "$o" "$t"
}

for server in $servers; do
  target=$sshd_port
  [[ $server == capped ]] && target=$capped_port
  for rtt in $rtts; do
    "$build/bench/ssh/bench_delay_relay" "$target" "$rtt" > "$work/relay.port" &
    relay=$!
    pids+=("$relay")
    for _ in $(seq 1 100); do [[ -s $work/relay.port ]] && break; sleep 0.05; done
    port=$(cat "$work/relay.port")
    for mib in $sizes; do
      bytes=$((mib * 1048576))
      echo "get $work/data/f$mib /dev/null" > "$work/get.batch"
      ours=("$build/bench/ssh/bench_sftp_transfer" down "$port" root "$work/ssh/client"
        "$work/data/f$mib" /dev/null)
      openssh "$port" "$work/get.batch"
      theirs=("${sftp_cmd[@]}")
      pair "$server ${rtt} ms: ${mib} MiB down" "$bytes"
      echo "put $work/data/f$mib /dev/null" > "$work/put.batch"
      ours=("$build/bench/ssh/bench_sftp_transfer" up "$port" root "$work/ssh/client" /dev/null
        "$work/data/f$mib")
      openssh "$port" "$work/put.batch"
      theirs=("${sftp_cmd[@]}")
      pair "$server ${rtt} ms: ${mib} MiB up" "$bytes"
    done
    echo "get -r $small $work/got" > "$work/get.batch"
    ours=("$build/bench/queue/bench_small_files" sftp-down "$port" root "$work/ssh/client" "$small"
      "$small")
    openssh "$port" "$work/get.batch"
    theirs=(bash -c 'rm -rf "$0" && exec "${@:1}"' "$work/got" "${sftp_cmd[@]}")
    pair "$server ${rtt} ms: $files x 4 KiB down" 0
    echo "put -r $small $work/up" > "$work/put.batch"
    ours=(bash -c 'rm -rf "$0" && mkdir "$0" && exec "${@:1}"' "$work/up"
      "$build/bench/queue/bench_small_files" sftp-up "$port" root "$work/ssh/client" "$small"
      "$work/up")
    openssh "$port" "$work/put.batch"
    theirs=(bash -c 'rm -rf "$0" && exec "${@:1}"' "$work/up" "${sftp_cmd[@]}")
    pair "$server ${rtt} ms: $files x 4 KiB up" 0
    rm -rf "$work/got" "$work/up"
    kill "$relay" 2>/dev/null || true
    wait "$relay" 2>/dev/null || true
    rm -f "$work/relay.port"
  done
done

echo
printf '%-34s %8s %8s %7s %7s %6s\n' "best of $rounds" "ours s" "sftp s" "ours" "sftp" "ratio"
printf '%s\n' "${rows[@]}"
echo "Times: seconds of the whole process (connection and login included). Rates: MB/s (10^6 bytes"
echo "per second). Ratio: OpenSSH sftp's time over ours (above 1: ours is faster)."
