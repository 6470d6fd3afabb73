#!/usr/bin/env bash
# System calls of the updater's whole process (RevisionPusher.exe, mode 0: fetch and record)
# for 1,000 x 4 KiB from a local nginx: the summary of `strace -c -f`, and the calls that touch
# file names (stat family, open, unlink, rename) per file. strace slows the process down
# several times: the times it shows compare calls with each other, not with the benchmark's.
#
# Usage: bench/pass/syscalls.sh [BUILD_DIR]   (default: build-bench)
#        UPDATER=path/RevisionPusher.exe bench/pass/syscalls.sh   (that build, nothing built)
# Needs: cmake, ninja, nginx (nginx-light), strace, python3, sha256sum.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build-bench}
for tool in cmake ninja nginx strace python3 sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
updater=${UPDATER:-}
if [[ -z $updater ]]; then
    [[ -f $build/CMakeCache.txt ]] \
        || cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBISNAP_BUILD_TESTS=OFF >/dev/null
    ninja -C "$build" -j2 RevisionPusher >/dev/null
    updater=$build/app/RevisionPusher.exe
fi

# shellcheck source=bench/serve.sh
source "$repo/bench/serve.sh"
bench_work syscalls
count=1000
serve_files "$work" "$count"
port=$(free_port)
start_nginx "$work" "$port"
pids+=("$nginx_pid")
for _ in $(seq 50); do
    curl -sf -o /dev/null "http://127.0.0.1:$port/small/f0000.bin" && break
    sleep 0.1
done

{
    printf '@Orbisnap\nv1.0.0 --> v1.0.1\nhttp://127.0.0.1:%s\n' "$port"
    for ((i = 0; i < count; i++)); do
        name=$(printf 'small/f%04d.bin' "$i")
        echo "0 [Add] : $name 4096 $(sha256sum "$work/www/$name" | cut -d' ' -f1)"
    done
} >"$work/version_diff.txt"
fresh() { # an empty working directory with the version-difference file
    rm -rf "$work/dest"
    mkdir -p "$work/dest"
    cp "$work/version_diff.txt" "$work/dest/"
}

# The working directory is the temporary directory's "dest": the host is named so.
fresh
TMPDIR=$work QT_QPA_PLATFORM=offscreen strace -f -qq -c -o "$work/summary.txt" "$updater" dest 0 2>/dev/null
grep -Eq '^[01] \[' "$work/dest/version_diff.txt" && { echo "entries left not downloaded" >&2; exit 1; }
fresh
# Again, with every call on a file name listed: which of them are made per file.
TMPDIR=$work QT_QPA_PLATFORM=offscreen strace -f -qq -o "$work/calls.txt" \
    -e trace=%stat,%file "$updater" dest 0 2>/dev/null

echo "strace -c -f, RevisionPusher.exe dest 0, $count x 4 KiB; load average $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$work/summary.txt"
echo
echo "calls on file names that name a fetched file (f0500.bin), in order:"
grep 'f0500\.bin' "$work/calls.txt" | sed -E 's/^[0-9]+ +//; s/\) += .*$/)/' | sed -E "s|$work|WORK|g"
echo
python3 - "$work/calls.txt" "$count" <<'PY'
import collections, re, sys
calls = collections.Counter()
for line in open(sys.argv[1]):
    found = re.match(r"^\d+\s+(\w+)\(", line)
    if found and "/small/f" in line:
        calls[found.group(1)] += 1
count = int(sys.argv[2])
print("per fetched file: " + ", ".join(f"{name} {n / count:.2f}" for name, n in sorted(calls.items())))
PY
