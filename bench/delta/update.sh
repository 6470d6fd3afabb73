#!/usr/bin/env bash
# The whole update's wall time through a link of 100 Mbit/s per connection (nginx limit_rate),
# with the objects `orbisnap-release pack` made against the raw update, in the same run: the
# update check (Host.exe check, which writes version_diff.txt) and the updater
# (RevisionPusher.exe HOST 1: fetch, decode, check, install), both the real programs of this
# tree built for Linux, from vendor-server's answer with the files and objects served by nginx.
# The raw update is the same answer with the objects' words taken out of version_diff.txt,
# which is what an updater that knows no objects reads. Best of RUNS runs per way; the
# updater's CPU time and peak resident memory (GNU time) beside the wall time, and the bytes
# nginx sent.
#
# The release pair: OLD_DIR and NEW_DIR, or the pair bench/delta/run.sh builds
# (build-bench-delta/pair/old and new). Their files go below bin/ of releases 1.0.3 and 1.0.4,
# beside a version.txt, so that the Linux Host.exe and RevisionPusher.exe running the update
# are not among them.
#
# Usage: bench/delta/update.sh [--runs N] [--rate NGINX_RATE] [--port PORT | --build DIR] [OLD_DIR NEW_DIR]
#   --rate   nginx limit_rate per connection (default 12207k: 100 Mbit/s)
#   --port   the vendor-server port compiled into the benchmark's build (default 18490)
#   --build  use this configured build folder (and the port compiled into it) instead of a
#            Release build in build-bench-delta/update
# Needs: cmake, ninja, nginx (nginx-light), curl, GNU time, python3.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
runs=3
rate=12207k
build=
vsport=18490
dirs=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --runs) runs=$2; shift ;;
    --rate) rate=$2; shift ;;
    --port) vsport=$2; shift ;;
    --build) build=$(cd "$2" && pwd); shift ;;
    *) dirs+=("$1") ;;
    esac
    shift
done
if [[ ${#dirs[@]} -ne 2 ]]; then
    dirs=("$repo/build-bench-delta/pair/old" "$repo/build-bench-delta/pair/new")
fi
for dir in "${dirs[@]}"; do
    [[ -d $dir ]] || { echo "no release folder $dir (run bench/delta/run.sh first, or give OLD_DIR NEW_DIR)" >&2; exit 2; }
done
for tool in cmake ninja nginx curl /usr/bin/time python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/setup.sh installs it)" >&2; exit 2; }
done

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$repo}
command -v ccache >/dev/null && export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
if [[ -z $build ]]; then
    build=$repo/build-bench-delta/update
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBISNAP_BUILD_TESTS=OFF \
        -DORBISNAP_SERVER_BASE_URL="http://127.0.0.1:$vsport" >/dev/null
else
    url=$(sed -n 's/^ORBISNAP_SERVER_BASE_URL:STRING=//p' "$build/CMakeCache.txt")
    vsport=${url##*:}
fi
ninja -C "$build" -j2 Host RevisionPusher vendor-server orbisnap-release >/dev/null

# shellcheck source=bench/serve.sh
source "$repo/bench/serve.sh"
bench_work update

releases=$work/www/releases
for pair in "1.0.3 ${dirs[0]}" "1.0.4 ${dirs[1]}"; do
    read -r version dir <<<"$pair"
    mkdir -p "$releases/$version/bin"
    cp -a "$dir/." "$releases/$version/bin/"
    printf '%s\n' "$version" >"$releases/$version/version.txt"
done
pack_start=$(date +%s.%N)
"$build/release/orbisnap-release.exe" pack --releases "$releases" >"$work/pack.txt"
pack_seconds=$(python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.1f}')" "$pack_start" "$(date +%s.%N)")
chmod -R a+rX "$work"

ngport=$(free_port)
mkdir -p "$work/logs"
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 1024; }
http {
    log_format bytes '\$body_bytes_sent \$request_uri';
    access_log $work/logs/access.log bytes;
    sendfile on;
    keepalive_timeout 30;
    server {
        listen 127.0.0.1:$ngport;
        root $work/www;
        location /releases/ { limit_rate $rate; }
    }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" &
pids+=($!)
"$build/server/vendor-server" --releases "$releases" --port "$vsport" --reports "$work/reports.jsonl" \
    --public-base "http://127.0.0.1:$ngport/releases" >"$work/logs/vendor-server.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    curl -sf -o /dev/null "http://127.0.0.1:$ngport/releases/1.0.4/version.txt" \
        && curl -s -o /dev/null "http://127.0.0.1:$vsport/" && break
    sleep 0.1
done
cat "$releases"/1.0.4/bin/* "$releases"/objects/* >/dev/null # the page cache, for both ways alike

# one WAY RUN: a fresh installation of 1.0.3 updated to 1.0.4; "check_s update_s user_s sys_s
# peak_kib bytes" into $work/times/WAY.RUN
mkdir -p "$work/times"
one() {
    local way=$1 run=$2 install=$work/install tmp=$work/tmp
    rm -rf "$install" "$tmp"
    mkdir -p "$tmp"
    cp -a "$releases/1.0.3" "$install"
    cp "$build/examples/host/Host.exe" "$install/Host.exe"
    : >"$work/logs/access.log"
    kill -USR1 "$(cat "$work/nginx.pid")" # reopen the log
    # The check writes version_diff.txt; with no updater beside it, it starts none.
    TMPDIR=$tmp /usr/bin/time -f '%e' -o "$work/check.time" "$install/Host.exe" check 1 --stay 0 \
        >"$work/check.log" 2>&1 || true
    local diff=$tmp/Host/version_diff.txt
    [[ -f $diff ]] || { echo "the check wrote no version_diff.txt:" >&2; cat "$work/check.log" >&2; exit 1; }
    if [[ $way == raw ]]; then
        # What an updater that knows no objects reads: one word of line 3, six of an entry.
        awk 'NR == 3 { print $1; next } NR > 3 { print $1, $2, $3, $4, $5, $6; next } { print }' "$diff" \
            >"$diff.raw"
        mv "$diff.raw" "$diff"
    fi
    # Under a name of its own: an updater leaves any file of its own name alone, and the pair
    # may hold a RevisionPusher.exe.
    cp "$build/app/RevisionPusher.exe" "$install/BenchUpdater.exe"
    TMPDIR=$tmp QT_QPA_PLATFORM=offscreen /usr/bin/time -f '%e %U %S %M' -o "$work/update.time" \
        "$install/BenchUpdater.exe" Host.exe 1 >"$work/update.log" 2>&1 \
        || { echo "the updater failed:" >&2; tail -5 "$work/update.log" >&2; exit 1; }
    diff -r "$releases/1.0.4/bin" "$install/bin" >/dev/null \
        || { echo "$way: the installation is not release 1.0.4" >&2; tail -20 "$work/update.log" >&2; exit 1; }
    sleep 0.2 # nginx writes its log line when the response ends
    local bytes
    bytes=$(awk '{ s += $1 } END { print s + 0 }' "$work/logs/access.log")
    # GNU time puts "Command exited with non-zero status" first when the check ends so.
    echo "$(tail -1 "$work/check.time") $(tail -1 "$work/update.time") $bytes" >"$work/times/$way.$run"
    if [[ $way == objects ]]; then
        grep -E '^fetched by|not used' "$work/update.log" >"$work/ways.txt" || true
    fi
}
for ((run = 1; run <= runs; run++)); do
    one raw "$run"
    one objects "$run"
done

echo "Pack ($pack_seconds s wall):"
cat "$work/pack.txt"
echo
echo "The updater's ways (last run):"
cat "$work/ways.txt"
echo
python3 - "$work/times" "$runs" "$rate" "$(cat /proc/loadavg)" <<'PY'
import os, sys
folder, runs, rate, load = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
best = {}
for way in ("raw", "objects"):
    rows = []
    for run in range(1, runs + 1):
        check, wall, user, system, peak, sent = open(os.path.join(folder, f"{way}.{run}")).read().split()
        rows.append((float(check) + float(wall), float(check), float(wall), float(user) + float(system), int(peak), int(sent)))
    best[way] = min(rows)
print(f"Whole update (check + updater), best of {runs}, nginx limit_rate {rate} per connection; load {load}")
print(f"{'way':8} {'wall s':>8} {'check s':>8} {'updater s':>10} {'updater cpu s':>14} {'peak MiB':>9} {'bytes sent':>12}")
for way, (total, check, wall, cpu, peak, sent) in best.items():
    print(f"{way:8} {total:8.2f} {check:8.2f} {wall:10.2f} {cpu:14.2f} {peak / 1024:9.1f} {sent:12d}")
ratio = best["objects"][0] / best["raw"][0]
print(f"objects / raw wall time: {ratio:.3f} (target at most 0.35)")
PY
