#!/usr/bin/env bash
# The Debian package: built with cpack into a temporary folder, unpacked
# into a temporary root, where the programs, the sample site, the unit
# (filled in for /usr and /var/lib/fireserver) and the maintainer scripts
# must be; its dependencies come from the shared libraries. lintian, when
# the machine has it, finds no error. Skipped (77) without dpkg-deb.
# Usage: deb-package.sh BUILD_DIR
set -euo pipefail
BUILD=$1
command -v dpkg-deb >/dev/null || { echo "dpkg-deb not present: package not built"; exit 77; }
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

(cd "$BUILD" && cpack -G DEB -B "$TMP/out" >"$TMP/cpack.log") || { cat "$TMP/cpack.log"; exit 1; }
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
DEB="$TMP/out/fireserver_${VERSION}_amd64.deb"
[ -f "$DEB" ] || { echo "no $DEB"; ls "$TMP/out"; exit 1; }
echo "$(basename "$DEB"): $(stat -c %s "$DEB") bytes"

dpkg -x "$DEB" "$TMP/root"
for program in fireserver fire-client fire-centre panel-sim site-init; do
    [ -x "$TMP/root/usr/bin/$program" ] || { echo "usr/bin/$program missing"; exit 1; }
done
for f in config.ini EventConfig.xml SysSet.xml httpConfig.ini; do
    [ -f "$TMP/root/usr/share/fireserver/site/$f" ] || { echo "sample site: $f missing"; exit 1; }
done
UNIT="$TMP/root/usr/lib/systemd/system/fireserver.service"
grep -q '^ExecStart=/usr/bin/fireserver --headless --app-dir /var/lib/fireserver$' "$UNIT"
grep -q '^ReadWritePaths=/var/lib/fireserver$' "$UNIT"
"$TMP/root/usr/bin/fireserver" --version | grep -q "^fireserver $VERSION"

dpkg-deb -e "$DEB" "$TMP/control"
for script in postinst prerm postrm; do
    [ -x "$TMP/control/$script" ] || { echo "$script missing"; exit 1; }
done
dpkg-deb -f "$DEB" Depends | grep -q libqt5core5a
if command -v lintian >/dev/null; then
    lintian --fail-on error "$DEB"
else
    echo "lintian not present: package not linted"
fi
echo "package built and unpacked"
