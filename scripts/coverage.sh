#!/usr/bin/env bash
# Line coverage of the production code: builds with --coverage into
# build-coverage/, runs the whole suite there and prints gcovr's summary
# (tests, tools and benchmarks are not counted). Arguments go to ctest, e.g.
# -R tst_elm to see what one test covers. Counters are updated atomically:
# the drivers count from several threads at once.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
PKGS=(gcovr)
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || {
        SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
        $SUDO apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$p"
    }
done
B=build-coverage
cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic -O0" \
      -DCMAKE_EXE_LINKER_FLAGS="--coverage" -DCMAKE_SHARED_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$B" -j"$(nproc)"
find "$B" -name '*.gcda' -delete
# Tests on the fixed ports run one machine at a time: other worktrees may be testing.
(cd "$B" && flock /tmp/fire-fixed-ports.lock ctest -j"$(nproc)" --output-on-failure "$@") || echo "coverage: some tests failed; figures cover what ran"
gcovr --root . --object-directory "$B" \
      --filter '^(app|core|server|panels|config|clients|remote|gateways|http|history|console)/' \
      --exclude '.*_autogen/.*' --exclude-unreachable-branches \
      --print-summary --txt "$B/coverage.txt" 2>/dev/null | tail -3
echo "per-file report: $B/coverage.txt"
