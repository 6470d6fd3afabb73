#!/usr/bin/env bash
# Soak: a Release vendor-server driven for minutes by raw-socket clients sending a seeded mix of
# valid and hostile requests to every endpoint. Fails when a valid request is answered wrongly,
# the server stops, or its resident memory grows by more than 8 MiB after the warm-up.
#
#   tests/soak/run.sh [--short] [--minutes M] [--warmup W] [--seed S] [--clients N] [--port P]
#                     [--server PATH]
#
# Default: 10 minutes, the bound applying from minute 2 to the end. --short (CI): 2.5 minutes,
# the bound applying over the last 2. The server is built in build-release/ unless --server
# names one. Loopback only; the port defaults to one in 18600-18649.
set -euo pipefail
cd "$(dirname "$0")/../.."

minutes=10 warmup=2 seed=1 clients=4 port=18600 server=
while [ $# -gt 0 ]; do
    case $1 in
        --short) minutes=2.5 warmup=0.5; shift ;;
        --minutes) minutes=$2; shift 2 ;;
        --warmup) warmup=$2; shift 2 ;;
        --seed) seed=$2; shift 2 ;;
        --clients) clients=$2; shift 2 ;;
        --port) port=$2; shift 2 ;;
        --server) server=$2; shift 2 ;;
        *) echo "usage: $0 [--short] [--minutes M] [--warmup W] [--seed S] [--clients N] [--port P] [--server PATH]" >&2
           exit 2 ;;
    esac
done

scripts/setup.sh
if [ -z "$server" ]; then
    # shellcheck source=scripts/buildenv.sh
    source scripts/buildenv.sh
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBISNAP_BUILD_TESTS=OFF >/dev/null
    cmake --build build-release --parallel 2 --target vendor-server >/dev/null
    server=build-release/server/vendor-server
fi

work=$(mktemp -d /var/tmp/orbisnap-soak.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Two releases, 40 small files each with 10 changed, and one 200 KiB file whose bytes, ranges
# included, are checked; product info, an ad and a dashboard token, so every call has its answer.
python3 - "$work" <<'PY'
import json, os, random, sys
work = sys.argv[1]
rng = random.Random(7)
for version in ("1.0.3", "1.0.4"):
    base = os.path.join(work, "releases", version, "bin")
    os.makedirs(base)
    for i in range(1, 41):
        with open(os.path.join(base, f"f{i:02d}.dll"), "w") as f:
            f.write(f"file {i} of {version}\n" if version == "1.0.4" and i <= 10 else f"file {i}\n")
    with open(os.path.join(base, "big.bin"), "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(200 * 1024)) + version.encode())
with open(os.path.join(work, "releases", "product-info.json"), "w") as f:
    json.dump({"*": {"name": "Orbisnap", "notes": "soak"}}, f)
with open(os.path.join(work, "releases", "ad.json"), "w") as f:
    json.dump({"ads": [{"text": "soak"}]}, f)
with open(os.path.join(work, "token"), "w") as f:
    f.write("soak-dashboard-token-0123456789\n")
PY

python3 tests/soak/soak.py --server "$server" --work "$work" --port "$port" --minutes "$minutes" \
    --warmup "$warmup" --seed "$seed" --clients "$clients"
