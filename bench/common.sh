# What the bench scripts share (sourced): their work folder, loopback ports, servers started and
# stopped on them, and nginx and vsftpd as the peer servers.

# Makes the run's work folder ($work, named after $1) and removes it at the end, with every
# process whose pid is in $pids.
bench_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  pids=()
  trap bench_cleanup EXIT
  chmod 755 "$work"
}

bench_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}

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

# Starts a server in the foreground of its own process (its output in the work folder) and waits
# for it on its port; its pid is in $server_pid.
start_server() {
  local port=$1
  shift
  "$@" > "$work/server-$port.log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  wait_port "$port"
}

stop_server() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Writes an nginx configuration to "$1/nginx.conf" (its temporary files in "$1/nginx") serving the
# folder "$3" on 127.0.0.1:$2; more lines for its server block may follow ("autoindex on;").
write_nginx_conf() {
  local work=$1 port=$2 files=$3
  shift 3
  mkdir -p "$work/nginx"
  cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:$port;
    root $files;
    $*
  }
}
CONF
}

# Prints a vsftpd configuration for anonymous logins on 127.0.0.1:$1, served from $2, uploads
# allowed when $3 is "yes"; its log in the work folder. More lines may follow it.
vsftpd_anon_conf() {
  cat <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$1
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
anon_root=$2
CONF
  if [[ $3 == yes ]]; then
    printf '%s\n' write_enable=YES anon_upload_enable=YES anon_other_write_enable=YES anon_umask=022
  else
    echo write_enable=NO
  fi
  cat <<CONF
pasv_enable=YES
pasv_address=127.0.0.1
connect_from_port_20=NO
secure_chroot_dir=/var/run/vsftpd/empty
xferlog_enable=NO
vsftpd_log_file=$work/vsftpd.log
CONF
}
