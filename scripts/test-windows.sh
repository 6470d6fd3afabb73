#!/usr/bin/env bash
# The Windows checks, built with MinGW-w64 and run under wine:
#   1. every product source built for Windows against the Qt 6 of the Windows SDK, warnings as
#      errors (RevisionPusher.exe, Host.exe, the host library, the platform layer's tests)
#   2. the platform layer's tests under wine: a running .exe, a loaded DLL, a holder that lets
#      go after a moment, a non-ASCII directory, paths beyond 260 characters; and the signature
#      check's, whose verifier is libsodium as on Linux (the Windows SDK's, linked statically)
#   3. the update run end to end under wine against the Linux vendor-server on loopback, built
#      trusting the test release key: unsigned answers are refused (nothing fetched), then,
#      with the releases signed, an installation and a TMP folder with non-ASCII names, mode 0
#      (fetch only), then mode 1
#      (install once the host has ended) of a release that changes DLLs and a plugin the
#      updater itself has loaded, packed (orbisnap-release pack) so that the changed DLLs come
#      as patches and the new files as compressed copies; the installation must equal the
#      release file for file, and a later run removes what was still held, leaving nothing
#      behind
#   4. the same update signed by roles: Host.exe and the updater built trusting the test root
#      key alone (build-win-roles), key documents and manifests made with orbisnap-release,
#      vendor-server signing answers with its online key; mode 1 must install the release and
#      keep the accepted key document in the user's local data folder
#   5. the start check under wine, the channel asking for it ("health" in channels.json): release
#      1.0.5, whose Host.exe cannot start (its version.txt is gone), is installed over 1.0.4 in
#      mode 1 and returned from, leaving 1.0.4 byte for byte; the next check does not take
#      1.0.5 again and reports the return; release 1.0.6 passes its check and is kept, a normal
#      start confirms it and removes the previous version, and the next check reports that
#   6. the same update through the proxy of the user's Internet Settings: a tinyproxy on
#      loopback set in the wine prefix's registry, the server reached by this machine's host
#      name (a loopback address never goes through a proxy; the name does), Host.exe and the
#      updater built for that name (build-win-proxy); the update check and every file of mode 1
#      must show in the proxy's log, and the setting is removed again
#
# The Windows SDK (Qt 6 and jsoncpp built for MinGW) is looked for in ../shared/windows-sdk
# beside the project, or where ORBISNAP_WINDOWS_SDK says. Without it only the Qt-free platform
# layer is compiled for Windows, and the rest is skipped with one line saying so.
#
#   scripts/test-windows.sh          builds in build-win/ (and build/ for vendor-server)
#   ORBISNAP_WINDOWS_PORT=18483      the loopback port of the end-to-end run (default 18480)
#   ORBISNAP_KEEP_WINDOWS_RUN=1      keep the releases, installation and logs of the run
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
# shellcheck source=scripts/sample.sh
source scripts/sample.sh
sdk=${ORBISNAP_WINDOWS_SDK:-$top/../shared/windows-sdk}
port=${ORBISNAP_WINDOWS_PORT:-18480}
jobs=${ORBISNAP_JOBS:-2}

scripts/setup.sh --windows

say() { printf '\n== %s\n' "$*"; }
fail() {
    echo "test-windows: FAILED: $*" >&2
    exit 1
}

if [ ! -f "$sdk/toolchain-mingw64.cmake" ]; then
    say "Compiling the platform layer for Windows (no Qt needed)"
    out=$(mktemp -d)
    for source in platform/fileops.cpp platform/fileops_win.cpp; do
        x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -Iplatform -c "$source" \
            -o "$out/$(basename "$source").o"
    done
    rm -rf "$out"
    echo "test-windows: no Windows SDK at $sdk: the Windows build and the runs under wine are skipped"
    exit 0
fi

# shellcheck source=scripts/buildenv.sh
source scripts/buildenv.sh

say "Building for Windows in build-win (warnings are errors)"
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$sdk/toolchain-mingw64.cmake" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DORBISNAP_SERVER_BASE_URL="http://127.0.0.1:$port" \
    -DORBISNAP_RELEASE_PUBLIC_KEYS="$(cat tests/keys/release-test.public)" >/dev/null
cmake --build build-win --parallel "$jobs"

say "Building vendor-server and orbisnap-release (Linux) in build"
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -G Ninja >/dev/null
fi
cmake --build build --parallel "$jobs" --target vendor-server orbisnap-release

export LANG=C.UTF-8 WINEDEBUG=-all WINEARCH=win64
export WINEPREFIX=$top/build-win/wineprefix
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "Making the wine prefix"
    wineboot -i >/dev/null 2>&1
fi
win() { winepath -w "$1" 2>/dev/null; }

# The user's proxy setting of Internet Settings: the values the control panel writes, ProxyEnable
# and ProxyServer, and the binary DefaultConnectionSettings beside them, the one WinHTTP (and so
# Qt) reads (wine's WinHTTP reads nothing else): its header (0x46, a counter, the flags: 2 a proxy
# is named, 1 direct access is allowed), then the lengths and texts of the proxy, the bypass list
# (ProxyOverride beside it) and the configuration script (none).
internet_settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
set_system_proxy() { # HOST:PORT [BYPASS]
    local settings
    settings=$(python3 -c 'import struct, sys
proxy, bypass = sys.argv[1].encode(), sys.argv[2].encode()
print((struct.pack("<IIII", 0x46, 1, 3, len(proxy)) + proxy + struct.pack("<I", len(bypass)) + bypass
       + struct.pack("<I", 0) + bytes(32)).hex())' "$1" "${2:-}")
    wine reg add "$internet_settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
    wine reg add "$internet_settings" /v ProxyServer /t REG_SZ /d "$1" /f >/dev/null
    if [ -n "${2:-}" ]; then
        wine reg add "$internet_settings" /v ProxyOverride /t REG_SZ /d "$2" /f >/dev/null
    fi
    wine reg add "$internet_settings\Connections" /v DefaultConnectionSettings /t REG_BINARY /d "$settings" /f >/dev/null
}
unset_system_proxy() {
    wine reg delete "$internet_settings" /v ProxyEnable /f >/dev/null 2>&1 || true
    wine reg delete "$internet_settings" /v ProxyServer /f >/dev/null 2>&1 || true
    wine reg delete "$internet_settings" /v ProxyOverride /f >/dev/null 2>&1 || true
    wine reg delete "$internet_settings\Connections" /v DefaultConnectionSettings /f >/dev/null 2>&1 || true
}

root=$(mktemp -d "${TMPDIR:-/tmp}/orbisnap-windows.XXXXXX")
server_pid=
proxy_pid=
cleanup() {
    wine reg delete 'HKCU\Environment' /v TEMP /f >/dev/null 2>&1 || true
    wine reg delete 'HKCU\Environment' /v TMP /f >/dev/null 2>&1 || true
    unset_system_proxy
    if [ -n "$proxy_pid" ] && kill -0 "$proxy_pid" 2>/dev/null; then
        kill "$proxy_pid"
        wait "$proxy_pid" || true
    fi
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -INT "$server_pid"
        wait "$server_pid" || true
    fi
    if [ -n "${ORBISNAP_KEEP_WINDOWS_RUN:-}" ]; then
        echo "test-windows: kept $root"
    else
        rm -rf "$root"
    fi
}
trap cleanup EXIT

# The per-user temporary folder, with non-ASCII letters, as Windows programs see it (wine takes
# TEMP and TMP from the registry, not from the environment).
temp="$root/Temp José 张三"
mkdir -p "$temp"
wine reg add 'HKCU\Environment' /v TEMP /d "$(win "$temp")" /f >/dev/null
wine reg add 'HKCU\Environment' /v TMP /d "$(win "$temp")" /f >/dev/null
work=$temp/My.Host

for test in platform/tst_fileops signature/tst_answersignature; do
    say "$(basename "$test") under wine"
    report=$root/$(basename "$test").txt
    status=0
    (cd "build-win/tests/$(dirname "$test")" && WINEPATH="$(win "$sdk/bin")" \
        wine "$(basename "$test").exe" -o "$(win "$report"),txt") || status=$?
    grep -v '^PASS' "$report" || true
    [ "$status" -eq 0 ] || fail "$test under wine"
done

say "Releases 1.0.3 and 1.0.4 with the Windows programs and their DLLs"
host_exe=My.Host.exe
sample_releases "$root/releases"
for version in 1.0.3 1.0.4; do
    dir=$root/releases/$version
    # A host name with dots: Windows' application name would be cut at the first one.
    cp build-win/examples/host/Host.exe "$dir/$host_exe"
    cp build-win/app/RevisionPusher.exe "$dir/"
    "$sdk/deploy.sh" "$dir" >/dev/null
done
mkdir -p "$root/releases/1.0.4/données"
printf 'a file under a non-ASCII name\n' >"$root/releases/1.0.4/données/张三.txt"
# A new file big enough that its compressed copy is worth fetching instead.
cp "$root/releases/1.0.4/Qt6Network.dll" "$root/releases/1.0.4/données/réseau.dll"
# DLLs and a plugin the running updater has loaded change (bytes after the image load alike).
for held in Qt6Network.dll Qt6Core.dll libstdc++-6.dll platforms/qwindows.dll; do
    [ -f "$root/releases/1.0.4/$held" ] || fail "the release has no $held to change"
    printf 'release 1.0.4\n' >>"$root/releases/1.0.4/$held"
done

install="$root/Programs/Orbisnap Hôst"
mkdir -p "$root/Programs"
cp -a "$root/releases/1.0.3" "$install"

start_server() {
    build/server/vendor-server --releases "$root/releases" --reports "$root/reports.jsonl" --host 127.0.0.1 \
        --port "$port" --public-base "http://127.0.0.1:$port/releases" >>"$root/server.log" 2>&1 &
    server_pid=$!
    wait_for_server "http://127.0.0.1:$port/" "$server_pid" "$root/server.log" || fail "vendor-server did not start"
}
stop_server() {
    kill -INT "$server_pid"
    wait "$server_pid" || true
    server_pid=
}

run_host() { # answers the host's exit status
    local status=0
    # The host's debug messages to stderr rather than the debugger channel, for the log (wine
    # hands WINEQT_... to the program as QT_...).
    (cd "$install" && WINEQT_FORCE_STDERR_LOGGING=1 wine "$host_exe" "$@") 2>&1 | tr -d '\r' \
        | tee -a "$root/host.log" || status=$?
    # The updater runs detached: wait for every program of the prefix to end.
    timeout 120 wineserver -w || fail "the updater did not end within 120 s"
    return "$status"
}

say "Unsigned answers: Host.exe check 0 against a server whose releases are not signed"
start_server
status=0
run_host check 0 --stay 2 || status=$?
[ "$status" -ne 0 ] || fail "Host.exe took an unsigned answer"
grep -q 'update check refused: .*the answer is not signed' "$root/host.log" \
    || fail "the unsigned answer was not refused with its reason"
[ ! -e "$work/version_diff.txt" ] || fail "an unsigned answer led to $work/version_diff.txt"
diff -r "$root/releases/1.0.3" "$install" || fail "an unsigned answer changed the installation"
echo "OK: refused, nothing fetched"
stop_server

say "Packing the releases: patches from 1.0.3, compressed copies of 1.0.4"
build/release/orbisnap-release.exe pack --releases "$root/releases"

say "Signing the releases with the test key; vendor-server on port $port"
build/release/orbisnap-release.exe sign --releases "$root/releases" --secret tests/keys/release-test.secret \
    --base "http://127.0.0.1:$port/releases"
start_server

say "Mode 0: Host.exe check 0 (the updater fetches, installs nothing)"
run_host check 0 --stay 2
diff -r "$root/releases/1.0.3" "$install" || fail "mode 0 changed the installation"
[ -f "$work/version_diff.txt" ] || fail "mode 0 left no version_diff.txt in $work"
if grep -Eq '^[01] \[(Changed|Add)\]' "$work/version_diff.txt"; then
    fail "mode 0 left entries not downloaded: $(cat "$work/version_diff.txt")"
fi
[ -f "$work/données/张三.txt" ] || fail "mode 0 did not fetch données/张三.txt into $work"
echo "OK: fetched into $work, installation untouched"
# The changed DLLs came as patches applied under wine, the larger new files as compressed copies,
# and none of the patched files whole.
grep -Eq '"GET /releases/objects/[0-9a-f]{64}-[0-9a-f]{64}\.patch HTTP/1\.1" 200' "$root/server.log" \
    || fail "no patch was fetched"
grep -Eq '"GET /releases/objects/[0-9a-f]{64}\.zst HTTP/1\.1" 200' "$root/server.log" \
    || fail "no compressed copy was fetched"
for held in Qt6Network.dll Qt6Core.dll libstdc++-6.dll platforms/qwindows.dll; do
    if grep -q "\"GET /releases/1.0.4/$held " "$root/server.log"; then
        fail "$held was fetched whole, not patched"
    fi
done
if grep -q 'not used: ' "$root/host.log"; then
    fail "a way fell back: $(grep 'not used: ' "$root/host.log")"
fi
echo "OK: patches and compressed copies fetched and applied, no changed DLL fetched whole"

say "Mode 1: Host.exe check 1 (the updater waits for the host, then installs)"
run_host check 1
echo "-- files beside the release's:"
differences=$(diff -r "$root/releases/1.0.4" "$install" | grep -v '^Only in .*: \.' || true)
[ -z "$differences" ] || fail "mode 1 did not install release 1.0.4: $differences"
echo "OK: the installation equals release 1.0.4, apart from held files left for a later run"

say "A later updater run removes what the first one still held"
(cd "$install" && WINEQT_DEBUG_PLUGINS=1 wine RevisionPusher.exe "$host_exe" 1) 2>&1 | tr -d '\r' \
    | tee -a "$root/host.log" | grep -v '^qt\.core\.\|^ \|^$\|^[{}]' || true
timeout 120 wineserver -w || fail "the updater did not end within 120 s"
# Windows has its own display: the updater never falls back to the offscreen platform there.
grep -q 'platforms/qwindows.dll" loaded library' "$root/host.log" \
    || fail "the updater did not start on the windows platform plugin"
diff -r "$root/releases/1.0.4" "$install" || fail "leftovers in the installation"
# Wine keeps the Windows attributes in an extended attribute; nothing installed may be hidden.
hidden=$(python3 - "$install" <<'PY'
import os, sys
for folder, _, files in os.walk(sys.argv[1]):
    for name in files:
        path = os.path.join(folder, name)
        try:
            attributes = int(os.getxattr(path, "user.DOSATTRIB").split(b"\0")[0], 16)
        except OSError:
            continue
        if attributes & 0x2:
            print(path)
PY
)
[ -z "$hidden" ] || fail "installed files carry the hidden attribute: $hidden"
leftovers=$(find "$work" -mindepth 1 ! -name '*.lock' 2>/dev/null || true)
[ -z "$leftovers" ] || fail "leftovers in the working directory: $leftovers"
echo "OK: the installation equals release 1.0.4 file by file, nothing left behind"

# variant_releases BUILD FOLDER CMAKE_OPTION...: Host.exe and the updater built in BUILD with the
# options, and releases 1.0.3 and 1.0.4 carrying them in FOLDER/releases (FOLDER/Programs made
# for the installation).
variant_releases() {
    local build=$1 folder=$2 version
    shift 2
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$sdk/toolchain-mingw64.cmake" \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DORBISNAP_BUILD_TESTS=OFF "$@" >/dev/null
    cmake --build "$build" --parallel "$jobs" --target Host RevisionPusher
    mkdir -p "$folder/releases" "$folder/Programs"
    for version in 1.0.3 1.0.4; do
        cp -a "$root/releases/$version" "$folder/releases/$version"
        cp "$build/examples/host/Host.exe" "$folder/releases/$version/$host_exe"
        cp "$build/app/RevisionPusher.exe" "$folder/releases/$version/"
    done
}

say "Signing by roles: Host.exe and the updater built trusting the test root key alone"
stop_server
roles=$root/roles
variant_releases build-win-roles "$roles" -DORBISNAP_SERVER_BASE_URL="http://127.0.0.1:$port" \
    -DORBISNAP_ROOT_KEYS="$(cat tests/keys/root-test.public)"
# The host keeps the newest key document it accepted and refuses any other of the same version;
# each run makes new role keys, so an earlier run's document must not stand in the way.
find "$WINEPREFIX/drive_c/users" -path "*/Orbisnap/$host_exe/keys.json" -delete 2>/dev/null || true
tool=build/release/orbisnap-release.exe
for key in release online; do
    "$tool" keygen --secret "$roles/$key.secret" >"$roles/$key.public"
done
"$tool" keys --releases "$roles/releases" --root-secret tests/keys/root-test.secret \
    --release "$(cat "$roles/release.public")" --online "$(cat "$roles/online.public")"
"$tool" sign --releases "$roles/releases" --secret "$roles/release.secret"
build/server/vendor-server --releases "$roles/releases" --reports "$roles/reports.sqlite" --host 127.0.0.1 \
    --port "$port" --public-base "http://127.0.0.1:$port/releases" --online-secret "$roles/online.secret" \
    --online-expires-in 1h >>"$root/server.log" 2>&1 &
server_pid=$!
wait_for_server "http://127.0.0.1:$port/" "$server_pid" "$root/server.log" || fail "vendor-server did not start"
install="$roles/Programs/Orbisnap Hôst"
cp -a "$roles/releases/1.0.3" "$install"
run_host check 1
differences=$(diff -r "$roles/releases/1.0.4" "$install" | grep -v '^Only in .*: \.' || true)
[ -z "$differences" ] || fail "signed by roles, mode 1 did not install release 1.0.4: $differences"
kept=$(find "$WINEPREFIX/drive_c/users" -path "*/Orbisnap/$host_exe/keys.json" 2>/dev/null | head -1)
[ -n "$kept" ] || fail "the accepted key document was not kept in the local data folder"
echo "OK: answers checked by roles under wine; the installation equals release 1.0.4; key document kept in $kept"
stop_server

say "The start check: 1.0.5, whose host cannot start, is installed over 1.0.4 and returned from"
install="$root/Programs/Orbisnap Hôst"
releases=$root/releases
# Without version.txt Host.exe ends with exit code 2 at start-up, in the start check too.
cp -a "$releases/1.0.4" "$releases/1.0.5"
rm "$releases/1.0.5/version.txt"
printf 'core data of 1.0.5\n' >"$releases/1.0.5/data/core.dat"
mkdir -p "$releases/1.0.5/plugins/more"
printf 'a plugin that is new in 1.0.5\n' >"$releases/1.0.5/plugins/more/extra.dll"
publish_channel() { # VERSION: stable at VERSION with a start check, signed and served
    printf '{"stable": {"version": "%s", "health": {"timeout": 60, "starts": 3}}}\n' "$1" \
        >"$releases/channels.json"
    [ -z "$server_pid" ] || stop_server
    "$tool" sign --releases "$releases" --secret tests/keys/release-test.secret \
        --base "http://127.0.0.1:$port/releases"
    start_server
}
since() { tail -n "+$(($1 + 1))" "$root/host.log"; }
reports() { grep -c '"POST /prod/Orbisnap/useReport[^"]*" 200 ' "$root/server.log" || true; }
publish_channel 1.0.5
mark=$(wc -l <"$root/host.log")
run_host check 1
grep -q 'start check of v1.0.5 failed: exit code 2; returning to v1.0.4' <<<"$(since "$mark")" \
    || fail "the start check of 1.0.5 did not fail with exit code 2"
diff -r "$releases/1.0.4" "$install" || fail "the return did not leave release 1.0.4 byte for byte"
left=$(cd "$work" && find . -mindepth 1 ! -name '*.lock')
[ "$left" = ./returned.version ] || fail "the working directory holds besides returned.version: $left"
[ "$(cat "$work/returned.version")" = "v1.0.5 0" ] || fail "returned.version: $(cat "$work/returned.version")"
echo "OK: returned from 1.0.5, the installation equals release 1.0.4 byte for byte"

say "The next check does not take 1.0.5 again, and reports the return once"
before=$(reports)
mark=$(wc -l <"$root/host.log")
run_host check 0 --stay 0
grep -q 'update check: version "v1.0.5" was returned from; nothing newer offered' <<<"$(since "$mark")" \
    || fail "the check did not say that 1.0.5 was returned from"
[ ! -e "$work/version_diff.txt" ] || fail "the check took 1.0.5 again"
[ "$(cat "$work/returned.version")" = "v1.0.5 1" ] || fail "the return was not reported"
run_host check 0 --stay 0
[ "$(reports)" -eq $((before + 1)) ] || fail "$(($(reports) - before)) usage reports for one return"
diff -r "$releases/1.0.4" "$install" || fail "the checks changed the installation"
echo "OK: nothing newer offered while 1.0.5 is the newest, one usage report"

say "1.0.6 passes its start check and is kept; a normal start confirms it"
cp -a "$releases/1.0.4" "$releases/1.0.6"
printf '1.0.6\n' >"$releases/1.0.6/version.txt"
printf 'core data of 1.0.6\n' >"$releases/1.0.6/data/core.dat"
publish_channel 1.0.6
mark=$(wc -l <"$root/host.log")
run_host check 1
grep -q 'start check of v1.0.6 passed' <<<"$(since "$mark")" || fail "the start check of 1.0.6 did not pass"
diff -r "$releases/1.0.6" "$install" || fail "mode 1 did not install release 1.0.6"
[ -f "$work/previous.version" ] || fail "no previous version kept until 1.0.6 confirms"
run_host start
[ ! -e "$work/previous.version" ] && [ ! -e "$work/previous" ] \
    || fail "the confirming start left the previous version"
before=$(reports)
run_host check 0 --stay 0
run_host check 0 --stay 0
[ "$(cat "$work/confirmed.version")" = "v1.0.6 1" ] || fail "the confirmation was not reported"
[ "$(reports)" -eq $((before + 1)) ] || fail "$(($(reports) - before)) usage reports for one confirmation"
diff -r "$releases/1.0.6" "$install" || fail "the confirmed release changed"
echo "OK: 1.0.6 kept, its previous version removed at the confirming start, one usage report"
stop_server
# The host's records of the start check's return and confirmation would keep it from 1.0.4.
rm -f "$work/returned.version" "$work/confirmed.version"

say "Through the proxy of the Internet Settings: tinyproxy on loopback allowing CONNECT to 443 only, the server by a host name"
name=$(hostname)
if ! getent ahostsv4 "$name" | awk '{ print $1 }' | grep -qv '^127\.' && getent ahostsv4 "$name" >/dev/null; then
    proxied=$root/proxied
    variant_releases build-win-proxy "$proxied" -DORBISNAP_SERVER_BASE_URL="http://$name:$port" \
        -DORBISNAP_RELEASE_PUBLIC_KEYS="$(cat tests/keys/release-test.public)"
    build/release/orbisnap-release.exe sign --releases "$proxied/releases" --secret tests/keys/release-test.secret \
        --base "http://$name:$port/releases"
    build/server/vendor-server --releases "$proxied/releases" --reports "$proxied/reports.jsonl" --host 127.0.0.1 \
        --port "$port" --public-base "http://$name:$port/releases" >>"$root/server.log" 2>&1 &
    server_pid=$!
    wait_for_server "http://127.0.0.1:$port/" "$server_pid" "$root/server.log" || fail "vendor-server did not start"
    proxy_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    # As company proxies are set up: plain http must go as absolute-URI requests, not CONNECT.
    printf 'Port %s\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Connect\nLogFile "%s"\nConnectPort 443\n' \
        "$proxy_port" "$proxied/tinyproxy.log" >"$proxied/tinyproxy.conf"
    tinyproxy -d -c "$proxied/tinyproxy.conf" 2>>"$proxied/tinyproxy.log" &
    proxy_pid=$!
    for _ in $(seq 50); do
        curl -s -o /dev/null --proxy "http://127.0.0.1:$proxy_port" "http://$name:$port/" && break
        sleep 0.1
    done
    set_system_proxy "127.0.0.1:$proxy_port"
    : >"$proxied/tinyproxy.log"
    install="$proxied/Programs/Orbisnap Hôst"
    cp -a "$proxied/releases/1.0.3" "$install"
    run_host check 1
    # The same setting with the server's host name in its bypass list: straight to the server.
    cp "$proxied/tinyproxy.log" "$proxied/tinyproxy-update.log"
    set_system_proxy "127.0.0.1:$proxy_port" "$name"
    mark=$(wc -l <"$root/host.log")
    run_host check 0 --stay 0
    grep -q 'no newer version than 1.0.4' <<<"$(since "$mark")" || fail "the check with the bypass list did not run"
    cmp -s "$proxied/tinyproxy.log" "$proxied/tinyproxy-update.log" \
        || fail "a request for a host in the bypass list went through the proxy"
    unset_system_proxy
    kill "$proxy_pid"
    wait "$proxy_pid" || true
    proxy_pid=
    stop_server
    echo "-- tinyproxy's log:"
    grep -E 'Request|CONNECT|GET|POST' "$proxied/tinyproxy.log" || true
    differences=$(diff -r "$proxied/releases/1.0.4" "$install" | grep -v '^Only in .*: \.' || true)
    [ -z "$differences" ] || fail "through the proxy, mode 1 did not install release 1.0.4: $differences"
    grep -q "GET http://$name:$port/prod/.*/getVersionDiff" "$proxied/tinyproxy.log" \
        || fail "the update check did not go through the proxy"
    while IFS= read -r -d '' file; do
        relative=${file#"$proxied/releases/1.0.4/"}
        if ! cmp -s "$file" "$proxied/releases/1.0.3/$relative"; then
            encoded=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$relative")
            grep -Fq "GET http://$name:$port/releases/1.0.4/$encoded " "$proxied/tinyproxy.log" \
                || fail "1.0.4/$relative was not fetched through the proxy"
        fi
    done < <(find "$proxied/releases/1.0.4" -type f ! -path '*/.*' -print0)
    if wine reg query "$internet_settings\Connections" /v DefaultConnectionSettings >/dev/null 2>&1 \
        || wine reg query "$internet_settings" /v ProxyServer >/dev/null 2>&1; then
        fail "the proxy setting was not removed from the registry"
    fi
    echo "OK: the update check and every changed file of 1.0.4 went through the proxy the registry names," \
        "as absolute-URI requests; the installation equals release 1.0.4; a check for a host in the bypass" \
        "list went straight to the server; the setting is removed"
else
    echo "SKIPPED: this machine's host name $name does not resolve to loopback addresses only"
fi

say "Server access log"
cat "$root/server.log"
echo
echo "test-windows: all Windows checks passed"
