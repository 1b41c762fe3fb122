#!/usr/bin/env bash
# scripts/soak.sh [MINUTES]   (default 10, at most 120)
#
# Runs the real server (build/fireserver --headless) on a temporary site for
# MINUTES under steady traffic, all on loopback:
#   - 16 simulated panels of seven models: serial ones (Birch, Ash, Cedar,
#     Dune, Juniper) as build/panel-sim on socat pseudo-terminal pairs, the
#     network ones (Elm on UDP 9002, Marsh on UDP 9102) on their simulators'
#     own sockets; each repeats a fault and its restore of one device;
#   - 200 clients logged in (bench soak_driver, from 127.0.0.10..13);
#   - a monitoring centre (build/fire-centre on 2009);
#   - NB-IoT posts and Modbus datagrams (soak_driver), alarm/restore pairs;
#   - an MQTT broker and subscriber when the server has the Mqtt group and
#     mosquitto is installed.
# Every 10 s it samples the server's RSS, CPU time, open descriptors and
# threads from /proc and prints them; at the end it prints the table and the
# event counts at the sources and the sinks.
#
# It fails (exit 1) on any lost event -- every event a source emitted must
# arrive exactly once at each of the 200 clients, and every panel device
# event once at the centre -- or on growth after the warm-up (the first
# fifth of the run, at least 60 s): RSS by more than 16 MiB and 15 %, open
# descriptors by more than 4, threads by more than 4.
#
# The server's ports are fixed (5999, 2009, 2000, 9040, 9002, 9102, 21534):
# the soak holds /tmp/fire-fixed-ports.lock, as fixed-port tests do.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
MINUTES="${1:-10}"
if ! [[ "$MINUTES" =~ ^[0-9]+$ ]] || [ "$MINUTES" -lt 1 ] || [ "$MINUTES" -gt 120 ]; then
    echo "usage: scripts/soak.sh [MINUTES]   (1..120, default 10)" >&2
    exit 2
fi
CLIENTS=200
SAMPLE_S=10
DRAIN_S=20

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build build -j"$(nproc)" --target fireserver panel-sim fire-centre site-init soak_driver
B="$ROOT/build"

exec 9>/tmp/fire-fixed-ports.lock
echo "soak: waiting for the fixed ports (/tmp/fire-fixed-ports.lock)"
flock -w 3600 9 || { echo "soak: the fixed ports stayed busy for an hour" >&2; exit 1; }

S="$(mktemp -d /tmp/fire-soak.XXXXXX)"
mkdir -p "$S/run" "$S/Log"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
echo "soak: site and logs in $S"

# --- the site ------------------------------------------------------------
cp site/EventConfig.xml site/SysSet.xml "$S/"
HTTP_PORT="$("$B/soak_driver" free-port)"
cat >"$S/httpConfig.ini" <<EOF
[listener]
host=127.0.0.1
port=$HTTP_PORT
minThreads=1
maxThreads=100
cleanupInterval=1000
readTimeout=10000
maxRequestSize=16000
maxMultiPartSize=1000000
EOF

# id model type: the panels, with their simulator's model name.
PANELS=(
    "1 birch 22" "2 birch 22" "3 birch 22"
    "4 ash 10" "5 ash 10"
    "6 cedar 50" "7 cedar 50" "8 cedar 50"
    "9 dune 160" "10 dune 160" "11 dune 160"
    "12 juniper 250" "13 juniper 250" "14 juniper 250"
    "15 elm 240"
    "16 marsh 241"
)
ELM_SIM_PORT=9001   # where the server's connect broadcast (127.255.255.255) finds the panel
MARSH_SIM_PORT=9101 # the Marsh library's panel port

# One fault and its restore of a device of panel $1, a few seconds apart,
# in the simulator's own script language.
panel_script() {
    local id="$1" model="$2" a
    a="$(printf '%02x' "$id")"
    case "$model" in
    birch|ash)   # one poll every 200 ms; the fault restore is 11 on Birch, 20 on Ash
        local restore=11; [ "$model" = ash ] && restore=20
        printf 'idle 10\nreport 21 %s 02 00 0e\nidle 15\nreport %s %s 02 00 0e\nidle 15\n' "$a" "$restore" "$a" ;;
    cedar)       # about four poll cycles a second; the address is BCD
        a="$(printf '%02d' "$id")"
        printf 'idle 8\nraised 00 %s 05 03 00\nidle 16\ncleared 00 %s 05 03 20\nidle 16\n' "$a" "$a" ;;
    dune)        # a module's action (type 41), then the device restore that clears it
        a="$(printf '%02d' "$id")"
        printf 'idle 8\ncleared 00 %s 05 41 01\nidle 16\nraised 00 %s 05 41 00\nidle 16\n' "$a" "$a" ;;
    juniper|elm) # reports go out unasked, each after the last was acknowledged
        printf 'wait 2000\nreport 6 1 %s 3 soak\nwait 3000\nreport 7 1 %s 3 soak\nwait 3000\n' "$a" "$a" ;;
    marsh)       # waits in report periods of 100 ms
        printf 'wait 20\nreport 0x07 1 %d 0 soak soak\nwait 30\nreport 0x08 1 %d 0 soak soak\nwait 30\n' "$id" "$id" ;;
    esac
}

{
    echo "[Server]"
    echo "isControl=1"
    echo "isHaveUserType=1"
    echo "isHaveNB=1"
    echo "isHaveModbus=1"
    echo "logEncoding=UTF-8"
    echo "[System]"
    echo "NetName=127.0.0.1"
    echo "[Com]"
    echo "disconnectTimes=5"
    echo "[SerialPorts]"
    for p in "${PANELS[@]}"; do
        read -r id model type <<<"$p"
        case "$model" in elm|marsh) ;; *) echo "COM$id=$S/run/ttyPanel$id" ;; esac
    done
} >"$S/config.ini"

controllers=()
for p in "${PANELS[@]}"; do
    read -r id model type <<<"$p"
    case "$model" in
    elm)   controllers+=(--controller "$id:$type:0/127.0.0.1:9002:soak $model $id") ;;
    marsh) controllers+=(--controller "$id:$type:0/127.0.0.1:$MARSH_SIM_PORT:soak $model $id") ;;
    *)     controllers+=(--controller "$id:$type:$id:soak $model $id") ;;
    esac
done
"$B/site-init" --app-dir "$S" "${controllers[@]}"
"$B/soak_driver" accounts "$S" "$CLIENTS"

# MQTT only when this server has it and a broker is installed.
MQTT=0
if grep -q '^\[Mqtt\]' site/config.ini && command -v mosquitto >/dev/null && command -v mosquitto_sub >/dev/null; then
    MQTT=1
    MQTT_PORT="$("$B/soak_driver" free-port)"
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$MQTT_PORT" >"$S/mosquitto.conf"
    printf '[Mqtt]\nenabled=1\nhost=127.0.0.1\nport=%s\ntopicPrefix=soak\nqos=1\n' "$MQTT_PORT" >>"$S/config.ini"
fi

wait_for() { # seconds command...: true once the command succeeds
    local deadline=$((SECONDS + $1)); shift
    until "$@" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# --- the panels (idle until told to play) ---------------------------------
sims=()
for p in "${PANELS[@]}"; do
    read -r id model type <<<"$p"
    panel_script "$id" "$model" >"$S/panel$id.script"
    args=(--model "$model" --id "$id" --script "$S/panel$id.script" --loop --hold --quiet)
    case "$model" in
    elm)   args+=(--listen "$ELM_SIM_PORT" --server 127.0.0.1:9002) ;;
    marsh) args+=(--listen "$MARSH_SIM_PORT" --server 127.0.0.1:9102) ;;
    *)
        socat "pty,raw,echo=0,link=$S/run/ttyPanel$id" "pty,raw,echo=0,link=$S/run/ttySim$id" 2>>"$S/socat.log" &
        pids+=($!)
        wait_for 5 test -e "$S/run/ttySim$id" -a -e "$S/run/ttyPanel$id"
        args+=(--device "$S/run/ttySim$id") ;;
    esac
    "$B/panel-sim" "${args[@]}" >"$S/panel$id.log" 2>&1 &
    pids+=($!)
    sims+=("$! $id $model")
done

if [ "$MQTT" = 1 ]; then
    mosquitto -c "$S/mosquitto.conf" >"$S/mosquitto.log" 2>&1 &
    pids+=($!)
    wait_for 10 port_open "$MQTT_PORT"
    mosquitto_sub -h 127.0.0.1 -p "$MQTT_PORT" -q 1 -t 'soak/events' >"$S/mqtt.log" 2>&1 &
    pids+=($!)
    echo "soak: MQTT broker on 127.0.0.1:$MQTT_PORT"
else
    echo "soak: no MQTT (the server has no Mqtt group, or mosquitto is not installed)"
fi

# --- the server, the centre, the clients -----------------------------------
(cd "$S" && exec "$B/fireserver" --headless --app-dir "$S" >"$S/server-stdout.txt" 2>"$S/server-stderr.txt") &
SERVER=$!
pids+=($SERVER)
wait_for 30 port_open 5999 || { echo "soak: the server did not listen on 5999 (see $S)" >&2; exit 1; }
"$B/fire-centre" >"$S/centre.log" 2>&1 &
pids+=($!)
"$B/soak_driver" run --clients "$CLIENTS" --http-port "$HTTP_PORT" --modbus-port 9040 \
    --sources "$S/sources.txt" --centre-log "$S/centre.log" \
    $([ "$MQTT" = 1 ] && echo --mqtt-log "$S/mqtt.log") >"$S/driver.log" 2>&1 &
DRIVER=$!
pids+=($DRIVER)
wait_for 90 grep -q '^ready' "$S/driver.log" || { cat "$S/driver.log"; echo "soak: the clients did not log in" >&2; exit 1; }
cat "$S/driver.log"

# --- the run ---------------------------------------------------------------
for s in "${sims[@]}"; do kill -USR2 "${s%% *}"; done
kill -USR2 "$DRIVER"
echo "soak: sources started; running for $MINUTES min"

TICK=$(getconf CLK_TCK)
PAGE_KB=$(( $(getconf PAGESIZE) / 1024 ))
sample() { # t: one line "t rss_kb cpu_s fds threads"
    local stat f rss
    stat="$(cat "/proc/$SERVER/stat")" || return 1
    f=(${stat##*) })
    rss=$(( f[21] * PAGE_KB ))
    printf '%d %d %s %d %d\n' "$1" "$rss" "$(awk -v u="${f[11]}" -v s="${f[12]}" -v t="$TICK" 'BEGIN { printf "%.2f", (u + s) / t }')" \
        "$(ls "/proc/$SERVER/fd" | wc -l)" "${f[17]}"
}
: >"$S/samples.txt"
printf '%6s %10s %9s %6s %5s %8s\n' "t/s" "RSS/KiB" "CPU/s" "fds" "thr" "CPU%"
START=$SECONDS
prev_cpu=0
for ((t = 0; t <= MINUTES * 60; t += SAMPLE_S)); do
    while [ $((SECONDS - START)) -lt "$t" ]; do sleep 0.5; done
    line="$(sample "$t")" || { echo "soak: the server is gone (see $S)" >&2; exit 1; }
    echo "$line" >>"$S/samples.txt"
    read -r st rss cpu fds thr <<<"$line"
    pct="$(awk -v a="$cpu" -v b="$prev_cpu" -v d="$SAMPLE_S" 'BEGIN { printf "%.1f", (a - b) * 100 / d }')"
    [ "$t" -eq 0 ] && pct=0
    printf '%6d %10d %9.2f %6d %5d %8.1f\n' "$st" "$rss" "$cpu" "$fds" "$thr" "$pct"
    prev_cpu=$cpu
done

# --- stop, drain, count ----------------------------------------------------
for s in "${sims[@]}"; do kill -USR1 "${s%% *}"; done
kill -USR1 "$DRIVER"
echo "soak: sources stopping; draining for $DRAIN_S s"
sleep "$DRAIN_S"
: >"$S/sources.txt"
for s in "${sims[@]}"; do
    read -r pid id model <<<"$s"
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null || true
    n="$(sed -n 's/^panel-sim: \([0-9]*\) reports sent$/\1/p' "$S/panel$id.log" | tail -1)"
    echo "panel $id $model ${n:--1}" >>"$S/sources.txt"
done
sleep 5
kill -TERM "$DRIVER"
set +e
wait "$DRIVER"
events_rc=$?
set -e
sed -n '/^Events at the sources/,$p' "$S/driver.log"

t0=$SECONDS
kill -TERM "$SERVER"
wait "$SERVER" 2>/dev/null || true
echo "soak: server stopped by SIGTERM in $((SECONDS - t0)) s"

# --- growth ----------------------------------------------------------------
WARM=$(( MINUTES * 60 / 5 )); [ "$WARM" -lt 60 ] && WARM=60
growth_rc=0
awk -v warm="$WARM" '
    $1 >= warm && !w { w = 1; r0 = $2; f0 = $4; h0 = $5 }
    { r = $2; f = $4; h = $5; if ($2 > rmax) rmax = $2 }
    END {
        if (!w) { print "growth: the run was shorter than the warm-up"; exit 1 }
        dr = r - r0; bad = 0
        printf "growth after the warm-up (t=%d s): RSS %+d KiB (%d -> %d, peak %d), fds %+d (%d -> %d), threads %+d (%d -> %d)\n",
            warm, dr, r0, r, rmax, f - f0, f0, f, h - h0, h0, h
        if (dr > 16384 && dr > r0 * 0.15) { print "growth: RSS beyond the bound"; bad = 1 }
        if (f - f0 > 4) { print "growth: descriptors beyond the bound"; bad = 1 }
        if (h - h0 > 4) { print "growth: threads beyond the bound"; bad = 1 }
        print bad ? "growth: FAIL" : "growth: PASS"
        exit bad
    }' "$S/samples.txt" || growth_rc=1

if [ "$events_rc" -eq 0 ] && [ "$growth_rc" -eq 0 ]; then
    echo "soak: PASS ($MINUTES min; files in $S)"
    exit 0
fi
echo "soak: FAIL ($MINUTES min; files in $S)"
exit 1
