# What the benchmark scripts share, sourced by them: a work folder, the files to serve and a
# local nginx that serves them with keep-alive.

# bench_work NAME: a new folder /var/tmp/orbisnap-NAME.XXXXXX in $work, and an empty $pids; on
# exit the processes in $pids are stopped and the folder is removed.
bench_work() {
    work=$(mktemp -d "/var/tmp/orbisnap-$1.XXXXXX")
    pids=()
    trap bench_cleanup EXIT
}

bench_cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}

# serve_files WORK SMALL_COUNT: WORK/www/big.bin (256 MiB) and WORK/www/small/fNNNN.bin
# (SMALL_COUNT x 4 KiB), readable by nginx's worker user.
serve_files() {
    local work=$1 count=$2
    mkdir -p "$work/www/small" "$work/logs"
    head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
    python3 - "$work/www/small" "$count" <<'PY'
import os, sys
for i in range(int(sys.argv[2])):
    with open(os.path.join(sys.argv[1], f"f{i:04d}.bin"), "wb") as f:
        f.write(os.urandom(4096))
PY
    chmod -R a+rX "$work"
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_nginx WORK PORT: serves WORK/www at 127.0.0.1:PORT, and again below /capped/ at about
# 2 Gbit/s per connection (the rate a fast link, not the machine, sets); sets nginx_pid.
start_nginx() {
    local work=$1 port=$2
    cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 30;
    keepalive_requests 10000;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
        location /capped/ {
            alias $work/www/;
            limit_rate 250m;
        }
    }
}
CONF
    nginx -p "$work" -c "$work/nginx.conf" &
    nginx_pid=$!
}
