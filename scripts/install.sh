#!/usr/bin/env bash
# Installs the server as a system service on a fresh Debian machine:
#   builds (installing the packages it needs), installs the programs under
#   PREFIX (default /opt/fireserver), creates the system user "fireserver"
#   (member of dialout for serial panels), fills the site directory DATADIR
#   (default /var/opt/fireserver) from the sample site unless it already
#   holds one, and installs and starts the systemd unit.
# Usage: scripts/install.sh [--prefix DIR] [--data-dir DIR] [--no-start]
set -euo pipefail
cd "$(dirname "$0")/.."
PREFIX=/opt/fireserver
DATADIR=/var/opt/fireserver
START=1
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) PREFIX=$2; shift 2 ;;
        --data-dir) DATADIR=$2; shift 2 ;;
        --no-start) START=0; shift ;;
        -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
        *) echo "install.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "install.sh: run as root" >&2; exit 1; }

scripts/deps.sh
BUILD_TYPE=Release scripts/build.sh
cmake --install build --prefix "$PREFIX"

if ! id fireserver >/dev/null 2>&1; then
    useradd --system --home-dir "$DATADIR" --no-create-home --shell /usr/sbin/nologin fireserver
fi
usermod -a -G dialout fireserver

mkdir -p "$DATADIR/Log"
for f in config.ini EventConfig.xml SysSet.xml; do
    # An existing site is the operator's: never overwritten.
    [ -e "$DATADIR/$f" ] || cp "$PREFIX/share/fireserver/site/$f" "$DATADIR/$f"
done
chown -R fireserver:fireserver "$DATADIR"

sed -e "s|@PREFIX@|$PREFIX|g" -e "s|@DATADIR@|$DATADIR|g" packaging/fireserver.service.in \
    > /etc/systemd/system/fireserver.service
if [ -d /run/systemd/system ]; then
    systemctl daemon-reload
    systemctl enable fireserver.service
    [ "$START" -eq 1 ] && systemctl restart fireserver.service
    echo "fireserver installed and enabled; status: systemctl status fireserver"
else
    echo "fireserver installed; this machine does not run systemd, start it with:"
    echo "  cd $DATADIR && sudo -u fireserver $PREFIX/bin/fireserver --headless --app-dir $DATADIR"
fi
