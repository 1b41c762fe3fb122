#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need.
# Safe to run again: only missing packages are installed.
set -euo pipefail
PACKAGES=(cmake g++ make ccache qtbase5-dev libqt5serialport5-dev libqt5sql5-sqlite
          qttools5-dev-tools socat curl fonts-wqy-zenhei xvfb xauth procps
          pkg-config libmosquitto-dev mosquitto mosquitto-clients openssl)
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
