#!/usr/bin/env bash
# The MQTT bridge's part of bench.sh (./bench.sh --only bridge): the Release server, Debian's
# mosquitto (its own configuration, defaults otherwise) and ortv-mqtt-bridge on loopback, loaded
# and measured by bench/ortv-bridge-bench. Prints a Markdown table on standard output and the
# raw result lines on standard error.
#   - 10,000 keys, 1,000 changes a second spread over them at random: the time from each change
#     to its value (or a later one of the key) on PREFIX/data/, the bridge's CPU and memory, and
#     the server's /Status latency (a fresh connection every 10 ms) without the bridge and with
#     it at --interval 1 and 0.2;
#   - 5,000 messages a second on PREFIX/set/ for 30 s (QoS 1, a new key each): how many the
#     server stored, and how soon each showed on PREFIX/data/;
#   - the same with 10 % of the datagrams to the server's port dropped (nftables), and then
#     again with the broker killed (SIGKILL) and restarted 10 times during the flood: after each
#     restart, how soon every set/ key the server holds shows its value on PREFIX/data/
#     (target: within two intervals), and the bridge's memory; first with a broker that keeps
#     its retained messages (persistence, saved every second), then with one that loses them.
# Runs inside bench.sh's private network namespace (it binds the fixed ports 1234, 8080 and
# 1883): BUILD is bench.sh's Release build, QUICK=1 makes the runs shorter.
set -euo pipefail
BUILD=${BUILD:?BUILD: the Release build directory of bench.sh}
QUICK=${QUICK:-0}
[ "$(ip -o link | awk -F": " '{ print $2 }')" = lo ] ||
    { echo "bridge-bench.sh: run it through bench.sh, in a private network namespace" >&2; exit 1; }
SERVER=$BUILD/server/ortv-data-server
BRIDGE=$BUILD/bridge/ortv-mqtt-bridge
TOOL=$BUILD/bench/ortv-bridge-bench
for f in "$SERVER" "$BRIDGE" "$TOOL"; do [ -x "$f" ] || { echo "missing $f" >&2; exit 1; }; done
command -v mosquitto >/dev/null || { echo "bridge-bench.sh needs mosquitto" >&2; exit 1; }

if [ "$QUICK" = 1 ]; then CHANGE_S=5; SET_S=5; else CHANGE_S=30; SET_S=30; fi
DIR=$(mktemp -d /dev/shm/ortv-bridge-bench.XXXXXX)
PIDS=()
stop_all() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    PIDS=()
}
trap 'stop_all; rm -rf "$DIR"' EXIT

note() { echo "$*" >&2; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
# until_up SECONDS COMMAND...: polls every 50 ms.
until_up() {
    local end=$((SECONDS + $1)); shift
    until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.05; done
}
listening() { ss -Hltn "sport = :$1" | grep -q .; }

start_broker() {  # start_broker [PERSISTENCE]: true keeps the retained messages, saved every second
    cat >"$DIR/mosquitto.conf" <<EOF
listener 1883 127.0.0.1
allow_anonymous true
user root
persistence ${1:-false}
persistence_location $DIR/
autosave_interval 1
log_dest file $DIR/mosquitto.log
EOF
    : >"$DIR/mosquitto.log"
    mosquitto -c "$DIR/mosquitto.conf" 2>/dev/null &
    BROKER_PID=$!
    PIDS+=($!)
    until_up 10 listening 1883 || { note "mosquitto did not start"; exit 1; }
}
# The server as its service runs it: no per-datagram lines.
start_server() {
    QT_LOGGING_RULES=default.debug=false "$SERVER" >/dev/null 2>>"$DIR/server.log" &
    SERVER_PID=$!
    PIDS+=("$SERVER_PID")
    until_up 10 eval 'listening 8080 && ss -Hlun "sport = :1234" | grep -q .' ||
        { note "server did not start"; exit 1; }
}
start_bridge() {  # start_bridge INTERVAL
    : >"$DIR/bridge.log"
    "$BRIDGE" --interval "$1" 2>>"$DIR/bridge.log" &
    BRIDGE_PID=$!
    PIDS+=("$BRIDGE_PID")
    until_up 10 eval 'grep -q "connected to the MQTT broker" "$DIR/bridge.log" &&
        grep -q "data server answers" "$DIR/bridge.log"' ||
        { note "bridge did not connect: $(cat "$DIR/bridge.log")"; exit 1; }
}
# Warnings of the bridge and messages the broker dropped, for the notes under the table.
dropped_by_broker() { grep -c "dropped" "$DIR/mosquitto.log" || true; }
bridge_warnings() { grep -c "^warning:" "$DIR/bridge.log" || true; }

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
declare -A LINE

# ---- 10,000 keys, 1,000 changes a second: without the bridge, then with it -----------------
start_server
LINE[none]=$("$TOOL" changes --keys 10000 --rate 1000 --seconds "$CHANGE_S" --no-mqtt 1 \
    --status-every 10 --server-pid "$SERVER_PID") || true
note "changes without the bridge: ${LINE[none]}"
stop_all
for interval in 1 0.2; do
    start_broker
    start_server
    start_bridge "$interval"
    LINE[$interval]=$("$TOOL" changes --keys 10000 --rate 1000 --seconds "$CHANGE_S" \
        --status-every 10 --server-pid "$SERVER_PID" --bridge-pid "$BRIDGE_PID") || true
    note "changes, --interval $interval: ${LINE[$interval]} broker_drops=$(dropped_by_broker) bridge_warnings=$(bridge_warnings)"
    stop_all
done

# ---- 5,000 set messages a second ------------------------------------------------------------
# sets_through_bridge VAR: the tool's line for 5,000 set messages a second through a fresh
# broker, server and bridge (interval 1 s), in VAR; everything still runs afterwards.
sets_through_bridge() {
    start_broker
    start_server
    start_bridge 1
    printf -v "$1" '%s' \
        "$("$TOOL" sets --rate 5000 --seconds "$SET_S" --qos 1 --bridge-pid "$BRIDGE_PID" || true)"
}
sets_through_bridge SETS
SET_DROPS=$(dropped_by_broker) SET_WARNINGS=$(bridge_warnings)
note "sets: $SETS broker_drops=$SET_DROPS bridge_warnings=$SET_WARNINGS"
stop_all

# ---- the same with 10 % of the datagrams to the server lost, then with broker restarts -------
# Dropped on the way out of loopback: the bridge's SetData datagrams (and any other to 1234).
lossy() {
    nft add table inet bridgebench &&
        nft add chain inet bridgebench out '{ type filter hook output priority 0 ; }' &&
        nft add rule inet bridgebench out udp dport 1234 numgen random mod 10 == 0 counter drop
}
unlossy() { nft delete table inet bridgebench 2>/dev/null || true; }
dropped_datagrams() { nft list table inet bridgebench | sed -n 's/.*counter packets \([0-9]*\).*/\1/p'; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

lossy
sets_through_bridge LOSSY
LOSSY_DROPPED=$(dropped_datagrams) LOSSY_WARNINGS=$(bridge_warnings)
LOSSY_RSS=$(rss_kib "$BRIDGE_PID")
note "sets, 10 % lost: $LOSSY datagrams_dropped=$LOSSY_DROPPED bridge_warnings=$LOSSY_WARNINGS rss_kib=$LOSSY_RSS"
stop_all
unlossy

if [ "$QUICK" = 1 ]; then RESTARTS=3; else RESTARTS=10; fi
declare -A KILLS WORST_EQUAL NOT_EQUAL PEAK_RSS STEADY_RSS KILL_WARNINGS
restarts() {  # restarts PERSISTENCE
    local p=$1 i ms rss check
    rm -f "$DIR/mosquitto.db"
    lossy
    start_broker "$p"
    start_server
    start_bridge 1
    "$TOOL" sets --rate 5000 --seconds "$SET_S" --qos 1 --bridge-pid "$BRIDGE_PID" >"$DIR/kills.out" || true &
    FLOOD_PID=$!
    WORST_EQUAL[$p]=0 NOT_EQUAL[$p]=0 PEAK_RSS[$p]=0 STEADY_RSS[$p]=0
    sleep 2
    for i in $(seq "$RESTARTS"); do
        # The bridge's memory just before the kill, against its peak after the restarts.
        rss=$(rss_kib "$BRIDGE_PID")
        [ "$rss" -gt "${STEADY_RSS[$p]}" ] && STEADY_RSS[$p]=$rss
        kill -9 "$BROKER_PID"; wait "$BROKER_PID" 2>/dev/null || true
        start_broker "$p"
        check=$("$TOOL" retained --within 2000) || NOT_EQUAL[$p]=$((NOT_EQUAL[$p] + 1))
        note "broker restart $i (persistence $p): $check"
        ms=$(field equal_after_ms "$check")
        [ "${ms:--1}" != -1 ] && [ "$ms" -gt "${WORST_EQUAL[$p]}" ] && WORST_EQUAL[$p]=$ms
        rss=$(rss_kib "$BRIDGE_PID")
        [ "$rss" -gt "${PEAK_RSS[$p]}" ] && PEAK_RSS[$p]=$rss
        sleep 0.5
    done
    wait "$FLOOD_PID" || true
    KILLS[$p]=$(cat "$DIR/kills.out")
    KILL_WARNINGS[$p]=$(bridge_warnings)
    grep '^warning' "$DIR/bridge.log" | cut -c1-90 | sort | uniq -c | sort -rn | head -3 >&2 || true
    note "sets, 10 % lost, $RESTARTS broker restarts, persistence $p: ${KILLS[$p]} steady_rss_kib=${STEADY_RSS[$p]} peak_rss_kib=${PEAK_RSS[$p]} worst_equal_ms=${WORST_EQUAL[$p]} not_equal=${NOT_EQUAL[$p]} bridge_warnings=${KILL_WARNINGS[$p]}"
    stop_all
    unlossy
}
restarts true
restarts false
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- table -----------------------------------------------------------------------------------
kib_to_mib() { awk "BEGIN { printf \"%.1f\", $1 / 1024 }"; }
status() { echo "$(field status_p50_ms "$1") / $(field status_p99_ms "$1") / $(field status_max_ms "$1") ms ($(field status_n "$1") requests, $(field status_failed "$1") failed)"; }
echo "| 10,000 keys, 1,000 changes/s for $CHANGE_S s | change on the broker p50 / p99 / max | changes shown (missing) | bridge CPU | bridge RSS (peak) | server CPU | /Status p50 / p99 / max |"
echo "|---|---|---|---|---|---|---|"
echo "| without the bridge | - | - | - | - | $(field server_cpu_pct "${LINE[none]}") % | $(status "${LINE[none]}") |"
for interval in 1 0.2; do
    l=${LINE[$interval]}
    echo "| bridge --interval $interval | $(field p50_ms "$l") / $(field p99_ms "$l") / $(field max_ms "$l") ms | $(field shown "$l") of $(field changes "$l") ($(field missing "$l")) | $(field bridge_cpu_pct "$l") % | $(kib_to_mib "$(field bridge_rss_kib "$l")") MiB ($(kib_to_mib "$(field bridge_hwm_kib "$l")")) | $(field server_cpu_pct "$l") % | $(status "$l") |"
done
echo
echo "| 5,000 set messages/s for $SET_S s (QoS 1, a new key each) | result |"
echo "|---|---|"
echo "| published / acknowledged by the broker | $(field published "$SETS") / $(field acknowledged "$SETS") ($(field per_s "$SETS")/s) |"
echo "| stored in the server (lost) | $(field stored "$SETS") ($(field lost "$SETS")) |"
echo "| last message on data/ after | $(field last_shown_ms "$SETS") ms |"
echo "| each message on data/ after, p50 / p99 / max | $(field p50_ms "$SETS") / $(field p99_ms "$SETS") / $(field max_ms "$SETS") ms ($(field shown "$SETS") shown) |"
echo "| bridge CPU, peak RSS | $(field bridge_cpu_pct "$SETS") %, $(kib_to_mib "$(field bridge_hwm_kib "$SETS")") MiB |"
echo "| kernel UDP drops, broker's drop warnings, bridge warnings | $(field kernel_drops "$SETS"), $SET_DROPS, $SET_WARNINGS |"
echo
echo "| 5,000 set messages/s for $SET_S s, 10 % of the datagrams to the server dropped | result |"
echo "|---|---|"
echo "| stored in the server (lost) | $(field stored "$LOSSY") of $(field published "$LOSSY") ($(field lost "$LOSSY")); $LOSSY_DROPPED datagrams dropped |"
echo "| last message on data/ after | $(field last_shown_ms "$LOSSY") ms |"
echo "| each message on data/ after, p50 / p99 / max | $(field p50_ms "$LOSSY") / $(field p99_ms "$LOSSY") / $(field max_ms "$LOSSY") ms |"
echo "| bridge CPU, peak RSS, warnings | $(field bridge_cpu_pct "$LOSSY") %, $(kib_to_mib "$(field bridge_hwm_kib "$LOSSY")") MiB, $LOSSY_WARNINGS |"
echo
echo "| the same, the broker killed (SIGKILL) and restarted $RESTARTS times | persistence (autosave every 1 s) | no persistence |"
echo "|---|---|---|"
echo "| every retained data/ value equal to the server's after (worst; restarts missing it within 2 s) | ${WORST_EQUAL[true]} ms (${NOT_EQUAL[true]}) | ${WORST_EQUAL[false]} ms (${NOT_EQUAL[false]}) |"
echo "| bridge RSS before a kill / after its restart (highest of each) | $(kib_to_mib "${STEADY_RSS[true]}") / $(kib_to_mib "${PEAK_RSS[true]}") MiB | $(kib_to_mib "${STEADY_RSS[false]}") / $(kib_to_mib "${PEAK_RSS[false]}") MiB |"
echo "| bridge peak RSS over the run (without the restarts: $(kib_to_mib "$(field bridge_hwm_kib "$LOSSY")") MiB; the store grows to 150,000 keys either way) | $(kib_to_mib "$(field bridge_hwm_kib "${KILLS[true]}")") MiB | $(kib_to_mib "$(field bridge_hwm_kib "${KILLS[false]}")") MiB |"
echo "| stored in the server (lost, most inside the killed broker), bridge warnings | $(field stored "${KILLS[true]}") ($(field lost "${KILLS[true]}")), ${KILL_WARNINGS[true]} | $(field stored "${KILLS[false]}") ($(field lost "${KILLS[false]}")), ${KILL_WARNINGS[false]} |"
echo
echo "Load average before / after: $LOAD_BEFORE / $LOAD_AFTER ($(nproc) CPUs)."
