#!/bin/sh
# Makes a machine ready to run the server as a service: the system user
# "fireserver" (member of dialout for serial panels) and the site directory
# DATADIR with Log/, filled from the sample site in SAMPLEDIR unless it
# already holds one. Run by the package's postinst and by scripts/install.sh.
# Usage: setup-site.sh DATADIR SAMPLEDIR
set -e
DATADIR=$1
SAMPLEDIR=$2
if ! getent passwd fireserver >/dev/null; then
    useradd --system --user-group --home-dir "$DATADIR" --no-create-home \
        --shell /usr/sbin/nologin fireserver
fi
usermod -a -G dialout fireserver
mkdir -p "$DATADIR/Log"
for f in config.ini EventConfig.xml SysSet.xml httpConfig.ini; do
    # An existing site is the operator's: never overwritten.
    [ -e "$DATADIR/$f" ] || cp "$SAMPLEDIR/$f" "$DATADIR/$f"
done
chown -R fireserver:fireserver "$DATADIR"
