# What the demo and the Windows checks share, sourced by both.

# sample_releases ROOT: besides the programs, which the caller puts in, releases ROOT/1.0.3 and
# ROOT/1.0.4 of the sample host get their version and readme, and data where 1.0.4 changes one
# file, drops one and adds one.
sample_releases() {
    local root=$1 version
    for version in 1.0.3 1.0.4; do
        mkdir -p "$root/$version/data"
        printf '%s\n' "$version" >"$root/$version/version.txt"
        printf 'Orbisnap sample host, release %s\n' "$version" >"$root/$version/readme.txt"
    done
    printf 'core data of 1.0.3\n' >"$root/1.0.3/data/core.dat"
    printf 'a file that 1.0.4 no longer has\n' >"$root/1.0.3/legacy.dll"
    mkdir -p "$root/1.0.4/plugins"
    printf 'core data of 1.0.4, changed\n' >"$root/1.0.4/data/core.dat"
    printf 'a plugin that is new in 1.0.4\n' >"$root/1.0.4/plugins/new.dll"
}

# wait_for_server URL PID LOG: waits (at most 10 s) until the server started as PID answers at
# URL; fails, showing LOG, when it ends or does not answer.
wait_for_server() {
    local url=$1 pid=$2 log=$3
    for _ in $(seq 100); do
        curl -s -o /dev/null "$url" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$log" >&2
    echo "the server at $url did not start" >&2
    return 1
}
