#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need.
# Safe to run again: only missing packages are installed.
#   scripts/deps.sh --bench   also installs what the benchmarks run by hand need.
#   scripts/deps.sh --fuzz    also installs clang and libFuzzer (scripts/fuzz.sh).
set -euo pipefail
PACKAGES=(cmake g++ make ccache qtbase5-dev libqt5serialport5-dev libqt5sql5-sqlite
          qttools5-dev-tools socat curl openssl fonts-wqy-zenhei xvfb xauth procps
          pkg-config libmosquitto-dev mosquitto mosquitto-clients libssl-dev
          dpkg-dev lintian)
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
