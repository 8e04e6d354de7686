#!/usr/bin/env bash
# Benchmark of ortv-data-server on this machine. Installs what is missing, builds a Release
# server into build-bench/ (and, for comparison, the same server with the log lines formatted
# item by item through the debug stream into build-bench-legacy/), then runs every measurement
# in a private network namespace on loopback and prints a Markdown table. Results, the data
# points and the plot go to build-bench/results/. Needs root (namespace, sysctl). Takes a few
# minutes; run it when the machine is otherwise quiet.
#
#   ./bench.sh                 everything
#   ./bench.sh --quick         shorter runs (less precise), for trying the script itself
#   ./bench.sh --only PART     one part, or several (--only overload,peers): base (rates, CPU,
#                              latency, memory), overload (SetData at 40,000 to 320,000/s with
#                              HTTP, ReadData and keep-alive probes), peers (1, 100,000 and
#                              300,000 endpoints heard), trace (CPU per SetData with the trace
#                              on, against BENCH_BASELINE's build too), bridge (the MQTT bridge
#                              between the server and mosquitto: bench/bridge-bench.sh),
#                              store (the store file: restarts, saves under load, kill -9 at
#                              random moments, STORE_KILLS times: bench/store-bench.sh)
#                              metrics (the metrics listener: CPU with it on and off, its
#                              counters against known traffic, /metrics under a SetData blast)
#                              redis (CPU per SetData and ReadData beside Redis's per SET and
#                              GET, same run, packaged setting; BENCH_BASELINE's build too)
#                              service (CPU per SetData with the service manager's status
#                              lines and watchdog pings on and off)
#   BENCH_BASELINE=REV         also build git revision REV into build-bench-baseline/ (trace and
#                              redis parts)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
BUILD=$ROOT/build-bench
LEGACY=$ROOT/build-bench-legacy
RESULTS=$BUILD/results
WANT_RMEM=8388608

if [ "${1:-}" != --inside ]; then
    [ "$(id -u)" -eq 0 ] || { echo "bench.sh needs root (network namespace, sysctl)" >&2; exit 1; }
    source scripts/setup.sh
    install_missing "${BUILD_PACKAGES[@]}" iproute2 gnuplot-nox mosquitto curl strace nftables \
        redis-server redis-tools
    echo "Building (Release) into build-bench/ and build-bench-legacy/ ..." >&2
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DORTV_BUILD_BENCH=ON \
        >/dev/null
    cmake --build "$BUILD" -j2 --target ortv-data-server ortv-bench ortv-mqtt-bridge \
        ortv-bridge-bench -- --no-print-directory -s
    cmake -S . -B "$LEGACY" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DORTV_LOG_VIA_DEBUG_STREAM=ON >/dev/null
    cmake --build "$LEGACY" -j2 --target ortv-data-server -- --no-print-directory -s
    if [ -n "${BENCH_BASELINE:-}" ]; then
        echo "Building $BENCH_BASELINE (Release) into build-bench-baseline/ ..." >&2
        rm -rf build-bench-baseline/src && mkdir -p build-bench-baseline/src
        git archive "$BENCH_BASELINE" | tar -x -C build-bench-baseline/src
        cmake -S build-bench-baseline/src -B build-bench-baseline/build -DCMAKE_BUILD_TYPE=Release \
            -DBUILD_TESTING=OFF >/dev/null
        cmake --build build-bench-baseline/build -j2 --target ortv-data-server -- \
            --no-print-directory -s
    fi

    # The kernel caps the server's 8 MiB receive buffer request at net.core.rmem_max, which is
    # global (not per network namespace): raise it for the run as the package's sysctl drop-in
    # does, and put it back afterwards.
    OLD_RMEM=$(cat /proc/sys/net/core/rmem_max)
    if [ "$OLD_RMEM" -lt "$WANT_RMEM" ]; then
        trap 'echo "$OLD_RMEM" > /proc/sys/net/core/rmem_max' EXIT
        echo "$WANT_RMEM" > /proc/sys/net/core/rmem_max
    fi
    export BENCH_OLD_RMEM=$OLD_RMEM
    mkdir -p "$RESULTS"
    unshare --net "$0" --inside "$@"
    exit
fi

# ---- inside the private network namespace -------------------------------------------------
shift
QUICK=0
ONLY=all
while [ $# -gt 0 ]; do
    case $1 in
    --quick) QUICK=1 ;;
    --only) ONLY=${2:?--only base|overload|peers|trace|bridge|store|metrics|redis|service}; shift ;;
    *) echo "usage: ./bench.sh [--quick] [--only base|overload|peers|trace|bridge|store|metrics|redis|service[,...]]" >&2; exit 2 ;;
    esac
    shift
done
want() { [ "$ONLY" = all ] || [[ ",$ONLY," == *",$1,"* ]]; }
ip link set lo up
SERVER=$BUILD/server/ortv-data-server
OLD_SERVER=$LEGACY/server/ortv-data-server
CLIENT=$BUILD/bench/ortv-bench
# The server's stderr goes to a file on tmpfs, emptied before each run (the server appends).
LOGDIR=$(mktemp -d /dev/shm/ortv-bench.XXXXXX)
LOG=$LOGDIR/stderr.log
PID=
cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    rm -rf "$LOGDIR"
}
trap cleanup EXIT

if [ $QUICK -eq 1 ]; then SWEEP_S=1; CONFIRM_S=2; CPU_S=1; RTT_N=300; OVER_S=3; OVER_LONG_S=10
else SWEEP_S=2; CONFIRM_S=5; CPU_S=3; RTT_N=1000; OVER_S=10; OVER_LONG_S=65; fi

note() { echo "$*" >&2; }
# field NAME LINE: the value of NAME=value in one result line of the client.
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
calc() { awk "BEGIN { printf \"%s\", $* }"; }

start_server() {  # start_server BINARY [VAR=value ...]
    local binary=$1; shift
    : > "$LOG"
    env "$@" "$binary" >/dev/null 2>>"$LOG" &
    PID=$!
    for _ in $(seq 100); do
        ss -uln | grep -q ':1234 ' && ss -tln | grep -q ':8080 ' && return 0
        sleep 0.05
    done
    note "server did not start"; exit 1
}
stop_server() { kill "$PID"; wait "$PID" 2>/dev/null || true; PID=; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$PID/status"; }

# flood KEYS RATE SECONDS [client options]: one run; prints the client's result line.
flood() {
    local keys=$1 rate=$2 seconds=$3; shift 3
    : > "$LOG"
    "$CLIENT" flood --keys "$keys" --rate "$rate" --seconds "$seconds" --pid "$PID" --log "$LOG" \
        "$@" || true
}
# A run passes when every datagram was logged by the server, the kernel dropped none, and the
# server had caught up within 100 ms of the last one (it kept pace, not just the buffer).
passed() {
    [ "$(field lost "$1")" = 0 ] && [ "$(field kernel_drops "$1")" = 0 ] &&
        [ "$(field failed "$1")" = 0 ] && [ "$(field synced "$1")" = 1 ] &&
        awk "BEGIN { exit !($(field drain_ms "$1") < 100) }"
}

cpu_run() {  # cpu_run BINARY KEYS RATE [--env VAR=value]... [client options]
    local binary=$1 keys=$2 rate=$3 env=(); shift 3
    while [ "${1:-}" = --env ]; do env+=("$2"); shift 2; done
    start_server "$binary" "${env[@]}"
    "$CLIENT" fill --keys "$keys" >/dev/null
    local line; line=$(flood "$keys" "$rate" "$CPU_S" "$@")
    note "$(basename "$(dirname "$(dirname "$binary")")") keys=$keys rate=$rate $*: $line"
    stop_server
    field cpu_us_per_cmd "$line"
}
median() { tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
RMEM=$(cat /proc/sys/net/core/rmem_max)
note "net.core.rmem_max=$RMEM (was ${BENCH_OLD_RMEM:-?}), load $LOAD_BEFORE"

if want base; then
# ---- resident memory idle, receive buffer ----------------------------------------------------
start_server "$SERVER"
RSS_IDLE=$(rss_kib)
SKMEM=$(ss -uamn 'sport = :1234' | grep -o 'skmem:([^)]*)')
stop_server

# ---- zero-loss SetData rate and delivered-versus-offered sweep, per store size ------------
SWEEP_RATES=(5000 10000 20000 40000 60000 80000 100000 130000)
: > "$RESULTS/sweep.dat"
declare -A ZERO_LOSS ZERO_CPU ZERO_NOTE
for keys in 1 100 1000; do
    start_server "$SERVER"
    "$CLIENT" fill --keys "$keys" >/dev/null
    best=0; worst=0
    echo "# keys=$keys offered delivered" >> "$RESULTS/sweep.dat"
    for rate in "${SWEEP_RATES[@]}"; do
        line=$(flood "$keys" "$rate" "$SWEEP_S")
        offered=$(field offered "$line"); sent=$(field sent "$line")
        delivered=$(calc "$(field received "$line") * $offered / $sent")
        echo "$keys $offered $delivered" >> "$RESULTS/sweep.dat"
        note "keys=$keys rate=$rate: $line"
        if passed "$line"; then best=$rate; else [ "$worst" = 0 ] && worst=$rate; fi
        # Far past the limit only the backlog grows: stop after the second failing rate.
        if ! passed "$line" && [ "$rate" != "$worst" ]; then break; fi
    done
    printf '\n\n' >> "$RESULTS/sweep.dat"
    if [ "$worst" = 0 ]; then
        ZERO_NOTE[$keys]=" (client limit)"
    else
        for _ in 1 2 3; do  # narrow down between the last passing and first failing rate
            mid=$(( (best + worst) / 2 ))
            line=$(flood "$keys" "$mid" "$SWEEP_S")
            note "keys=$keys rate=$mid: $line"
            if passed "$line"; then best=$mid; else worst=$mid; fi
        done
    fi
    confirmed=0
    for _ in 1 2 3 4 5 6; do  # confirm over a longer run, stepping down when it does not hold
        line=$(flood "$keys" "$best" "$CONFIRM_S")
        note "keys=$keys confirm $best for ${CONFIRM_S}s: $line"
        if passed "$line"; then confirmed=1; break; fi
        best=$(( best * 9 / 10 ))
    done
    [ $confirmed = 1 ] || { ZERO_NOTE[$keys]=" (not confirmed)"; best=$(( best * 10 / 9 )); }
    ZERO_LOSS[$keys]=$best
    ZERO_CPU[$keys]=$(field cpu_us_per_cmd "$line")
    stop_server
done

# ---- the 40,000/s target: 5 s into a 100-key store --------------------------------------
start_server "$SERVER"
"$CLIENT" fill --keys 100 >/dev/null
TARGET_LINE=$(flood 100 40000 5)
note "40000/s for 5 s, 100 keys: $TARGET_LINE"
stop_server

# ---- CPU per command at fixed rates: new formatting and the item-by-item one -------------
declare -A CPU_NEW CPU_OLD CPU_RUNS
CPU_RATE=([1]=40000 [100]=20000 [1000]=2000)
for keys in 1 100 1000; do
    # Alternating runs, median of each: the two builds see the same machine.
    repeats=1; [ "$keys" = 1000 ] && repeats=3
    new_runs=; old_runs=
    for _ in $(seq $repeats); do
        new_runs+=" $(cpu_run "$SERVER" "$keys" "${CPU_RATE[$keys]}")"
        old_runs+=" $(cpu_run "$OLD_SERVER" "$keys" "${CPU_RATE[$keys]}")"
    done
    CPU_NEW[$keys]=$(median <<<"${new_runs# }")
    CPU_OLD[$keys]=$(median <<<"${old_runs# }")
    CPU_RUNS[$keys]="new:$new_runs; item by item:$old_runs"
done
# The same with glibc told not to give the heap back after every large free (see
# docs/performance.md: the message handler's temporaries make it shrink and grow each line).
TUNED=GLIBC_TUNABLES=glibc.malloc.trim_threshold=16777216
CPU_NEW_TUNED=$(cpu_run "$SERVER" 1000 2000 --env "$TUNED")
CPU_OLD_TUNED=$(cpu_run "$OLD_SERVER" 1000 2000 --env "$TUNED")
CPU_READ=$(cpu_run "$SERVER" 100 10000 --read)
CPU_ARRAY_READ=$(cpu_run "$SERVER" 100 200 --read --array 100)
CPU_ARRAY_SET=$(cpu_run "$SERVER" 100 200 --array 100)

# ---- ReadData round trips ------------------------------------------------------------------
start_server "$SERVER"
"$CLIENT" fill --keys 100 >/dev/null
SLEEP_FLOOR=$("$CLIENT" sleep --count 300)
RTT_SEQ=$("$CLIENT" rtt --clients 1 --requests "$RTT_N" || true)
RTT_CONC=$("$CLIENT" rtt --clients 16 --requests $(( RTT_N / 8 )) || true)
note "rtt: $RTT_SEQ / $RTT_CONC / usleep(10000): $SLEEP_FLOOR"
stop_server

# ---- /Data latency and memory per key (debug lines off: filling 100,000 keys with a store
# dump after every SetData would take minutes and says nothing about /Data) ---------------
start_server "$SERVER" QT_LOGGING_RULES=default.debug=false
RSS_QUIET_IDLE=$(rss_kib)
"$CLIENT" fill --keys 10000 >/dev/null
HTTP_10K=$("$CLIENT" http --path /Data --requests 10)
"$CLIENT" fill --keys 100000 >/dev/null
RSS_100K=$(rss_kib)
HTTP_100K=$("$CLIENT" http --path /Data --requests 10)
note "/Data: $HTTP_10K / $HTTP_100K"
stop_server
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- plot ------------------------------------------------------------------------------------
gnuplot <<EOF
set terminal pngcairo size 900,560 font ",11"
set output "$RESULTS/delivered-vs-offered.png"
set title "ortv-data-server: SetData delivered vs offered (${SWEEP_S} s runs, stderr to a file)"
set xlabel "offered SetData datagrams/s"
set ylabel "delivered (logged by the server) datagrams/s"
set key top left
set grid
set xrange [0:*]
set yrange [0:*]
plot x title "delivered = offered" with lines dashtype 2 linecolor rgb "gray", \
     "$RESULTS/sweep.dat" index 0 using 2:3 title "1 key" with linespoints pointtype 7, \
     "$RESULTS/sweep.dat" index 1 using 2:3 title "100 keys" with linespoints pointtype 5, \
     "$RESULTS/sweep.dat" index 2 using 2:3 title "1,000 keys" with linespoints pointtype 9
EOF

# ---- table -----------------------------------------------------------------------------------
ms() { field "$1" "$2"; }
{
echo "| Measure | Result |"
echo "|---|---|"
for keys in 1 100 1000; do
    echo "| Zero-loss SetData rate, ${keys}-key store (${CONFIRM_S} s run) | ${ZERO_LOSS[$keys]}/s${ZERO_NOTE[$keys]:-} (server CPU ${ZERO_CPU[$keys]} µs per SetData at that rate) |"
done
echo "| 40,000 SetData/s for 5 s, 100-key store | sent $(field sent "$TARGET_LINE"), logged by the server $(field received "$TARGET_LINE"), lost $(field lost "$TARGET_LINE"), kernel drops $(field kernel_drops "$TARGET_LINE"), caught up $(field drain_ms "$TARGET_LINE") ms after the last |"
for keys in 1 100 1000; do
    echo "| CPU per SetData, ${keys}-key store (${CPU_RATE[$keys]}/s) | ${CPU_NEW[$keys]} µs (item by item: ${CPU_OLD[$keys]} µs, $(calc "${CPU_OLD[$keys]} / ${CPU_NEW[$keys]}" | xargs printf '%.1f')× as much) |"
done
echo "| CPU per SetData, 1000-key store (2000/s), glibc trim threshold 16 MiB | $CPU_NEW_TUNED µs (item by item: $CPU_OLD_TUNED µs, $(calc "$CPU_OLD_TUNED / $CPU_NEW_TUNED" | xargs printf '%.1f')× as much) |"
echo "| CPU per ReadData, 100-key store (10,000/s) | $CPU_READ µs |"
echo "| CPU per command, 100 ReadData per datagram (200 datagrams/s) | $CPU_ARRAY_READ µs |"
echo "| CPU per command, 100 SetData per datagram, 100-key store (200 datagrams/s) | $CPU_ARRAY_SET µs |"
echo "| ReadData round trip, sequential ($(ms samples "$RTT_SEQ") requests) | p50 $(ms p50_ms "$RTT_SEQ") ms, p99 $(ms p99_ms "$RTT_SEQ") ms, max $(ms max_ms "$RTT_SEQ") ms |"
echo "| ReadData round trip, 16 concurrent clients ($(ms samples "$RTT_CONC") requests) | p50 $(ms p50_ms "$RTT_CONC") ms, p99 $(ms p99_ms "$RTT_CONC") ms, max $(ms max_ms "$RTT_CONC") ms |"
echo "| A 10 ms sleep of the loop, measured alone (300 sleeps) | p50 $(ms p50_ms "$SLEEP_FLOOR") ms, p99 $(ms p99_ms "$SLEEP_FLOOR") ms, max $(ms max_ms "$SLEEP_FLOOR") ms |"
echo "| GET /Data, 10,000 keys ($(ms bytes "$HTTP_10K") bytes) | p50 $(ms p50_ms "$HTTP_10K") ms, max $(ms max_ms "$HTTP_10K") ms |"
echo "| GET /Data, 100,000 keys ($(ms bytes "$HTTP_100K") bytes) | p50 $(ms p50_ms "$HTTP_100K") ms, max $(ms max_ms "$HTTP_100K") ms |"
echo "| Resident memory, idle | $(( RSS_IDLE / 1024 )) MiB ($RSS_IDLE KiB) |"
echo "| Resident memory per key (100,000 keys) | $(calc "($RSS_100K - $RSS_QUIET_IDLE) * 1024 / 100000" | xargs printf '%.0f') bytes |"
echo
echo "net.core.rmem_max during the run: $RMEM (before: ${BENCH_OLD_RMEM:-unknown}, restored afterwards)."
echo "UDP socket of the server: $SKMEM (rb = receive buffer granted, bytes)."
echo "CPU per SetData, single runs (µs): 1 key ${CPU_RUNS[1]}; 100 keys ${CPU_RUNS[100]}; 1,000 keys ${CPU_RUNS[1000]}."
echo "Load average before / after: $LOAD_BEFORE / $LOAD_AFTER ($(nproc) CPUs)."
} | tee "$RESULTS/results.md"
echo
echo "Plot: $RESULTS/delivered-vs-offered.png, data: $RESULTS/sweep.dat"
fi

# The service's setting: no per-datagram lines.
PACKAGED=QT_LOGGING_RULES=default.debug=false
kib_to_mib() { calc "$1 / 1024" | xargs printf '%.1f'; }

# ---- overload: SetData from one socket at up to twice the zero-loss rate, 1,000 keys, while
# /Status (fresh connection every 100 ms), ReadData (every 20 ms, another socket) and that
# socket's keep-alive frames are watched ---------------------------------------------------------
if want overload; then
    {
    echo "| SetData offered | server CPU | kernel drops | /Status p50 / p99 / max (failed) | ReadData p50 / p99 (lost) | keep-alive frames (period) | RSS start → max |"
    echo "|---|---|---|---|---|---|---|"
    for rate in 40000 80000 120000 160000 320000; do
        seconds=$OVER_S; [ $rate -ge 160000 ] && seconds=$OVER_LONG_S
        start_server "$SERVER" "$PACKAGED"
        "$CLIENT" fill --keys 1000 >/dev/null
        line=$("$CLIENT" overload --keys 1000 --rate $rate --seconds "$seconds" --pid "$PID")
        note "overload $rate/s for $seconds s: $line"
        stop_server
        period="-"
        [ "$(field keepalives "$line")" -ge 2 ] &&
            period="$(field period_min_s "$line")–$(field period_max_s "$line") s"
        echo "| $(field offered_per_s "$line")/s for $seconds s | $(field cpu_pct "$line") % | $(field kernel_drops "$line") | $(field status_p50_ms "$line") / $(field status_p99_ms "$line") / $(field status_max_ms "$line") ms ($(field status_failed "$line") of $(field status_n "$line")) | $(field read_p50_ms "$line") / $(field read_p99_ms "$line") ms ($(field read_lost "$line") of $(( $(field read_n "$line") + $(field read_lost "$line") ))) | $(field keepalives "$line") ($period) | $(kib_to_mib "$(field rss_start_kib "$line")") → $(kib_to_mib "$(field rss_max_kib "$line")") MiB |"
    done
    } | tee "$RESULTS/overload.md"
fi

# ---- peers: endpoints heard once each (1, then 100,000, then 300,000 in all), then SetData
# from a new socket (the newest peer) and the probes over a keep-alive round --------------------
if want peers; then
    start_server "$SERVER" "$PACKAGED"
    "$CLIENT" fill --keys 1000 >/dev/null
    RSS_PEERS_IDLE=$(rss_kib)
    {
    echo "| endpoints heard | CPU per SetData from the newest peer (20,000/s, 3 s) | kernel drops | slowest ReadData / /Status over 31 s (a keep-alive round) | newest peer's keep-alive frame | RSS |"
    echo "|---|---|---|---|---|---|"
    heard=0
    for total in 1 100000 300000; do
        note "$("$CLIENT" peers --first "$heard" --count $(( total - heard )))"
        heard=$total
        cpu=$(flood 1000 20000 3)
        line=$("$CLIENT" probe --seconds 31 --pid "$PID")
        note "peers $total: $cpu / $line"
        echo "| $total | $(field cpu_us_per_cmd "$cpu") µs | $(field kernel_drops "$cpu") | $(field read_max_ms "$line") / $(field status_max_ms "$line") ms | $(field keepalives "$line") (at +$(field keepalive_at_s "$line") s) | $(kib_to_mib "$(rss_kib)") MiB (idle $(kib_to_mib "$RSS_PEERS_IDLE")) |"
    done
    } | tee "$RESULTS/peers.md"
    stop_server
fi

# ---- the trace: CPU per SetData with every line written, 1,000 keys, 2,000/s ---------------
if want trace; then
    BASELINE=$ROOT/build-bench-baseline/build/server/ortv-data-server
    new_runs=; old_runs=; base_runs=
    for _ in 1 2 3; do
        new_runs+=" $(cpu_run "$SERVER" 1000 2000)"
        old_runs+=" $(cpu_run "$OLD_SERVER" 1000 2000)"
        [ -x "$BASELINE" ] && base_runs+=" $(cpu_run "$BASELINE" 1000 2000)"
    done
    {
    echo "| Build | CPU per SetData, trace on, 1,000 keys, 2,000/s (median of 3) | runs |"
    echo "|---|---|---|"
    echo "| this tree | $(median <<<"${new_runs# }") µs |$new_runs |"
    echo "| this tree, lines item by item through the debug stream | $(median <<<"${old_runs# }") µs |$old_runs |"
    [ -z "$base_runs" ] ||
        echo "| ${BENCH_BASELINE:-baseline} | $(median <<<"${base_runs# }") µs |$base_runs |"
    } | tee "$RESULTS/trace.md"
fi

# ---- beside Redis: CPU per command of this server (packaged setting, 1,000 keys) and of
# Debian's redis-server on the same loopback, one after the other in the same run -------------
if want redis; then
    BASELINE=$ROOT/build-bench-baseline/build/server/ortv-data-server
    if [ $QUICK -eq 1 ]; then READS=500; REDIS_N=50000; else READS=3000; REDIS_N=300000; fi
    ours() {  # ours BINARY: one table row (SetData at 40,000/s, 160,000/s; ReadData by 16 clients)
        local binary=$1 name=$2 set_line fast_line read_line
        start_server "$binary" "$PACKAGED"
        "$CLIENT" fill --keys 1000 >/dev/null
        set_line=$(flood 1000 40000 "$CONFIRM_S")
        fast_line=$(flood 1000 160000 "$CONFIRM_S")
        read_line=$("$CLIENT" rtt --clients 16 --requests "$READS" --pid "$PID" || true)
        note "$name: $set_line / $fast_line / $read_line"
        stop_server
        echo "| $name | $(field cpu_us_per_cmd "$set_line") µs (40,000/s); 160,000/s for ${CONFIRM_S} s: $(field sent "$fast_line") sent, kernel drops $(field kernel_drops "$fast_line") | $(field cpu_us_per_cmd "$read_line") µs ($(field per_s "$read_line")/s, p99 $(field p99_ms "$read_line") ms, lost $(field lost "$read_line")) |"
    }
    redis_row() {  # Debian's redis-server, SET then GET by redis-benchmark
        local dir rpid before after line t tck
        local -A cpu rate
        dir=$(mktemp -d)
        redis-server --port 6379 --bind 127.0.0.1 --save '' --appendonly no --dir "$dir" \
            --daemonize no --loglevel warning >/dev/null 2>&1 &
        rpid=$!
        for _ in $(seq 100); do redis-cli -p 6379 ping >/dev/null 2>&1 && break; sleep 0.05; done
        tck=$(getconf CLK_TCK)
        for t in set get; do
            before=$(awk '{ print $14 + $15 }' "/proc/$rpid/stat")
            line=$(redis-benchmark -p 6379 -c 16 -n "$REDIS_N" -r 1000 -d 8 -t "$t" -q 2>/dev/null |
                tr '\r' '\n' | grep 'requests per second' | tail -1)
            after=$(awk '{ print $14 + $15 }' "/proc/$rpid/stat")
            note "redis $t: $line"
            cpu[$t]=$(calc "($after - $before) / $tck * 1e6 / $REDIS_N" | xargs printf '%.2f')
            rate[$t]=$(sed 's/.*: \([0-9.]*\) requests.*/\1/' <<<"$line" | xargs printf '%.0f')
        done
        kill "$rpid"; wait "$rpid" 2>/dev/null || true; rm -rf "$dir"
        echo "| redis-server $(redis-server --version | sed 's/.* v=\([^ ]*\).*/\1/') (redis-benchmark, 16 clients, 1,000 keys) | ${cpu[set]} µs per SET (${rate[set]}/s) | ${cpu[get]} µs per GET (${rate[get]}/s) |"
    }
    {
    echo "| Server | CPU per SetData / SET | CPU per ReadData / GET, 16 clients, one request in flight each |"
    echo "|---|---|---|"
    ours "$SERVER" "this tree"
    [ -x "$BASELINE" ] && ours "$BASELINE" "${BENCH_BASELINE:-baseline}"
    redis_row
    echo
    echo "Load average before: $LOAD_BEFORE, after: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) CPUs)."
    } | tee "$RESULTS/redis.md"
fi

# ---- the service manager's notifications: CPU per SetData with NOTIFY_SOCKET set and not ------
# Status lines every 5 s, and watchdog pings every 100 ms: fifty times the packaged unit's rate.
if want service; then
    NOTIFY=$RESULTS/notify.sock
    rm -f "$NOTIFY"
    python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    print(s.recv(4096).decode().split("=")[0], flush=True)' "$NOTIFY" >"$RESULTS/notify.log" &
    RECEIVER=$!
    on_runs=; off_runs=
    REPEATS=5; [ $QUICK -eq 1 ] && REPEATS=2
    for _ in $(seq $REPEATS); do  # alternating, so both see the same machine
        off_runs+=" $(CPU_S=10; cpu_run "$SERVER" 1000 80000 --env "$PACKAGED")"
        on_runs+=" $(CPU_S=10; cpu_run "$SERVER" 1000 80000 --env "$PACKAGED" \
            --env NOTIFY_SOCKET="$NOTIFY" --env WATCHDOG_USEC=200000)"
    done
    kill "$RECEIVER"; wait "$RECEIVER" 2>/dev/null || true
    CPU_OFF=$(median <<<"${off_runs# }"); CPU_ON=$(median <<<"${on_runs# }")
    {
    echo "| Measure | Result |"
    echo "|---|---|"
    echo "| CPU per SetData, 1,000 keys, 80,000/s for 10 s, median of $REPEATS alternating runs | off $CPU_OFF µs, on $CPU_ON µs: $(calc "($CPU_ON / $CPU_OFF - 1) * 100" | xargs printf '%+.1f') % |"
    echo "| Notifications received in the runs with it on | $(grep -c '^READY' "$RESULTS/notify.log") READY, $(grep -c '^STATUS' "$RESULTS/notify.log") STATUS, $(grep -c '^WATCHDOG' "$RESULTS/notify.log") WATCHDOG, $(grep -c '^STOPPING' "$RESULTS/notify.log") STOPPING |"
    echo
    echo "CPU per SetData, single runs (µs): off$off_runs; on$on_runs. Load average: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) CPUs)."
    } | tee "$RESULTS/service.md"
fi

# ---- the MQTT bridge: the server, mosquitto and ortv-mqtt-bridge under load -----------------
if want bridge; then
    BUILD=$BUILD QUICK=$QUICK "$ROOT/bench/bridge-bench.sh" | tee "$RESULTS/bridge.md"
fi

# ---- the store file: restarts, saves under load, kill -9 ------------------------------------
if want store; then
    BUILD=$BUILD QUICK=$QUICK "$ROOT/bench/store-bench.sh" | tee "$RESULTS/store.md"
fi

# ---- the metrics listener: CPU per SetData with it on (scraped every second) and off, its
# counters against known traffic, and /metrics against /Status under a SetData blast ----------
if want metrics; then
    METRICS_PORT=8090
    metrics_value() {  # metrics_value SERIES: its value in one scrape
        curl -s "http://127.0.0.1:$METRICS_PORT/metrics" | awk -v s="$1" '$1 == s { print $2 }'
    }
    # Scrapes every second as Prometheus would, while the server under test runs.
    scrape_loop() {
        while sleep 1; do curl -s -o /dev/null "http://127.0.0.1:$METRICS_PORT/metrics" || true; done
    }
    on_runs=; off_runs=
    REPEATS=5; [ $QUICK -eq 1 ] && REPEATS=2
    for _ in $(seq $REPEATS); do  # alternating, so both see the same machine
        off_runs+=" $(cpu_run "$SERVER" 1000 80000 --env "$PACKAGED")"
        scrape_loop & SCRAPER=$!
        on_runs+=" $(cpu_run "$SERVER" 1000 80000 --env "$PACKAGED" --env ORTV_METRICS_ADDRESS=$METRICS_PORT)"
        kill "$SCRAPER" 2>/dev/null || true; wait "$SCRAPER" 2>/dev/null || true
    done
    CPU_OFF=$(median <<<"${off_runs# }"); CPU_ON=$(median <<<"${on_runs# }")

    # Known traffic from four sockets, then every counter read back.
    start_server "$SERVER" "$PACKAGED" ORTV_METRICS_ADDRESS=$METRICS_PORT
    SETS=1000000; READS=10000; BAD=1000; [ $QUICK -eq 1 ] && SETS=100000
    COUNTED=$("$CLIENT" counted --sets $SETS --reads $READS --bad $BAD --sockets 4 --rate 50000 || true)
    note "counted: $COUNTED"
    SS_DROPS=$(ss -uamn 'sport = :1234' | grep -o 'skmem:([^)]*)' | grep -o ',d[0-9]*' | tr -d ',d')
    declare -A GOT
    for series in ortv_udp_received_datagrams_total ortv_parse_errors_total \
        'ortv_commands_total{command="SetData"}' 'ortv_commands_total{command="ReadData"}' \
        'ortv_udp_sent_datagrams_total{kind="reply"}' ortv_peers ortv_udp_kernel_drops_total; do
        GOT[$series]=$(metrics_value "$series")
    done
    stop_server
    c_sets=$(field sets "$COUNTED"); c_reads=$(field reads "$COUNTED"); c_bad=$(field bad "$COUNTED")
    verdict() { [ "$1" = "$2" ] && echo "$1 (equal)" || echo "**$1, sent $2**"; }

    # /metrics and /Status, each on a fresh connection every 100 ms, under 160,000 SetData/s.
    start_server "$SERVER" "$PACKAGED" ORTV_METRICS_ADDRESS=$METRICS_PORT
    "$CLIENT" fill --keys 1000 >/dev/null
    BLAST=$("$CLIENT" overload --keys 1000 --rate 160000 --seconds "$OVER_S" --pid "$PID" \
        --metrics $METRICS_PORT || true)
    note "blast: $BLAST"
    stop_server
    {
    echo "| Measure | Result |"
    echo "|---|---|"
    echo "| CPU per SetData, 1,000 keys, 80,000/s, median of $REPEATS alternating runs | off $CPU_OFF µs, on (scraped every second) $CPU_ON µs: $(calc "($CPU_ON / $CPU_OFF - 1) * 100" | xargs printf '%+.1f') % |"
    echo "| Known traffic: $c_sets SetData, $c_reads ReadData, $c_bad bad datagrams from 4 sockets at 50,000/s | datagrams received $(verdict "${GOT[ortv_udp_received_datagrams_total]}" $((c_sets + c_reads + c_bad))); SetData $(verdict "${GOT['ortv_commands_total{command="SetData"}']}" "$c_sets"); ReadData $(verdict "${GOT['ortv_commands_total{command="ReadData"}']}" "$c_reads"); replies $(verdict "${GOT['ortv_udp_sent_datagrams_total{kind="reply"}']}" "$c_reads"); parse errors $(verdict "${GOT[ortv_parse_errors_total]}" "$c_bad"); peers $(verdict "${GOT[ortv_peers]}" 4) |"
    echo "| Kernel drops of the server's socket | /metrics ${GOT[ortv_udp_kernel_drops_total]}, ss -uamn ${SS_DROPS:-?}, the client saw $(field kernel_drops "$COUNTED") |"
    echo "| /metrics vs /Status under $(field offered_per_s "$BLAST") SetData/s for $OVER_S s (fresh connection every 100 ms) | /metrics p50 $(field metrics_p50_ms "$BLAST") / p99 $(field metrics_p99_ms "$BLAST") / max $(field metrics_max_ms "$BLAST") ms ($(field metrics_failed "$BLAST") failed of $(field metrics_n "$BLAST")); /Status p50 $(field status_p50_ms "$BLAST") / p99 $(field status_p99_ms "$BLAST") / max $(field status_max_ms "$BLAST") ms ($(field status_failed "$BLAST") failed); server CPU $(field cpu_pct "$BLAST") % |"
    echo
    echo "CPU per SetData, single runs (µs): off$off_runs; on$on_runs. Load average: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) CPUs)."
    } | tee "$RESULTS/metrics.md"
fi
