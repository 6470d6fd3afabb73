#!/usr/bin/env bash
# Patch and compression benchmark: the bytes an update moves by each way, on a release pair of
# real Windows executables, beside `zstd -19 --long`, `zstd -19 --long --patch-from=OLD` and
# Debian's bsdiff on the same files; how long `orbisnap-release pack` takes; how long applying
# a patch and decoding a compressed copy take, and their peak memory (GNU time), best of RUNS
# runs with the CPU time beside the wall time.
#
# The pair, unless given: the project's own Windows build (RevisionPusher.exe, Host.exe) at
# OLD_COMMIT (default c548584, 41 commits before this benchmark was written) and of the working
# tree, cross-built with ../shared/windows-sdk into build-bench-delta/ (kept between runs).
# Or any pair of folders: files at the same relative path are compared, files only in NEW count
# as new. --big adds an 80 MB file made of real executable bytes (the first 80 MB of the
# largest binary found on this machine) and the same with inserted, removed and changed bytes,
# for speed and memory where files are big.
#
# Usage: bench/delta/run.sh [--runs N] [--old-commit C] [--big] [OLD_DIR NEW_DIR]
# Needs: cmake, ninja, zstd, bsdiff, GNU time; for the built pair the MinGW compiler and the SDK.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
runs=3
old_commit=c548584
big=0
dirs=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --runs) runs=$2; shift ;;
    --old-commit) old_commit=$2; shift ;;
    --big) big=1 ;;
    *) dirs+=("$1") ;;
    esac
    shift
done
for tool in cmake ninja zstd bsdiff bspatch /usr/bin/time sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/setup.sh installs it)" >&2; exit 2; }
done

state=$repo/build-bench-delta
mkdir -p "$state"
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$repo}
command -v ccache >/dev/null && export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
cmake -S "$repo" -B "$state/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBISNAP_BUILD_TESTS=OFF >/dev/null
ninja -C "$state/linux" -j2 bench_delta orbisnap-release >/dev/null
bench=$state/linux/bench/delta/bench_delta
tool=$state/linux/release/orbisnap-release.exe

# The project's own Windows build of one source tree: NAME SOURCE_DIR.
build_windows() {
    local name=$1 source=$2
    local sdk=${ORBISNAP_WINDOWS_SDK:-$repo/../shared/windows-sdk}
    [[ -f $sdk/toolchain-mingw64.cmake ]] || sdk=/work/shared/windows-sdk
    cmake --no-warn-unused-cli -S "$source" -B "$state/$name-win" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$sdk/toolchain-mingw64.cmake" -DORBISNAP_BUILD_TESTS=OFF >/dev/null
    ninja -C "$state/$name-win" -j2 RevisionPusher Host >/dev/null
    rm -rf "$state/pair/$name"
    mkdir -p "$state/pair/$name"
    cp "$state/$name-win/app/RevisionPusher.exe" "$state/$name-win/examples/host/Host.exe" "$state/pair/$name/"
}

if [[ ${#dirs[@]} -eq 2 ]]; then
    old_dir=$(cd "${dirs[0]}" && pwd)
    new_dir=$(cd "${dirs[1]}" && pwd)
    pair="${dirs[0]} -> ${dirs[1]}"
elif [[ ${#dirs[@]} -eq 0 ]]; then
    echo "building the Windows pair: $old_commit and the working tree (once; slow)" >&2
    if [[ ! -f $state/old-src.commit || $(cat "$state/old-src.commit") != "$old_commit" ]]; then
        rm -rf "$state/old-src" "$state/old-win"
        mkdir -p "$state/old-src"
        git -C "$repo" archive "$old_commit" | tar -x -C "$state/old-src"
        echo "$old_commit" >"$state/old-src.commit"
    fi
    build_windows old "$state/old-src"
    build_windows new "$repo"
    old_dir=$state/pair/old
    new_dir=$state/pair/new
    pair="the Windows build at $old_commit -> the working tree ($(git -C "$repo" rev-parse --short HEAD))"
else
    echo "usage: bench/delta/run.sh [--runs N] [--old-commit C] [--big] [OLD_DIR NEW_DIR]" >&2
    exit 2
fi

work=$(mktemp -d /var/tmp/orbisnap-delta.XXXXXX)
trap 'rm -rf "$work"' EXIT
releases=$work/releases
mkdir -p "$releases/1.0.0" "$releases/1.0.1"
cp -r "$old_dir/." "$releases/1.0.0/"
cp -r "$new_dir/." "$releases/1.0.1/"
if ((big)); then
    source_binary=$(find /usr/lib /usr/bin -xdev -type f -size +90M 2>/dev/null | head -1)
    [[ -n $source_binary ]] || { echo "--big: no binary of 90 MB or more on this machine" >&2; exit 2; }
    head -c 80000000 "$source_binary" >"$releases/1.0.0/big.bin"
    # Inserted, removed and changed bytes spread over the file, as a rebuild scatters them.
    python3 "$repo/bench/delta/scatter-edits.py" "$releases/1.0.0/big.bin" "$releases/1.0.1/big.bin"
    pair="$pair, plus big.bin (80 MB of $source_binary)"
fi

# measure FILE COMMAND...: "wall_s user_s sys_s peak_kib" of one run into FILE
measure() {
    local file=$1
    shift
    /usr/bin/time -f '%e %U %S %M' -o "$file" "$@" >/dev/null 2>"$work/err.log" || {
        echo "failed: $*" >&2
        cat "$work/err.log" >&2
        exit 1
    }
}
# best FILES...: the run with the least wall time: "wall_s cpu_s peak_kib"
best() {
    cat "$@" | awk '{ cpu = $2 + $3; if (NR == 1 || $1 < w) { w = $1; c = cpu; m = $4 } } END { printf "%.2f %.2f %d\n", w, c, m }'
}
size() { stat -c %s "$1"; }
sha() { sha256sum "$1" | cut -d' ' -f1; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

echo "pair: $pair"
echo "machine: $(nproc) cores, load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# Making: orbisnap-release pack, once (it takes its time; the objects are what is measured).
measure "$work/pack.time" "$tool" pack --releases "$releases" --from 1
read -r pack_wall pack_cpu pack_rss < <(best "$work/pack.time")
"$tool" pack --releases "$releases" --from 1 >"$work/table.txt" 2>&1

printf '%-22s %11s %11s %11s %11s %11s %11s %11s\n' file raw zstd-long ours-copy patch-from bsdiff ours-patch ours-wire
total_raw=0 total_zstd=0 total_from=0 total_bsdiff=0 total_ours=0 total_target=0
applies=()
cd "$releases/1.0.1"
while IFS= read -r -d '' file; do
    file=${file#./}
    new=$releases/1.0.1/$file
    old=$releases/1.0.0/$file
    if [[ -f $old ]] && cmp -s "$old" "$new"; then
        continue
    fi
    raw=$(size "$new")
    zstd_long=$(zstd -q -19 --long=27 -c "$new" | wc -c)
    copy=$releases/objects/$(sha "$new").zst
    ours_copy=$(size "$copy")
    if [[ -f $old ]]; then
        patch_from=$(zstd -q -19 --long=27 --patch-from="$old" -c "$new" 2>/dev/null | wc -c)
        bsdiff "$old" "$new" "$work/bsdiff.patch"
        bs=$(size "$work/bsdiff.patch")
        patch=$releases/objects/$(sha "$old")-$(sha "$new").patch
        if [[ -f $patch ]]; then
            ours_patch=$(size "$patch")
            ours=$ours_patch
            applies+=("$file|$old|$patch|$raw")
        else
            ours_patch=-
            ours=$ours_copy
        fi
        target=$bs
    else
        patch_from=- bs=- ours_patch=- ours=$ours_copy target=$zstd_long
    fi
    printf '%-22s %11s %11s %11s %11s %11s %11s %11s\n' "$file" "$raw" "$zstd_long" "$ours_copy" "$patch_from" "$bs" \
        "$ours_patch" "$ours"
    total_raw=$((total_raw + raw))
    total_zstd=$((total_zstd + zstd_long))
    [[ $patch_from != - ]] && total_from=$((total_from + patch_from))
    [[ $bs != - ]] && total_bsdiff=$((total_bsdiff + bs))
    total_ours=$((total_ours + ours))
    total_target=$((total_target + target))
done < <(find . -type f -print0 | sort -z)
cd - >/dev/null
printf '%-22s %11s %11s %11s %11s %11s %11s %11s\n' total "$total_raw" "$total_zstd" - "$total_from" "$total_bsdiff" - "$total_ours"
echo
echo "bytes on the wire: raw $total_raw, zstd -19 --long $total_zstd, ours $total_ours"
echo "target (bsdiff of changed files + zstd -19 --long of new ones): $total_target;" \
    "ours/target $(awk -v a="$total_ours" -v b="$total_target" 'BEGIN { printf "%.3f", a / b }')" \
    "(at most 1, stretch 0.9)"
echo "pack --from 1: wall ${pack_wall} s, CPU ${pack_cpu} s, peak $(mib "$pack_rss") MiB"
echo

# Decoding as the updater does, streamed to a file: best of RUNS.
printf '%-22s %-10s %9s %9s %11s\n' file way wall-s cpu-s peak-MiB
for entry in "${applies[@]}"; do
    IFS='|' read -r file old patch raw <<<"$entry"
    bsdiff "$old" "$releases/1.0.1/$file" "$work/bsdiff.patch"
    for ((run = 1; run <= runs; run++)); do
        measure "$work/apply.$run" "$bench" apply "$old" "$patch" "$work/out" "$raw"
        cmp -s "$work/out" "$releases/1.0.1/$file" || { echo "applying $file made other bytes" >&2; exit 1; }
        measure "$work/bspatch.$run" bspatch "$old" "$work/out" "$work/bsdiff.patch"
    done
    read -r wall cpu rss < <(best "$work"/apply.*)
    printf '%-22s %-10s %9s %9s %11s\n' "$file" apply "$wall" "$cpu" "$(mib "$rss")"
    read -r wall cpu rss < <(best "$work"/bspatch.*)
    printf '%-22s %-10s %9s %9s %11s\n' "$file" bspatch "$wall" "$cpu" "$(mib "$rss")"
    rm -f "$work"/apply.* "$work"/bspatch.*
done
for copy in "$releases"/objects/*.zst; do
    name=$(basename "$copy" .zst)
    file=$(cd "$releases/1.0.1" && find . -type f -exec sha256sum {} + | awk -v s="$name" '$1 == s { print $2; exit }')
    raw=$(size "$releases/1.0.1/$file")
    ((raw >= 1000000)) || continue
    for ((run = 1; run <= runs; run++)); do
        measure "$work/copy.$run" "$bench" decompress "$copy" "$work/out" "$raw"
    done
    read -r wall cpu rss < <(best "$work"/copy.*)
    printf '%-22s %-10s %9s %9s %11s\n' "${file#./}" decompress "$wall" "$cpu" "$(mib "$rss")"
    rm -f "$work"/copy.*
done
echo
echo "machine load after: $(cut -d' ' -f1-3 /proc/loadavg)"

# The whole update (check, fetch, apply, install) through a link of 100 Mbit/s per connection
# against the raw update, on the same pair (big.bin, which --big adds, is not part of it).
echo
"$repo/bench/delta/update.sh" --runs "$runs" "$old_dir" "$new_dir"
