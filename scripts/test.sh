#!/usr/bin/env bash
# Sets up, builds and runs every test.
#   scripts/test.sh              plain build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/
#                                (and the keyed tests in build-sanitize-keyed/)
#   ORBISNAP_PROXIED_PORT=18481  the port of the proxied tests' server address (default 18480)
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
build=build
if [ "${1:-}" = "--sanitize" ]; then
    sanitize=ON
    build=build-sanitize
fi

scripts/setup.sh
# shellcheck source=scripts/buildenv.sh
source scripts/buildenv.sh
cmake -S . -B "$build" -G Ninja -DORBISNAP_SANITIZE="$sanitize" -DORBISNAP_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"

if [ "$sanitize" = ON ]; then
    # Any report fails the test that produced it; leaks inside Qt's own start-up are listed in
    # the suppressions file, with the reason for each.
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
fi
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"

# labelled LABEL CMAKE_OPTION...: builds $build-LABEL with the options and only the tests
# labelled LABEL (and what they start), and runs them.
labelled() {
    local label=$1
    shift
    cmake -S . -B "$build-$label" -G Ninja -DORBISNAP_SANITIZE="$sanitize" -DORBISNAP_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$build-$label" --parallel "$(nproc)" --target "${label}_tests"
    ctest --test-dir "$build-$label" --output-on-failure --parallel "$(nproc)" -L "$label"
}

# Again, for the tests labelled "keyed", in a build that trusts the fixed test release key:
# there the update check verifies every answer and the end-to-end road runs signed.
labelled keyed -DORBISNAP_RELEASE_PUBLIC_KEYS="$(cat tests/keys/release-test.public)"

# Again, for the tests labelled "roles", in a build that trusts the fixed test root key: there
# every answer is checked by roles (key documents, release-signed manifests, online signature).
# That is one end-to-end run of whole processes, whose parsing of hostile documents the plain
# build's tests already put under the sanitizers; it runs in the plain build only.
if [ "$sanitize" = ON ]; then
    exit 0
fi
labelled roles -DORBISNAP_ROOT_KEYS="$(cat tests/keys/root-test.public)"

# Again, for the tests labelled "proxied", in a build whose compiled-in server address names this
# machine by its host name: a loopback literal never goes through a proxy, the name does. The
# test servers listen on whatever address the name resolves to. Only what those tests start is
# built.
name=$(hostname)
if ! getent hosts "$name" >/dev/null; then
    echo "proxied tests skipped: this machine's host name $name does not resolve"
    exit 0
fi
labelled proxied -DORBISNAP_SERVER_BASE_URL="http://$name:${ORBISNAP_PROXIED_PORT:-18480}"
