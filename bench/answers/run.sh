#!/usr/bin/env bash
# The version answer under many keep-alive clients: ab -k -c CLIENTS -n REQUESTS against
# vendor-server's getVersionDiff, beside nginx serving the same answer's bytes from a file.
# Prints, per run, answers/s, failed requests, the 99th percentile and the slowest answer, and
# the server's CPU time; then the best run of each. The machine's load goes with the figures.
#   bench/answers/run.sh [--runs N] [--clients C] [--requests N]    (needs build/server/vendor-server)
set -euo pipefail
cd "$(dirname "$0")/../.."
source bench/serve.sh

runs=3 clients=200 requests=20000
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --clients) clients=$2; shift 2 ;;
        --requests) requests=$2; shift 2 ;;
        *) echo "usage: $0 [--runs N] [--clients C] [--requests N]" >&2; exit 2 ;;
    esac
done
server=build/server/vendor-server
[ -x "$server" ] || { echo "build $server first (cmake --build build --target vendor-server)" >&2; exit 1; }
command -v ab >/dev/null || { echo "ab is missing: scripts/setup.sh installs apache2-utils" >&2; exit 1; }

work=$(mktemp -d)
server_pid= nginx_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Two releases of 40 files each, 10 of them changed: an answer of a few KiB, as a real one is.
for version in 1.0.3 1.0.4; do
    mkdir -p "$work/releases/$version/bin"
    for i in $(seq -w 1 40); do
        if [ "$version" = 1.0.4 ] && [ "$i" -le 10 ]; then
            echo "file $i of $version" >"$work/releases/$version/bin/f$i.dll"
        else
            echo "file $i" >"$work/releases/$version/bin/f$i.dll"
        fi
    done
done

# The CPU time of a process and its children (nginx's worker), in clock ticks.
cpu_ticks() {
    local pid total=0
    for pid in "$1" $(pgrep -P "$1"); do
        total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
    done
    echo "$total"
}

# run_ab NAME URL PID: one line of figures.
run_ab() {
    local name=$1 url=$2 pid=$3 before after out
    before=$(cpu_ticks "$pid")
    out=$(ab -k -q -c "$clients" -n "$requests" "$url" 2>&1)
    after=$(cpu_ticks "$pid")
    awk -v name="$name" -v cpu="$(( (after - before) * 1000 / $(getconf CLK_TCK) ))" '
        /^Requests per second/ { rps = $4 }
        /^Failed requests/ { failed = $3 }
        /^Time taken for tests/ { wall = $5 }
        /^  99%/ { p99 = $2 }
        /longest request/ { longest = $2 }
        END { printf "%-13s %9.0f/s  failed %-5s p99 %5s ms  slowest %5s ms  wall %6.2f s  server CPU %6d ms\n",
                     name, rps, failed, p99, longest, wall, cpu }' <<<"$out"
}

port=$(free_port)
"$server" --releases "$work/releases" --reports "$work/reports.jsonl" --port "$port" >"$work/server.log" 2>&1 &
server_pid=$!
url="http://127.0.0.1:$port/prod/Orbisnap/getVersionDiff?version=1.0.3"
for _ in $(seq 50); do curl -sf -o "$work/answer.json" "$url" && break; sleep 0.1; done

mkdir -p "$work/www/prod/Orbisnap" "$work/logs"
cp "$work/answer.json" "$work/www/prod/Orbisnap/getVersionDiff"
chmod -R a+rX "$work"
nginx_port=$(free_port)
start_nginx "$work" "$nginx_port"
nginx_url="http://127.0.0.1:$nginx_port/prod/Orbisnap/getVersionDiff?version=1.0.3"
for _ in $(seq 50); do curl -sf -o /dev/null "$nginx_url" && break; sleep 0.1; done

echo "ab -k -c $clients -n $requests, answer of $(stat -c %s "$work/answer.json") bytes, $(nproc) cores"
echo "load before: $(cat /proc/loadavg)"
results=()
for run in $(seq "$runs"); do
    results+=("$(run_ab vendor-server "$url" "$server_pid")")
    echo "${results[-1]}"
    results+=("$(run_ab nginx "$nginx_url" "$nginx_pid")")
    echo "${results[-1]}"
done
echo "load after:  $(cat /proc/loadavg)"
echo "best of $runs (by answers/s):"
for name in vendor-server nginx; do
    printf '%s\n' "${results[@]}" | grep "^$name " | sort -k2 -n -r | head -1
done
