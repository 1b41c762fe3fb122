#!/usr/bin/env bash
# The installed server: cmake --install into a temporary prefix, the unit
# filled in as scripts/install.sh fills it and checked by systemd-analyze
# (when the machine has it), the installed sample site found sound by
# --check, then the installed program run as the unit runs it on that
# site: it listens, writes a UTF-8 log, and a SIGTERM ends it cleanly.
# Uses the fixed ports (run alone).
# Usage: installed-service.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SRC=$1
BUILD=$2
TMP=$(mktemp -d)
server=""
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$TMP"; }
trap cleanup EXIT

cmake --install "$BUILD" --prefix "$TMP/prefix" >/dev/null
DATA="$TMP/data"
mkdir -p "$DATA/Log"
cp "$TMP/prefix/share/fireserver/site/"{config.ini,EventConfig.xml,SysSet.xml} "$DATA/"
sed -e "s|@PREFIX@|$TMP/prefix|g" -e "s|@DATADIR@|$DATA|g" \
    "$TMP/prefix/share/fireserver/fireserver.service.in" > "$TMP/fireserver.service"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$TMP/fireserver.service"
    echo "unit verified"
else
    echo "systemd-analyze not present: unit not verified"
fi
grep -q "^ExecStart=$TMP/prefix/bin/fireserver --headless --app-dir $DATA\$" "$TMP/fireserver.service"

# The site check finds the installed sample site sound and changes nothing in it.
before=$(find "$DATA" -printf '%p %s %T@\n' | sort)
"$TMP/prefix/bin/fireserver" --check --app-dir "$DATA" >"$TMP/check" || { cat "$TMP/check"; exit 1; }
[ "$before" = "$(find "$DATA" -printf '%p %s %T@\n' | sort)" ] || { echo "--check changed the site"; exit 1; }
echo "site check: $(tail -1 "$TMP/check")"

# As the unit starts it: working directory the site, no display.
(cd "$DATA" && exec env -u DISPLAY -u QT_QPA_PLATFORM "$TMP/prefix/bin/fireserver" --headless --app-dir "$DATA" \
    >"$TMP/stdout" 2>&1) &
server=$!
for _ in $(seq 100); do
    grep -q "client service listening" "$DATA"/Log/log-*.txt 2>/dev/null && break
    sleep 0.1
done
grep -q "client service listening" "$DATA"/Log/log-*.txt
# The sample site's log is UTF-8: iconv refuses anything else.
iconv -f UTF-8 -t UTF-8 "$DATA"/Log/log-*.txt >/dev/null
kill -TERM "$server"
rc=0
wait "$server" || rc=$?
server=""
[ "$rc" -eq 0 ] || { echo "exit code $rc after SIGTERM"; cat "$TMP/stdout"; exit 1; }
grep -q "server stopped" "$DATA"/Log/log-*.txt
echo "installed server started and stopped cleanly"
