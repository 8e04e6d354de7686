#!/usr/bin/env bash
# The store file (ORTV_STORE_FILE) under load; run by bench.sh --only store inside its private
# network namespace, with BUILD set. Prints Markdown tables:
#  - a planned restart (SIGTERM, start again) at 1,000 and 100,000 keys: every value back, the
#    file's size, the final save's and the start-up's time;
#  - ReadData and /Status latency under 1,000 SetData/s over 100,000 keys, saving every second,
#    against the same run with the file off, and the fork's time (strace);
#  - STORE_KILLS (default 200) kill -9 at random moments under 2,000 SetData/s over 1,000 keys:
#    the server starts every time and restores the store as it was at one moment, no older than
#    the save interval (STORE_KILL_SECONDS, default 2) plus 1 s.
# The files go to a directory on disk (STORE_DIR, default /var/tmp), so fsync costs what it costs.
set -euo pipefail
SERVER=$BUILD/server/ortv-data-server
CLIENT=$BUILD/bench/ortv-bench
KILLS=${STORE_KILLS:-200}
KILL_S=${STORE_KILL_SECONDS:-2}
LOAD_S=20; [ "${QUICK:-0}" = 1 ] && LOAD_S=8
DIR=$(mktemp -d "${STORE_DIR:-/var/tmp}/ortv-store-bench.XXXXXX")
LOG=$DIR/stderr.log
PID=
cleanup() { [ -n "$PID" ] && kill -9 "$PID" 2>/dev/null; rm -rf "$DIR"; }
trap cleanup EXIT
note() { echo "$*" >&2; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
now_ns() { date +%s%N; }
up() { curl -s -m 1 http://127.0.0.1:8080/Status >/dev/null 2>&1; }
# start [VAR=value ...]: starts the server; START_MS: the ms until /Status answered.
start() {
    local t0; t0=$(now_ns)
    env QT_LOGGING_RULES=default.debug=false "$@" "$SERVER" >/dev/null 2>>"$LOG" &
    PID=$!
    for _ in $(seq 1000); do
        up && { START_MS=$(( ($(now_ns) - t0) / 1000000 )); return 0; }
        sleep 0.01
    done
    note "server did not start"; return 1
}
# stop SIGNAL; STOP_MS: the ms until the process ended.
stop() {
    local t0; t0=$(now_ns)
    kill -s "$1" "$PID"; wait "$PID" 2>/dev/null || true; PID=
    STOP_MS=$(( ($(now_ns) - t0) / 1000000 ))
}
values() { curl -s -m 30 http://127.0.0.1:8080/Data | { grep -o '{"bench\.key\.[^}]*}' || true; } | sort; }
STORE=(ORTV_STORE_FILE="$DIR/store")

# ---- planned restart ----------------------------------------------------------------------------
echo "| keys | every value back | file | final save (SIGTERM to exit) | start-up with the file (empty) | bytes a day, changing all the time, saved every 1 / 5 / 10 / 30 s |"
echo "|---|---|---|---|---|---|"
for keys in 1000 100000; do
    rm -f "$DIR"/store*
    start; empty_ms=$START_MS; stop TERM
    start "${STORE[@]}"
    "$CLIENT" fill --keys $keys >/dev/null
    values > "$DIR/before"
    stop TERM; stop_ms=$STOP_MS
    size=$(stat -c %s "$DIR/store")
    start "${STORE[@]}"; start_ms=$START_MS
    values > "$DIR/after"
    same=no; cmp -s "$DIR/before" "$DIR/after" && [ "$(wc -l < "$DIR/before")" = $keys ] && same=yes
    stop KILL
    per_day=""
    for s in 1 5 10 30; do per_day+="$(awk "BEGIN { printf \"%.2f GB\", $size * 86400 / $s / 1e9 }") / "; done
    echo "| $keys | $same | $size bytes | $stop_ms ms | $start_ms ms ($empty_ms ms) | ${per_day% / } |"
done

# ---- latency during saves --------------------------------------------------------------------
# Every SetData changes a value (ortv-bench sequence), so with the file on a save starts every
# second; ortv-bench probe asks /Status every 100 ms and ReadData every 20 ms meanwhile.
echo
echo "| 100,000 keys, 1,000 changing SetData/s for $LOAD_S s | kernel drops | /Status p50 / p99 / max | ReadData p50 / p99 / max | saves |"
echo "|---|---|---|---|---|"
for mode in off on; do
    rm -f "$DIR"/store*
    if [ $mode = on ]; then start "${STORE[@]}" ORTV_STORE_SAVE_SECONDS=1
    else start; fi
    "$CLIENT" fill --keys 100000 >/dev/null
    "$CLIENT" sequence --keys 100000 --rate 1000 --seconds $((LOAD_S + 1)) --base 1000000 >/dev/null &
    loader=$!
    line=$("$CLIENT" probe --seconds $LOAD_S --pid "$PID")
    wait $loader || true
    note "store $mode: $line"
    saves=-
    [ $mode = on ] && saves="every 1 s, $(stat -c %s "$DIR/store") bytes each"
    echo "| file $mode | $(field kernel_drops "$line") | $(field status_p50_ms "$line") / $(field status_p99_ms "$line") / $(field status_max_ms "$line") ms | $(field read_p50_ms "$line") / $(field read_p99_ms "$line") / $(field read_max_ms "$line") ms | $saves |"
    if [ $mode = on ] && command -v strace >/dev/null; then
        # The pass that starts a save pays for the fork (copying the page tables): its time in
        # the kernel, from strace -T (strace slows the server's other calls, not this one).
        "$CLIENT" sequence --keys 100000 --rate 1000 --seconds 7 --base 2000000 >/dev/null &
        loader=$!
        timeout 6 strace -q -e trace=clone,clone3,fork,vfork -T -p "$PID" -o "$DIR/strace" || true
        wait $loader || true
        times=$(grep -o '<[0-9.]*>' "$DIR/strace" | tr -d '<>' | sort -g) || true
        echo "| the fork that starts a save (strace -T, $(wc -w <<<"$times") saves) | | | slowest $(awk '{ m = $1 * 1000 } END { printf "%.2f", m }' <<<"$times") ms | |"
    fi
    stop KILL
done

# ---- kill -9 under load -----------------------------------------------------------------------
rate=2000 keys=1000 ok=0 early=0 empty_bad=0 torn=0 stale=0 failed_start=0 max_lag=0
for round in $(seq "$KILLS"); do
    rm -f "$DIR"/store*
    base=$((round * 10000000))
    start "${STORE[@]}" ORTV_STORE_SAVE_SECONDS=$KILL_S || exit 1
    started=$(now_ns)
    wait_ms=$(( 200 + RANDOM % (3000 * KILL_S + 1000) ))
    "$CLIENT" sequence --keys $keys --rate $rate --seconds $(( wait_ms / 1000 + 2 )) --base $base \
        > "$DIR/seq" &
    loader=$!
    sleep "$(awk "BEGIN { print $wait_ms / 1000 }")"
    killed=$(now_ns)
    kill -9 "$PID"; wait "$PID" 2>/dev/null || true; PID=
    kill "$loader" 2>/dev/null; wait "$loader" 2>/dev/null || true
    seq_start=$(sed -n 's/^start_ns=//p' "$DIR/seq")
    if ! start "${STORE[@]}" ORTV_STORE_SAVE_SECONDS=$KILL_S; then
        failed_start=$((failed_start + 1)); continue
    fi
    # n of each restored key, then: one moment (every key holds the last n at or before the
    # largest), not older than the interval plus 1 s, and not empty once a save was due.
    verdict=$(values | sed -n 's/{"bench\.key\.\([0-9]*\)":"\([0-9]*\)\.5"}/\1 \2/p' |
        awk -v base=$base -v keys=$keys -v rate=$rate -v seq_start="$seq_start" \
            -v killed=$killed -v started=$started -v interval=$KILL_S '
        { k[$1 + 0] = $2 - base; if ($2 - base > m) m = $2 - base; n++ }
        END {
            if (n == 0) { print ((killed - started) / 1e9 > interval + 1 ? "empty" : "ok 0"); exit }
            for (key in k) {
                want = m - ((m - key) % keys + keys) % keys
                if (k[key] != want) { print "torn"; exit }
            }
            if (n != (m + 1 < keys ? m + 1 : keys)) { print "torn"; exit }
            lag = (killed - seq_start) / 1e9 - m / rate
            print (lag > interval + 1 ? "stale " : "ok ") lag
        }')
    stop KILL
    case $verdict in
    "ok 0") ok=$((ok + 1)) early=$((early + 1)) ;;
    ok*) ok=$((ok + 1)); lag=${verdict#ok }
         max_lag=$(awk "BEGIN { print ($lag > $max_lag) ? $lag : $max_lag }") ;;
    empty) empty_bad=$((empty_bad + 1)) ;;
    torn) torn=$((torn + 1)) ;;
    stale*) stale=$((stale + 1)) ;;
    esac
    note "kill $round after $wait_ms ms: $verdict"
done
echo
echo "| kill -9 at random moments (0.2 to $((3 * KILL_S + 1)) s after start), 2,000 SetData/s over 1,000 keys, saving every $KILL_S s | started again | one moment of the store, no older than $((KILL_S + 1)) s (of them empty: killed before a save was due) | empty after a save was due | not one moment | too old | oldest restored |"
echo "|---|---|---|---|---|---|---|"
echo "| $KILLS | $((KILLS - failed_start)) | $ok ($early) | $empty_bad | $torn | $stale | $(printf '%.2f' "$max_lag") s |"
