#!/usr/bin/env bash
# Installs the server as a system service on a fresh Debian machine:
#   builds (installing the packages it needs), installs the programs under
#   PREFIX (default /opt/fireserver), creates the system user "fireserver"
#   (member of dialout for serial panels), fills the site directory DATADIR
#   (default /var/opt/fireserver) from the sample site unless it already
#   holds one, and installs and starts the systemd unit.
# Usage: scripts/install.sh [--prefix DIR] [--data-dir DIR] [--no-start] [--package]
#            [--bridge HOST:PORT [--bridge-ca FILE] [--bridge-cert FILE --bridge-key FILE]
#             [--bridge-user USER --bridge-password PASSWORD] [--site-name NAME]]
#   --package  builds the Debian package (cpack) and installs that instead:
#              programs in /usr, the site in /var/lib/fireserver.
#   --bridge   also bridges this machine's Mosquitto to a central broker:
#              everything under the site's Mqtt/topicPrefix goes out at QoS 1
#              (TLS with --bridge-ca), see README "Many sites". The server
#              publishes to this local broker: config.ini's [Mqtt] enabled=1,
#              host=127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
PREFIX=/opt/fireserver
DATADIR=/var/opt/fireserver
START=1
PACKAGE=0
BRIDGE_ARGS=()
BRIDGE=""
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) PREFIX=$2; shift 2 ;;
        --data-dir) DATADIR=$2; shift 2 ;;
        --no-start) START=0; shift ;;
        --package) PACKAGE=1; shift ;;
        --bridge) BRIDGE=$2; BRIDGE_ARGS+=(--bridge "$2"); shift 2 ;;
        --bridge-ca) BRIDGE_ARGS+=(--ca "$2"); shift 2 ;;
        --bridge-cert) BRIDGE_ARGS+=(--cert "$2"); shift 2 ;;
        --bridge-key) BRIDGE_ARGS+=(--key "$2"); shift 2 ;;
        --bridge-user) BRIDGE_ARGS+=(--user "$2"); shift 2 ;;
        --bridge-password) BRIDGE_ARGS+=(--password "$2"); shift 2 ;;
        --site-name) BRIDGE_ARGS+=(--name "$2"); shift 2 ;;
        -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
        *) echo "install.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "install.sh: run as root" >&2; exit 1; }

scripts/deps.sh
BUILD_TYPE=Release scripts/build.sh

if [ "$PACKAGE" -eq 1 ]; then
    # The package's maintainer scripts make the user, the site and the unit.
    (cd build && cpack -G DEB >/dev/null)
    DEB=$(ls -t build/fireserver_*_amd64.deb | head -n 1)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$DEB"
    PREFIX=/usr
    DATADIR=/var/lib/fireserver
else
    cmake --install build --prefix "$PREFIX"
    packaging/setup-site.sh "$DATADIR" "$PREFIX/share/fireserver/site"
    sed -e "s|@PREFIX@|$PREFIX|g" -e "s|@DATADIR@|$DATADIR|g" packaging/fireserver.service.in \
        > /etc/systemd/system/fireserver.service
fi

# A key of the site's config.ini, group Mqtt, as written (the last one wins).
mqtt_key() {
    awk -F= -v key="$1" '/^[ \t]*\[/ { group = $0; gsub(/[ \t\[\]]/, "", group); next }
        group == "Mqtt" { k = $1; gsub(/[ \t]/, "", k); if (k == key) { v = substr($0, index($0, "=") + 1) } }
        END { gsub(/^[ \t]+|[ \t]+$/, "", v); print v }' "$DATADIR/config.ini"
}
if [ -n "$BRIDGE" ]; then
    # The prefix the server publishes under, derived as it derives it.
    prefix=$(mqtt_key topicPrefix)
    if [ -z "$prefix" ]; then
        client=$(mqtt_key clientId)
        prefix="fireserver/${client:-fireserver-$(hostname)}"
    fi
    CONF=/etc/mosquitto/conf.d/fireserver-bridge.conf
    scripts/bridge-config.sh "${BRIDGE_ARGS[@]}" --topic-prefix "$prefix" > "$CONF.new"
    # It may hold the centre's password.
    chown root:mosquitto "$CONF.new"
    chmod 640 "$CONF.new"
    mv "$CONF.new" "$CONF"
    echo "bridge of $prefix/# to $BRIDGE written to $CONF"
    [ "$(mqtt_key enabled)" = 1 ] || echo "note: $DATADIR/config.ini has [Mqtt] enabled=0: the server publishes nothing yet"
    if [ -d /run/systemd/system ]; then
        systemctl enable mosquitto.service
        systemctl restart mosquitto.service
    fi
fi

if [ -d /run/systemd/system ]; then
    systemctl daemon-reload
    systemctl enable fireserver.service
    [ "$START" -eq 1 ] && systemctl restart fireserver.service
    echo "fireserver installed and enabled; status: systemctl status fireserver"
else
    echo "fireserver installed; this machine does not run systemd, start it with:"
    echo "  cd $DATADIR && sudo -u fireserver $PREFIX/bin/fireserver --headless --app-dir $DATADIR"
fi
