#!/usr/bin/env bash
# Download benchmark: UploadManager::downloadFile against curl, both fetching the same URLs
# from a local nginx, one run of each:
#   - one file of 256 MiB;
#   - 1,000 files of 4 KiB one after another, each over a fresh connection (our transport
#     never reuses one; curl is told "Connection: close" so it cannot either);
#   - for context, the 256 MiB file again, stored to disk by both (the updater's real job).
# Prints wall time, CPU time (user + system) and peak resident memory of both, and the
# ratios. On a shared machine the CPU time is the steadier figure.
#
# Usage: bench/network/run.sh [BUILD_DIR]     (default: build-bench in the repository)
# Needs: cmake, ninja, nginx (nginx-light), curl, GNU time (/usr/bin/time).
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build-bench}
small_count=1000

for tool in cmake ninja nginx curl /usr/bin/time python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBISNAP_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bench_download >/dev/null
client=$build/bench/network/bench_download

work=$(mktemp -d /tmp/orbisnap-bench.XXXXXX)
nginx_pid=
cleanup() {
    if [[ -n $nginx_pid ]]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/serve.sh
source "$repo/bench/serve.sh"

serve_files "$work" "$small_count"
port=$(free_port)
start_nginx "$work" "$port"
base=http://127.0.0.1:$port
for _ in $(seq 50); do
    curl -sf -o /dev/null "$base/small/f0000.bin" && break
    sleep 0.1
done

echo "$base/big.bin" >"$work/big.txt"
: >"$work/small.txt"
: >"$work/small.curl"
for ((i = 0; i < small_count; i++)); do
    url=$(printf '%s/small/f%04d.bin' "$base" "$i")
    echo "$url" >>"$work/small.txt"
    printf 'url = "%s"\noutput = "/dev/null"\n' "$url" >>"$work/small.curl"
done

# Warm the page cache so that neither client pays for the disk.
curl -sf -o /dev/null "$base/big.bin"
curl -sf -H 'Connection: close' -K "$work/small.curl"

# measure NAME COMMAND...: runs once, records "wall_s peak_kib user_s sys_s" in $work/NAME.time.
measure() {
    local name=$1
    shift
    /usr/bin/time -f '%e %M %U %S' -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err" || {
        echo "$name failed:" >&2
        tail -5 "$work/$name.err" >&2
        exit 1
    }
}

measure ours_big "$client" "$work/big.txt"
measure curl_big curl -sf -o /dev/null "$base/big.bin"
measure ours_small "$client" "$work/small.txt"
measure curl_small curl -sf -H 'Connection: close' -K "$work/small.curl"
mkdir -p "$work/out"
measure ours_disk "$client" "$work/big.txt" "$work/out"
cmp -s "$work/out/big.bin" "$work/www/big.bin" || { echo "stored file differs (ours)" >&2; exit 1; }
rm -f "$work/out/big.bin"
measure curl_disk curl -sf -o "$work/out/big.bin" "$base/big.bin"
cmp -s "$work/out/big.bin" "$work/www/big.bin" || { echo "stored file differs (curl)" >&2; exit 1; }

grep -q "failures 0 bytes $((256 * 1024 * 1024))" "$work/ours_big.out" || { echo "big download incomplete" >&2; exit 1; }
grep -q "failures 0 bytes $((small_count * 4096))" "$work/ours_small.out" || { echo "small downloads incomplete" >&2; exit 1; }

echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end of the runs"
python3 - "$work" <<'EOF'
import sys
work = sys.argv[1]
def read(name):
    wall, kib, user, system = open(f"{work}/{name}.time").read().split()
    return float(wall), int(kib) / 1024, float(user) + float(system)
rows = [("256 MiB file", "big", 1.3), ("1000 x 4 KiB, fresh connections", "small", 2.0),
        ("256 MiB file, stored to disk", "disk", None)]
print(f"{'case':34} {'client':14} {'wall s':>7} {'cpu s':>7} {'peak MiB':>9}")
for label, key, _ in rows:
    for client in ("ours", "curl"):
        wall, mib, cpu = read(f"{client}_{key}")
        name = "downloadFile" if client == "ours" else "curl"
        print(f"{label:34} {name:14} {wall:7.2f} {cpu:7.2f} {mib:9.1f}")
print()
print(f"{'ours / curl':34} {'wall':>7} {'target':>7} {'cpu':>7} {'memory':>8}")
for label, key, target in rows:
    ow, om, oc = read(f"ours_{key}")
    cw, cm, cc = read(f"curl_{key}")
    ratio = ow / cw if cw > 0 else float("inf")
    cpu = f"{oc / cc:7.2f}" if cc > 0 else f"{'-':>7}"
    goal = f"<={target}" if target else "-"
    verdict = "" if target is None else ("met" if ratio <= target else "MISSED")
    print(f"{label:34} {ratio:7.2f} {goal:>7} {cpu} {om / cm:8.2f}   {verdict}")
EOF
