# Loopback ports for the bench scripts (sourced): a free one, and waiting for a server on one;
# and nginx as the peer web server, one worker, on one of them.

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
