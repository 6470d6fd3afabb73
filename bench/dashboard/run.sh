#!/usr/bin/env bash
# bench/dashboard/run.sh [REPORTS] [INSTALLATIONS] [RUNS] [--postgresql-only | --sqlite-only]
#
# The dashboard at a large vendor's size (default 50,000,000 reports from 10,000,000
# installations over 90 days): generates the data straight in the store's schema (no data is
# kept in the repository), in SQLite and in a PostgreSQL of the benchmark's own, then times the
# figures, the page and the JSON (bench_dashboard --bulk), RUNS times each (default 7), and
# prints the figures. Needs a few GiB free in /var/tmp per database.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=bench/serve.sh
source bench/serve.sh
build=${ORBISNAP_BUILD_DIR:-build}
reports=${1:-50000000}
installations=${2:-10000000}
runs=${3:-7}
which=${4:-}

bench_work dashboard
echo "== $reports reports from $installations installations, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$which" != --postgresql-only ]; then
    echo "-- SQLite"
    "$build/bench/dashboard/bench_dashboard" "$reports" "$installations" "$runs" --bulk --keep "$work/sqlite"
fi
if [ "$which" != --sqlite-only ]; then
    echo "-- PostgreSQL"
    start_postgres "$work/pg"
    trap 'stop_postgres; bench_cleanup' EXIT
    "$pgbin/createdb" -h 127.0.0.1 -p "$pgport" -U orbisnap reports
    mkdir -p "$work/pgsecret"
    "$build/bench/dashboard/bench_dashboard" "$reports" "$installations" "$runs" --bulk --keep "$work/pgsecret" \
        --reports "postgresql://orbisnap@127.0.0.1:$pgport/reports"
fi
