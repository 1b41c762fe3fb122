#!/usr/bin/env bash
# Checks that every #include of the production code points down the layers:
#   core  <  config | http  <  panels | clients | remote | gateways | history | web  <  server  <  console  <  app
# Folders of one rank never include each other (config and http; the
# components), and inside panels/ the base and the manager never include a
# model (panels/models/ knows the base, not the other way round); the console
# reaches the controllers through the server object, never panels/. An include
# is judged by the file it names, however it is spelt: "clients/x.h",
# <clients/x.h>, "../clients/x.h" and "./x.h" alike.
# Prints each offending line; exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
rank() {
    case "$1" in
        core) echo 0 ;; config|http) echo 1 ;;
        panels|clients|remote|gateways|history|web) echo 2 ;;
        server) echo 3 ;; console) echo 4 ;; app) echo 5 ;;
        *) echo -1 ;;
    esac
}
bad=0
for dir in core config http panels clients remote gateways history web server console app; do
    [ -d "$dir" ] || continue
    own=$(rank "$dir")
    while IFS= read -r line; do
        file=${line%%:*}
        spelt=$(sed -E 's/^[^#]*#[[:space:]]*include[[:space:]]*["<]([^">]+)[">].*/\1/' <<<"${line#*:*:}")
        # Relative spellings resolve from the including file's folder; the
        # rest from the project root, which is on the include path.
        case "$spelt" in
            ./*|../*) path=$(realpath -m --relative-to="$root" "$(dirname "$file")/$spelt") ;;
            *) path=$spelt ;;
        esac
        if [ ! -e "$path" ] && [ -e "$(dirname "$file")/$spelt" ]; then
            path=$(realpath -m --relative-to="$root" "$(dirname "$file")/$spelt")
        fi
        target=${path%%/*}
        [ "$target" = "$path" ] && continue
        r=$(rank "$target")
        [ "$r" -lt 0 ] && continue
        if [ "$r" -gt "$own" ] || { [ "$r" -eq "$own" ] && [ "$target" != "$dir" ] && [ "$r" -ge 1 ]; }; then
            echo "upward include: $line"
            bad=1
        elif [ "$dir" = panels ] && [[ "$file" != panels/models/* ]] && [[ "$path" == panels/models/* ]]; then
            echo "panel base includes a model: $line"
            bad=1
        elif [ "$dir" = console ] && [ "$target" = panels ]; then
            # The console drives controllers through the server object only.
            echo "console reaches past the server object: $line"
            bad=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' --include='*.h' --include='*.cpp' "$dir" || true)
done
# The server library links no widgets: nothing below the console names them.
if grep -rnE '#include <(QtWidgets|QtGui|QWidget|QApplication|QMessageBox|QColor|QIcon|QFont|QPixmap)' \
        core config http panels clients history web server $(ls -d remote gateways 2>/dev/null) ; then
    echo "widget or gui header below the console"
    bad=1
fi
exit $bad
