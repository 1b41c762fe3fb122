#!/usr/bin/env bash
# Prints the site broker's bridge configuration from
# packaging/mosquitto-bridge.conf.in.
# Usage: scripts/bridge-config.sh --bridge HOST:PORT --topic-prefix PREFIX
#            [--name NAME] [--user USER --password PASSWORD]
#            [--ca FILE [--cert FILE --key FILE]] [--retry "BASE CAP"]
#   NAME (default: this machine's host name) names the connection and,
#   as "fireserver-bridge-NAME", the link's session at the centre: unique
#   per site. Without --ca the link is plain TCP.
set -euo pipefail
# From the sources, or installed beside it in share/fireserver/.
TEMPLATE="$(dirname "$0")/../packaging/mosquitto-bridge.conf.in"
[ -r "$TEMPLATE" ] || TEMPLATE="$(dirname "$0")/mosquitto-bridge.conf.in"
declare -A F=([RETRY]="5 60")
NAME=$(hostname)
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || { echo "bridge-config.sh: $1 needs a value" >&2; exit 2; }
    case "$1" in
        --bridge) F[ADDRESS]=$2 ;;
        --topic-prefix) F[TOPIC_PREFIX]=${2%/} ;;
        --name) NAME=$2 ;;
        --user) F[USERNAME]=$2 ;;
        --password) F[PASSWORD]=$2 ;;
        --ca) F[CAFILE]=$2 ;;
        --cert) F[CERTFILE]=$2 ;;
        --key) F[KEYFILE]=$2 ;;
        --retry) F[RETRY]=$2 ;;
        *) echo "bridge-config.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
[[ "${F[ADDRESS]:-}" =~ ^[^:]+:[0-9]+$ ]] || { echo "bridge-config.sh: --bridge HOST:PORT needed" >&2; exit 2; }
[[ "${F[TOPIC_PREFIX]:-}" =~ ^[^#+]+$ ]] || { echo "bridge-config.sh: --topic-prefix without + or # needed" >&2; exit 2; }
F[CONNECTION]="fireserver-$NAME"
F[CLIENT_ID]="fireserver-bridge-$NAME"
while IFS= read -r line; do
    used=0; empty=0
    while [[ "$line" =~ @([A-Z_]+)@ ]]; do
        key=${BASH_REMATCH[1]}
        used=1
        [ -n "${F[$key]:-}" ] || empty=1
        line=${line//@$key@/${F[$key]:-}}
    done
    [ "$used" -eq 1 ] && [ "$empty" -eq 1 ] && continue
    printf '%s\n' "$line"
done < "$TEMPLATE"
