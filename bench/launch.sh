#!/bin/bash
# Launch benchmark (not a test): times the host trustrun starting /bin/true
# against `setsid -f /bin/true` (fork, new session, exec, no waiting) and a
# bare posix_spawn of /bin/true without waiting, then compares peak memory.
#   bench/launch.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-2000}

scripts/install-deps hyperfine time >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host --target trustrun bench_spawn >/dev/null

trustrun=build/host/trustrun
spawn=build/host/bench/bench_spawn
csv=$(mktemp)
trap 'rm -f "$csv"' EXIT

hyperfine --shell=none --warmup 100 --runs "$runs" --export-csv "$csv" \
    "$trustrun n /bin/true" "setsid -f /bin/true" "$spawn /bin/true"

# Median of each command, in the order given above.
mapfile -t median < <(awk -F, 'NR > 1 { print $4 }' "$csv")
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
trustrun_kb=$(peak "$trustrun" n /bin/true)
setsid_kb=$(peak setsid -f /bin/true)
spawn_kb=$(peak "$spawn" /bin/true)

awk -v t="${median[0]}" -v s="${median[1]}" -v b="${median[2]}" \
    -v tk="$trustrun_kb" -v sk="$setsid_kb" -v bk="$spawn_kb" 'BEGIN {
    printf "\n%-24s %12s %14s\n", "command", "median (ms)", "peak RSS (KB)"
    printf "%-24s %12.3f %14d\n", "trustrun n /bin/true", t * 1000, tk
    printf "%-24s %12.3f %14d\n", "setsid -f /bin/true", s * 1000, sk
    printf "%-24s %12.3f %14d\n", "posix_spawn, no wait", b * 1000, bk
    printf "\ntrustrun / setsid -f:  %.2f times the time (goal: at most 1.25)\n", t / s
    printf "trustrun / bare spawn: %.2f times the time\n", t / b
    printf "peak memory, trustrun - setsid -f: %+d KB (goal: no more)\n", tk - sk
}'
