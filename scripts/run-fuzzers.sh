#!/usr/bin/env bash
# Runs every fuzz target of a build folder for a fixed time, each from its working corpus in the build
# folder (where new inputs are kept) and its committed seeds under tests/fuzz/corpus (only read). A
# finding (crash, failed check, leak, hang of more than 10 s, memory over the limit) fails the run, with
# the input printed in hex; the other targets still run.
# Usage: scripts/run-fuzzers.sh BUILD_FOLDER SECONDS_PER_TARGET
set -euo pipefail
# Absolute paths: a target may change its working folder.
build=$(cd "$1" && pwd)
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)

# The archive and settings targets write files for every input: memory is far faster than a disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

shopt -s nullglob
fuzzers=("$build"/*_fuzz)
if [ ${#fuzzers[@]} -eq 0 ]; then
    echo "run-fuzzers: no fuzz targets in $build" >&2
    exit 1
fi

failed=()
for fuzzer in "${fuzzers[@]}"; do
    name=$(basename "$fuzzer")
    corpus="$build/corpus/$name"
    findings="$build/findings/$name"
    log="$build/$name.log"
    seeds=()
    if [ -d "$root/tests/fuzz/corpus/$name" ]; then
        seeds=("$root/tests/fuzz/corpus/$name")
    fi
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings"
    if "$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "$name: ${runs:-?} inputs in ${seconds} s, no finding"
    else
        failed+=("$name")
        echo "$name: FINDING (log $log); its last lines:"
        tail -n 40 "$log"
        for input in "$findings"/*; do
            echo "$name: input $(basename "$input") ($(stat -c %s "$input") bytes) in hex:"
            od -An -tx1 -v "$input"
        done
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "run-fuzzers: findings in ${failed[*]}" >&2
    exit 1
fi
