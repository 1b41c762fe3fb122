#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer into build-fuzz/, then runs each target for
# SECONDS (default 60) on one core, one after the other, starting from its
# seed corpus. Prints executions and crashes per target; exits 1 when any
# target crashed. New inputs and crash files stay in a temporary folder
# (kept when something crashed), never in the repository.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     e.g. scripts/fuzz.sh 600 elmframes
# FUZZ_RUNS=N runs each target for N executions instead of a time; with
# SECONDS also given (not 0), for whichever limit comes first.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
SECONDS_GIVEN=${1:-0}
shift || true
scripts/deps.sh --fuzz
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake -S . -B build-fuzz -DFIRE_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j"$(nproc)"

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for src in tests/fuzz/fuzz_*.cpp; do
        name=$(basename "$src" .cpp)
        targets+=("${name#fuzz_}")
    done
fi

# Longest input per target: a little more than the longest frame or message
# it meets, so that the fuzzer spends its time on shapes, not on length.
# Where every byte more costs time without new shapes, less: Glen records
# decode one by one, so a header and a few records (not the longest block of
# 18) reach every decoder; the Elm/Juniper stream needs just over one longest
# record (256) to reach the framing bound; the tables loader's QDom parse
# costs by the byte.
max_len() {
    case "$1" in
        birchframes|ashframes) echo 64 ;;
        glenframes) echo 96 ;;
        ats2wire) echo 160 ;;
        cedarframes) echo 256 ;;
        elmframes) echo 320 ;;
        remotecodec|modbusconvert|clientaccounts) echo 512 ;;
        nbdevice|configtables) echo 1024 ;;
        *) echo 2048 ;;
    esac
}

# In memory where possible: the tables loader and multipart uploads write files.
work=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )/fire-fuzz.XXXXXX")
# Multipart uploads write temporary files: keep them in here.
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
crashed=0
total_start=$(date +%s)
printf '%-20s %14s %10s %8s %s\n' target executions exec/s crashes seconds
for t in "${targets[@]}"; do
    bin=build-fuzz/tests/fuzz/fuzz_$t
    [ -x "$bin" ] || { echo "no fuzz target $t" >&2; exit 2; }
    mkdir -p "$work/corpus/$t" "$work/artifacts/$t"
    start=$(date +%s)
    set +e
    if [ -n "${FUZZ_RUNS:-}" ]; then
        limit=(-runs="$FUZZ_RUNS")
        [ "$SECONDS_GIVEN" -gt 0 ] && limit+=(-max_total_time="$SECONDS_GIVEN")
    else
        limit=(-max_total_time="$SECONDS_EACH")
    fi
    "$bin" "${limit[@]}" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
           -artifact_prefix="$work/artifacts/$t/" "$work/corpus/$t" "tests/fuzz/corpus/$t" \
           >"$work/$t.log" 2>&1
    status=$?
    set -e
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$t.log" | tail -1)
    crashes=$(find "$work/artifacts/$t" -type f | wc -l)
    if [ "$status" -ne 0 ] && [ "$crashes" -eq 0 ]; then
        crashes=1 # died without leaving an input: the log says why
    fi
    printf '%-20s %14s %10s %8s %s\n' "$t" "${execs:-?}" "${rate:-?}" "$crashes" "$(( $(date +%s) - start ))"
    if [ "$crashes" -gt 0 ]; then
        crashed=1
        echo "  log: $work/$t.log"
        find "$work/artifacts/$t" -type f -printf '  input: %p\n'
    fi
done
echo "total: $(( $(date +%s) - total_start )) s"
if [ "$crashed" -eq 0 ]; then
    rm -rf "$work"
else
    echo "kept: $work"
fi
exit $crashed
