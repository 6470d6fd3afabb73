#!/usr/bin/env bash
# A larger release pair for bench/delta/update.sh and run.sh, of real executables nobody here
# wrote: four files that changed between the two chromium versions Debian 12 offers (its
# release and its security update; 0.4 to 23 MB each, fetched with apt-get download), and
# big.bin, 79 MB of the older chromium binary, with the inserted, removed and changed bytes
# run.sh --big makes, as a large program's next build would scatter them.
#
# Usage: bench/delta/chromium-pair.sh DIR     (writes DIR/old and DIR/new)
# Needs: apt-get (Debian's archive reachable), dpkg-deb, python3.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)

[[ $# -eq 1 ]] || { echo "usage: bench/delta/chromium-pair.sh DIR" >&2; exit 2; }
out=$(mkdir -p "$1" && cd "$1" && pwd)
mapfile -t versions < <(apt-cache madison chromium | awk '{ print $3 }' | sort -V | tail -2)
[[ ${#versions[@]} -eq 2 ]] || { echo "Debian offers fewer than two chromium versions here" >&2; exit 2; }
work=$(mktemp -d /var/tmp/chromium-pair.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
for side in old new; do
    version=${versions[0]}
    [[ $side == new ]] && version=${versions[1]}
    apt-get download -q "chromium=$version" "chromium-common=$version" >/dev/null 2>&1 \
        || { echo "apt-get download chromium=$version failed" >&2; exit 1; }
    mkdir -p "$side"
    for deb in chromium*_"${version//:/%3a}"_*.deb; do
        dpkg-deb -x "$deb" "$side"
    done
    rm -rf "${out:?}/$side"
    mkdir -p "$out/$side"
    for file in libVkLayer_khronos_validation.so icudtl.dat libvk_swiftshader.so chrome_crashpad_handler; do
        cp "$side/usr/lib/chromium/$file" "$out/$side/"
    done
done
head -c 79000000 old/usr/lib/chromium/chromium >"$out/old/big.bin"
python3 "$repo/bench/delta/scatter-edits.py" "$out/old/big.bin" "$out/new/big.bin"
echo "chromium ${versions[0]} -> ${versions[1]}: $out/old, $out/new"
du -sh "$out/old" "$out/new"
