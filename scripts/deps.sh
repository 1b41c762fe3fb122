#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need.
# Safe to run again: only missing packages are installed.
#   scripts/deps.sh --bench   also installs what the benchmarks run by hand need.
#   scripts/deps.sh --fuzz    also installs clang and libFuzzer (scripts/fuzz.sh).
set -euo pipefail
PACKAGES=(cmake g++ make ccache qtbase5-dev libqt5serialport5-dev libqt5sql5-sqlite
          qttools5-dev-tools socat curl openssl fonts-wqy-zenhei xvfb xauth procps
          pkg-config libmosquitto-dev mosquitto mosquitto-clients libssl-dev
          dpkg-dev lintian chromium)
# Load generator and the reference web server of the HTTP benchmark; perf
# for profiling what the benchmarks drive.
BENCH_PACKAGES=(wrk nginx-light linux-perf)
# Debian's default clang, its sanitizer and libFuzzer runtimes
# (libclang_rt.fuzzer and friends: only recommended by clang, so named here)
# and llvm-symbolizer for readable crash stacks; the three metapackages
# follow the same clang version.
FUZZ_PACKAGES=(clang libclang-rt-dev llvm)
case "${1:-}" in
    --bench) PACKAGES+=("${BENCH_PACKAGES[@]}") ;;
    --fuzz) PACKAGES+=("${FUZZ_PACKAGES[@]}") ;;
esac
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The web console's browser tests: playwright-core from npm, pinned by
# tests/web/package-lock.json, driving Debian's chromium (never a browser
# of its own). Node comes from Debian when the machine has none.
if ! command -v npm >/dev/null 2>&1; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends nodejs npm
fi
web="$(dirname "$0")/../tests/web"
if [ ! -f "$web/node_modules/.package-lock.json" ] || ! cmp -s "$web/package-lock.json" "$web/node_modules/.lock-installed"; then
    (cd "$web" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error \
        && cp package-lock.json node_modules/.lock-installed)
fi
