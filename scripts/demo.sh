#!/usr/bin/env bash
# The demo: one update of an installation of release 1.0.3 to release 1.0.4, end to end, and
# the vendor's dashboard of the usage reports the installation sends before and after it.
#   scripts/demo.sh          headless: the host starts the updater in mode 1 and ends
#   scripts/demo.sh --gui    mode 2, with the progress window (needs a display)
# Everything happens in a fresh temporary directory with its own TMPDIR; nothing outside it is
# touched, and the vendor server is stopped at the end (run from a terminal, the demo keeps it
# running for the dashboard until Enter is pressed).
#
# The demo takes the verified road: it keeps a release key of its own in build-demo/ (made once
# with orbisnap-release keygen), builds the host and the updater in build-demo/ trusting that
# key, and signs the releases after making them, as a vendor does after each publish.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
# shellcheck source=scripts/sample.sh
source scripts/sample.sh

mode=1
if [ "${1:-}" = "--gui" ]; then
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "demo: --gui needs a display (DISPLAY or WAYLAND_DISPLAY is not set)" >&2
        exit 2
    fi
    mode=2
elif [ -n "${1:-}" ]; then
    echo "usage: scripts/demo.sh [--gui]" >&2
    exit 2
fi

scripts/setup.sh
# shellcheck source=scripts/buildenv.sh
source scripts/buildenv.sh
# The release tool comes from the plain build; the key it makes is the demo's own.
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --parallel "$(nproc)" --target orbisnap-release
release_tool=$top/build/release/orbisnap-release.exe
mkdir -p build-demo
demo_secret=$top/build-demo/demo-release.secret
if [ ! -f "$demo_secret" ]; then
    "$release_tool" keygen --secret "$demo_secret" >build-demo/demo-release.public
fi
demo_public=$(cat build-demo/demo-release.public)
cmake -S . -B build-demo -G Ninja -DORBISNAP_BUILD_TESTS=OFF -DORBISNAP_RELEASE_PUBLIC_KEYS="$demo_public" >/dev/null
cmake --build build-demo --parallel "$(nproc)" --target RevisionPusher Host vendor-server

# The address the programs were built to reach; the server listens there by default.
base_url=$(sed -n 's/.*ServerBaseUrl\[\] = "\(.*\)";/\1/p' build-demo/ConnectToServer/serverconfig.h)

root=$(mktemp -d "${TMPDIR:-/tmp}/orbisnap-demo.XXXXXX")
server_pid=
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -INT "$server_pid"
        wait "$server_pid" || true
    fi
}
trap cleanup EXIT
mkdir -p "$root/tmp"
export TMPDIR=$root/tmp

say() { printf '\n== %s\n' "$*"; }

say "Making releases 1.0.3 and 1.0.4 in $root/releases"
sample_releases "$root/releases"
for version in 1.0.3 1.0.4; do
    cp build-demo/examples/host/Host.exe build-demo/app/RevisionPusher.exe "$root/releases/$version/"
done

say "Signing the releases with the demo key $demo_public"
"$release_tool" sign --releases "$root/releases" --secret "$demo_secret" --base "$base_url/releases"
"$release_tool" verify --releases "$root/releases" --public "$demo_public"
echo "The signed answer an installation of 1.0.3 gets:"
cat "$root/releases/signed/1.0.3.json"
echo

say "Installing 1.0.3 in $root/install"
cp -a "$root/releases/1.0.3" "$root/install"
(cd "$root/install" && find . -type f | sort) >"$root/before.txt"

say "Starting vendor-server at $base_url"
# The dashboard's token: random, readable by its owner only.
(umask 077 && head -c 24 /dev/urandom | base64 | tr '+/' '-_' >"$root/dashboard.token")
build-demo/server/vendor-server --releases "$root/releases" --reports "$root/reports.sqlite" \
    --dashboard-token "$root/dashboard.token" >"$root/server.log" 2>&1 &
server_pid=$!
wait_for_server "$base_url/" "$server_pid" "$root/server.log"

say "Usage reports from 1.0.3: Host.exe report STATE, as two users"
USER=ann "$root/install/Host.exe" report 1
USER=ann "$root/install/Host.exe" report 2
USER=bob "$root/install/Host.exe" report 1

say "Host.exe check $mode"
"$root/install/Host.exe" check "$mode"

say "Waiting for the updater"
# In mode 2 the updater ends when its final message has been closed.
wait_tenths=300
[ "$mode" = 2 ] && wait_tenths=3000
for _ in $(seq "$wait_tenths"); do
    pgrep -f "$root/install/RevisionPusher.exe" >/dev/null || break
    sleep 0.1
done
if pgrep -f "$root/install/RevisionPusher.exe" >/dev/null; then
    echo "demo: the updater is still running after $((wait_tenths / 10)) s" >&2
    exit 1
fi

say "What changed in the installation"
(cd "$root/install" && find . -type f | sort) >"$root/after.txt"
diff "$root/before.txt" "$root/after.txt" | sed -n 's/^< /removed: /p; s/^> /added:   /p' || true
for file in $(cat "$root/before.txt" "$root/after.txt" | sort -u); do
    if [ -f "$root/releases/1.0.3/$file" ] && [ -f "$root/install/$file" ] \
        && ! cmp -s "$root/releases/1.0.3/$file" "$root/install/$file"; then
        echo "changed: $file"
    fi
done

say "Server access log"
cat "$root/server.log"

say "Checking the installation against release 1.0.4, file by file"
if diff -r "$root/releases/1.0.4" "$root/install"; then
    echo "OK: the installation equals release 1.0.4"
else
    echo "FAILED: the installation differs from release 1.0.4" >&2
    exit 1
fi

say "Usage reports from 1.0.4"
USER=ann "$root/install/Host.exe" report 1
USER=ann "$root/install/Host.exe" report 3

say "The dashboard"
token=$(cat "$root/dashboard.token")
figures=$(curl -fsS -H "Authorization: Bearer $token" "$base_url/dashboard.json")
echo "$figures" | grep -o '"newestShare":{[^}]*}' || true
echo "$figures" | grep -o '"totals":{[^}]*}' || true
if ! echo "$figures" | grep -q '"reports":5,'; then
    echo "FAILED: the dashboard does not count the 5 reports sent" >&2
    exit 1
fi
status=$(curl -s -o /dev/null -w '%{http_code}' "$base_url/dashboard")
if [ "$status" != 401 ]; then
    echo "FAILED: the dashboard answered $status without its token, not its sign-in page" >&2
    exit 1
fi
# What a browser does: the sign-in form's POST gives a session cookie, the page then shows.
status=$(curl -s -o /dev/null -w '%{http_code}' -c "$root/cookies.txt" --data-urlencode "token=$token" \
    "$base_url/dashboard/sign-in")
page=$(curl -fsS -b "$root/cookies.txt" "$base_url/dashboard")
if [ "$status" != 303 ] || [[ $page != *'id="sign-out"'* ]]; then
    echo "FAILED: signing in with the token gave $status and no dashboard" >&2
    exit 1
fi
echo "OK: the dashboard counts every report; without its token it asks to sign in, and the token signs in"
echo
echo "Dashboard: open $base_url/dashboard in a browser and sign in with the token"
echo "Token:     $token"
echo "JSON:      curl -H \"Authorization: Bearer $token\" $base_url/dashboard.json"
if [ -t 0 ]; then
    read -r -p "vendor-server keeps running for the dashboard; press Enter to stop it. "
fi
