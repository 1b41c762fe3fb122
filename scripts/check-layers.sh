#!/usr/bin/env bash
# Checks that every #include of the production code points down the layers:
#   core  <  config  <  panels | clients | remote | gateways  <  server  <  console  <  app
# The components (panels, clients, remote, gateways) never include each other.
# Prints each offending line; exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
rank() {
    case "$1" in
        core) echo 0 ;; config) echo 1 ;;
        panels|clients|remote|gateways) echo 2 ;;
        server) echo 3 ;; console) echo 4 ;; app) echo 5 ;;
        *) echo -1 ;;
    esac
}
bad=0
for dir in core config panels clients remote gateways server console app; do
    [ -d "$dir" ] || continue
    own=$(rank "$dir")
    while IFS= read -r line; do
        file=${line%%:*}
        target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$line")
        r=$(rank "$target")
        [ "$r" -lt 0 ] && continue
        if [ "$r" -gt "$own" ] || { [ "$r" -eq 2 ] && [ "$own" -eq 2 ] && [ "$target" != "$dir" ]; }; then
            echo "upward include: $line"
            bad=1
        fi
    done < <(grep -rnE '^#include "[a-z]+/' --include='*.h' --include='*.cpp' "$dir" || true)
done
# The server library links no widgets: nothing below the console names them.
if grep -rnE '#include <(QtWidgets|QtGui|QWidget|QApplication|QMessageBox|QColor|QIcon|QFont|QPixmap)' \
        core config panels clients server $(ls -d remote gateways 2>/dev/null) ; then
    echo "widget or gui header below the console"
    bad=1
fi
exit $bad
