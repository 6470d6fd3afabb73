#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
#   scripts/setup.sh             the Linux build, tests, demo and benchmarks
#   scripts/setup.sh --windows   also the MinGW-w64 compiler and wine for the Windows checks
#                                (the Windows Qt and libsodium come from the Windows SDK, see
#                                README)
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev libjsoncpp-dev libcpp-httplib-dev libssl-dev libsodium-dev libsqlite3-dev
    curl nginx-light xvfb xauth time ccache apache2-utils
    libzstd-dev libdivsufsort-dev zstd bsdiff
    libpq-dev postgresql  # reports shared by several servers; its tests start a PostgreSQL of their own
    libcurl4-openssl-dev  # the download pass
    tinyproxy  # the proxy tests start their own, on loopback
    squid  # the NTLM proxy test starts its own
    winbind  # its ntlm_auth checks the NTLM answers behind that squid (its daemon is not needed)
    chromium  # the dashboard test opens the page in it, headless (big: installed without recommends)
    python3   # the soak test's clients (tests/soak)
)
if [ "${1:-}" = "--windows" ]; then
    packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
        qt6-base-dev-tools python3)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    sudo=sudo
else
    sudo=
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
