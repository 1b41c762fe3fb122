#!/usr/bin/env bash
# Before and after in one run of the machine: builds a reference commit beside
# the work tree, then runs the listed benches for the reference and for the
# work tree in turns (ref, work, ref, work, ...) and prints each figure of
# both with the ratio work/ref. Only such ratios count: the machine's load
# changes from one minute to the next, and both sides see the same minutes.
#
#   bench/compare.sh REF [--rounds N] [--benches "nbiot mqtt remote idle mixed"] [--build-only]
#
#   REF       a commit (main, 7dc603d, HEAD~3, ...)
#   --rounds  turns per bench and side (2); the medians are compared
#   --benches which of: nbiot (HTTP receiver against nginx), mqtt (publisher,
#             unpaced and at 10,000/s), remote (centre pacing), idle (8 polled
#             Birch panels), mixed (8 of each serial model)
#
# The reference is exported to <work tree>-ref/ (its own build/ inside; the
# same relative layout as the work tree, so ccache serves what did not
# change) and rebuilt only when REF names another commit. The work tree is
# built as it stands, uncommitted changes included. Raw outputs stay in
# build/compare/. Benches that start the server wait for the fixed-port
# lock themselves.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
REF=${1:?usage: bench/compare.sh REF [--rounds N] [--benches LIST]}
shift
ROUNDS=2
BENCHES="nbiot mqtt remote idle mixed"
BUILD_ONLY=0
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) ROUNDS=$2; shift 2 ;;
        --benches) BENCHES=$2; shift 2 ;;
        --build-only) BUILD_ONLY=1; shift ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done

"$ROOT/scripts/deps.sh" --bench
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$ROOT")}

REFSHA=$(git -C "$ROOT" rev-parse --verify "$REF^{commit}")
REFDIR="$ROOT-ref"
OUT="$ROOT/build/compare"
mkdir -p "$OUT"
TARGETS=(fireserver bench_nbiot bench_mqtt bench_remote bench_server_idle)

if [ "$(cat "$REFDIR/.commit" 2>/dev/null)" != "$REFSHA" ]; then
    echo "exporting $REF ($REFSHA) to $REFDIR"
    rm -rf "$REFDIR/src.new"
    mkdir -p "$REFDIR/src.new"
    git -C "$ROOT" archive "$REFSHA" | tar -x -C "$REFDIR/src.new"
    # Keep build/ (and its objects) across references; replace the sources.
    find "$REFDIR" -mindepth 1 -maxdepth 1 ! -name build ! -name src.new -exec rm -rf {} +
    (cd "$REFDIR/src.new" && find . -mindepth 1 -maxdepth 1 -exec mv {} "$REFDIR/" \;)
    rmdir "$REFDIR/src.new"
    echo "$REFSHA" > "$REFDIR/.commit"
fi

build() {
    local dir=$1
    cmake -S "$dir" -B "$dir/build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
    cmake --build "$dir/build" -j"$(nproc)" --target "${TARGETS[@]}" >"$OUT/build-$(basename "$dir").log" 2>&1 \
        || { echo "build of $dir failed, see $OUT/build-$(basename "$dir").log" >&2; exit 1; }
}
echo "building the reference ($REFSHA) and the work tree"
build "$REFDIR"
build "$ROOT"
[ "$BUILD_ONLY" = 1 ] && exit 0

# name;bench command line;figure=regex (its first group is the number);...
# A figure whose name ends in "(lower)" is better when lower. "@CYCLE" is
# the server's CPU per poll cycle, from the CPU and the cycles of the run.
RUNS=(
'nbiot;bench_nbiot --seconds 10 --rounds 3;receiver req/s=^median: receiver ([0-9.]+) req/s;receiver p99 ms (lower)=^median: receiver [0-9.]+ req/s p99 ([0-9.]+) ms;nginx req/s=^median: .*[|] nginx ([0-9.]+) req/s;receiver/nginx=^ratio receiver/nginx: ([0-9.]+)'
'mqtt;bench_mqtt --events 100000 --rate 10000;unpaced events/s=^stream: .* s: ([0-9.]+) events/s;unpaced CPU us/event (lower)=^stream:[\s\S]*?CPU: publisher ([0-9.]+) us/event;paced events/s=^paced: .* s: ([0-9.]+) events/s;paced p99 ms (lower)=^paced:[\s\S]*?p99 ([0-9.]+);paced CPU us/event (lower)=^paced:[\s\S]*?CPU: publisher ([0-9.]+) us/event'
'remote;bench_remote --events 10000 --queries 10 --rounds 3;share of the ceiling== ([0-9.]+) of the 1,000 lines/s ceiling;query close p99 ms (lower)=close [(]complete answer.* p99 ([0-9.]+) ms'
'idle;bench_server_idle --panels 8 --seconds 30 --warmup-s 3;CPU s per wall s (lower)=: ([0-9.]+) CPU s per wall s;poll cycles/s per panel=ControllerBirch +[0-9]+ panels, poll cycles per panel: ([0-9.]+)/s mean;CPU us per poll cycle (lower)=@CYCLE'
'mixed;bench_server_idle --panels 8 --mixed --seconds 30 --warmup-s 3;CPU s per wall s (lower)=: ([0-9.]+) CPU s per wall s;CPU us per poll cycle (lower)=@CYCLE'
)

extract() { # file regex -> the first group of the first match, or nothing
    python3 - "$1" "$2" <<'EOF'
import re, sys
m = re.search(sys.argv[2], open(sys.argv[1], encoding="utf-8", errors="replace").read(), re.M)
print(m.group(1) if m else "")
EOF
}

cycle_us() { # CPU us per poll cycle over all panels of an idle run
    python3 - "$1" <<'EOF'
import re, sys
t = open(sys.argv[1], encoding="utf-8", errors="replace").read()
cpu = re.search(r": ([0-9.]+) CPU s per wall s", t)
per = re.findall(r"(\d+) panels, poll cycles per panel: ([0-9.]+)/s mean", t)
cycles = sum(int(n) * float(r) for n, r in per)
print("%.1f" % (float(cpu.group(1)) * 1e6 / cycles) if cpu and cycles else "")
EOF
}

median() { python3 -c 'import sys,statistics; v=[float(x) for x in sys.argv[1:] if x]; m=statistics.median(v) if v else None; print("" if m is None else ("%.0f" % m if abs(m) >= 1000 else "%.4g" % m))' "$@"; }

declare -A VALUES
for run in "${RUNS[@]}"; do
    IFS=';' read -r -a parts <<<"$run"
    name=${parts[0]}
    case " $BENCHES " in *" $name "*) ;; *) continue ;; esac
    cmdline=${parts[1]}
    for ((round = 1; round <= ROUNDS; ++round)); do
        for side in ref work; do
            dir=$REFDIR; [ $side = work ] && dir=$ROOT
            log="$OUT/$name-$side-$round.txt"
            echo "== $name, round $round, $side: $cmdline"
            # shellcheck disable=SC2086
            (cd "$dir" && "build/"$cmdline) >"$log" 2>&1 || echo "   (exit $?; figures still read from $log)"
            for ((i = 2; i < ${#parts[@]}; ++i)); do
                label=${parts[$i]%%=*}
                regex=${parts[$i]#*=}
                if [ "$regex" = "@CYCLE" ]; then v=$(cycle_us "$log"); else v=$(extract "$log" "$regex"); fi
                VALUES["$name|$label|$side"]+=" $v"
                printf '   %-34s %s\n' "$label" "${v:-?}"
            done
        done
    done
done

echo
echo "medians over $ROUNDS rounds; ratio = work / reference ($REF = ${REFSHA:0:7}, work tree $(git -C "$ROOT" rev-parse --short HEAD)$(git -C "$ROOT" diff --quiet HEAD || echo '+changes'))"
printf '%-8s %-34s %12s %12s %8s\n' bench figure reference work ratio
for run in "${RUNS[@]}"; do
    IFS=';' read -r -a parts <<<"$run"
    name=${parts[0]}
    case " $BENCHES " in *" $name "*) ;; *) continue ;; esac
    for ((i = 2; i < ${#parts[@]}; ++i)); do
        label=${parts[$i]%%=*}
        # shellcheck disable=SC2086
        r=$(median ${VALUES["$name|$label|ref"]})
        # shellcheck disable=SC2086
        w=$(median ${VALUES["$name|$label|work"]})
        ratio=$(python3 -c 'import sys; r,w=sys.argv[1:]; print("%.2f" % (float(w)/float(r)) if r and w and float(r) else "?")' "$r" "$w")
        printf '%-8s %-34s %12s %12s %8s\n' "$name" "$label" "${r:-?}" "${w:-?}" "$ratio"
    done
done
