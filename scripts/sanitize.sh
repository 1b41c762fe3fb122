#!/usr/bin/env bash
# The whole test suite under the sanitizers, each in its own build folder:
#   scripts/sanitize.sh asan [ctest arguments]   AddressSanitizer and UndefinedBehaviorSanitizer, build-asan/
#   scripts/sanitize.sh tsan [ctest arguments]   ThreadSanitizer, build-tsan/
# (./test --sanitize and ./test --tsan call it.) Every report of every
# process, the tests and the programs they start, goes to
# <build folder>/sanitizer-reports/; the run fails when a test fails or when
# a report is there. Reports that are provably inside Qt, which is not
# instrumented, are suppressed in scripts/sanitizers/ (each entry says why).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}
shift || true
case "$mode" in
    asan) B=build-asan; SANITIZERS="address,undefined" ;;
    tsan) B=build-tsan; SANITIZERS="thread" ;;
    *) echo "usage: $0 asan|tsan [ctest arguments]" >&2; exit 2 ;;
esac
scripts/deps.sh
cmake -S . -B "$B" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DFIRE_SANITIZE="$SANITIZERS" >/dev/null
cmake --build "$B" -j"$(nproc)"

SUPP="$PWD/scripts/sanitizers"
REPORTS="$PWD/$B/sanitizer-reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
export ASAN_OPTIONS="log_path=$REPORTS/asan:detect_leaks=1:check_initialization_order=1:strict_init_order=1"
export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="log_path=$REPORTS/ubsan:print_stacktrace=1:halt_on_error=1:suppressions=$SUPP/ubsan.supp"
export TSAN_OPTIONS="log_path=$REPORTS/tsan:suppressions=$SUPP/tsan.supp:print_suppressions=0:second_deadlock_stack=1"

status=0
(cd "$B" && flock /tmp/fire-fixed-ports.lock ctest --output-on-failure -j"$(nproc)" "$@") || status=1
reports=$(find "$REPORTS" -type f | sort)
if [ -n "$reports" ]; then
    for f in $reports; do
        echo "===== $f"
        cat "$f"
    done
    echo "$mode: $(echo "$reports" | wc -l) sanitizer report file(s) in $REPORTS"
    status=1
elif [ "$status" -eq 0 ]; then
    echo "$mode: all tests passed, no sanitizer reports"
fi
exit "$status"
