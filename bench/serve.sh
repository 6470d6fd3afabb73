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

# start_postgres FOLDER: a PostgreSQL cluster of the benchmark's own in FOLDER (made anew; as
# root its files belong to the postgres account, since initdb refuses root), durable as a
# production one, on the first free port of 18700-18749 with a trusted user "orbisnap"; sets
# pgbin, pgport and pgdata. stop_postgres stops it.
start_postgres() {
    local folder=$1
    pgbin=$(dirname "$(readlink -f "$(command -v initdb || ls -d /usr/lib/postgresql/*/bin/initdb | tail -1)")")
    pgdata=$folder/data
    mkdir -p "$folder"
    as_pg=()
    if [ "$(id -u)" -eq 0 ]; then
        chmod a+x "$(dirname "$folder")"
        chown postgres: "$folder"
        as_pg=(runuser -u postgres --)
    fi
    (cd "$folder" && "${as_pg[@]}" "$pgbin/initdb" -D "$pgdata" -U orbisnap --auth=trust -E UTF8 --locale=C >/dev/null)
    pgport=
    local candidate
    for candidate in $(seq 18700 18749); do
        if (cd "$folder" && "${as_pg[@]}" "$pgbin/pg_ctl" start -D "$pgdata" -w -l "$folder/log" \
            -o "-p $candidate -h 127.0.0.1 -k $folder -c max_connections=300 -c shared_buffers=256MB" >/dev/null 2>&1); then
            pgport=$candidate
            return 0
        fi
    done
    echo "PostgreSQL did not start: $(tail -3 "$folder/log")" >&2
    exit 1
}

stop_postgres() {
    [ -n "${pgdata:-}" ] && (cd / && "${as_pg[@]}" "$pgbin/pg_ctl" stop -D "$pgdata" -m fast >/dev/null 2>&1) || true
}
