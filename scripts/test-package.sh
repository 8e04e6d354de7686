#!/usr/bin/env bash
# scripts/test-package.sh RELEASE PKGDIR: the packages of one release under a booted systemd.
#
# Boots a copy of a minimal root of RELEASE (cached, with systemd and journald) with
# systemd-nspawn -b and a private network, installs PKGDIR's amd64 packages in it with apt-get
# and checks the service: enabled for boot, running and staying up, answering (also to the
# installed ortv), quiet in the journal by default and tracing on demand, restarted after a
# kill, gone with its boot link after a purge. The arm64 packages in PKGDIR are checked with
# dpkg-deb. Each of the six packages must be in PKGDIR; of several versions of one, the newest
# counts. Then it upgrades through a signed apt repository (see "upgrade through the signed
# repository" below), from the previous version in PKGDIR/previous/. Prints one line per check
# and exits non-zero on any failure. Needs root. The copy and the container are removed however
# the script ends.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
source scripts/setup.sh
source scripts/roots.sh

[ $# -eq 2 ] || { echo "usage: $0 RELEASE PKGDIR" >&2; exit 2; }
release=$1
pkgdir=$(realpath "$2") || exit 2
check_release "$release" || exit 2
# reprepro, gnupg and python3's web server: the upgrade through the signed repository.
install_missing systemd-container util-linux procps reprepro gnupg python3 || exit 1

UNIT=ortv-data-server.service
failures=0 work="" nspawn="" leader=""
pass() { echo "ok   $release: $*"; }
fail() { echo "FAIL $release: $*"; failures=$((failures + 1)); }
# check DESCRIPTION COMMAND...: one line, ok or FAIL.
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
# Ends the run after a failure the later checks depend on (the trap cleans up).
fatal() { fail "$*"; echo "FAIL $release: further checks skipped"; exit 1; }

# until_true SECONDS COMMAND...: polls the command every 0.2 s until it succeeds or time is up.
until_true() {
    local end=$((SECONDS + $1)); shift
    until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.2; done
}

# newest PACKAGE ARCH: the file of the package's highest version in PKGDIR, or nothing.
newest() {
    local deb best="" best_version="" version
    for deb in "$pkgdir/$1"_*_"$2".deb; do
        [ -e "$deb" ] || continue
        version=$(dpkg-deb -f "$deb" Version) || continue
        if [ -z "$best" ] || dpkg --compare-versions "$version" gt "$best_version"; then
            best=$deb best_version=$version
        fi
    done
    echo "$best"
}
declare -A found
for name in ortv-data-server ortv-client ortv-mqtt-bridge; do
    for arch in amd64 arm64; do
        found[$name $arch]=$(newest "$name" "$arch")
        [ -n "${found[$name $arch]}" ] || fail "no ${name}_*_$arch.deb in $pkgdir"
    done
done

# ---- arm64 packages: inspected, not installed ----------------------------------------------
expected_files() {
    case $1 in
    ortv-data-server) echo ./usr/bin/ortv-data-server ./usr/sbin/ortv-data-server-trace \
        ./usr/lib/systemd/system/$UNIT ./usr/lib/sysctl.d/60-ortv-data-server.conf \
        ./etc/ortv-data-server/logging.ini ./etc/default/ortv-data-server \
        ./usr/share/doc/ortv-data-server/examples/prometheus-alerts.yml ;;
    ortv-client) echo ./usr/bin/ortv ./usr/share/bash-completion/completions/ortv ;;
    ortv-mqtt-bridge) echo ./usr/bin/ortv-mqtt-bridge \
        ./usr/lib/systemd/system/ortv-mqtt-bridge.service ./etc/default/ortv-mqtt-bridge ;;
    esac
}
for name in ortv-data-server ortv-client ortv-mqtt-bridge; do
    deb=${found[$name arm64]}
    [ -n "$deb" ] || continue
    check "$name arm64: Architecture arm64" [ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ]
    check "$name arm64: Depends names the Qt 6 libraries" \
        grep -q 'libqt6core6' <<<"$(dpkg-deb -f "$deb" Depends)"
    [ "$name" != ortv-mqtt-bridge ] || check "$name arm64: Depends names libmosquitto" \
        grep -q 'libmosquitto1' <<<"$(dpkg-deb -f "$deb" Depends)"
    # The HTTP server module keeps no binary compatibility between minor versions: the arm64
    # server is bound to the one it was built with, as the amd64 one is.
    if [ "$name" = ortv-data-server ]; then
        httpserver_bound() { grep -o 'libqt6httpserver6 (<< [^)]*)' <<<"$(dpkg-deb -f "$1" Depends)"; }
        bound=$(httpserver_bound "$deb")
        check "$name arm64: Depends bounds the Qt 6 HTTP server module (${bound:-no bound})" \
            eval '[ -n "$bound" ] && [ "$bound" = "$(httpserver_bound "${found[$name amd64]:-/dev/null}")" ]'
    fi
    contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for f in $(expected_files "$name"); do
        check "$name arm64: holds $f" grep -qx -- "$f" <<<"$contents"
    done
    # The ELF header's machine field (bytes 18-19, little endian): 0xb7 is AArch64.
    for f in $(grep '^\./usr/bin/.' <<<"$contents"); do
        machine=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "$f" | od -An -tx1 -j18 -N2 | tr -d ' ')
        check "$name arm64: $f is an AArch64 binary" [ "$machine" = b700 ]
    done
done

server_deb=${found[ortv-data-server amd64]}
client_deb=${found[ortv-client amd64]}
bridge_deb=${found[ortv-mqtt-bridge amd64]}
[ -n "$server_deb" ] && [ -n "$client_deb" ] && [ -n "$bridge_deb" ] ||
    { echo "FAIL $release: further checks skipped"; exit 1; }

# systemd-nspawn makes the container's mounts from a / that is a mount point; in a chroot (a
# fresh-machine run) / is none, and no container can boot there.
if ! mountpoint -q /; then
    echo "skip $release: no container boots inside a chroot; the booted-systemd checks need a machine"
    [ "$failures" -eq 0 ]
    exit
fi

# ---- a fresh copy of the cached root, with the packages' dependencies downloaded -------------
root=$(release_root "$release" boot systemd systemd-sysv procps) || fatal "no $release root"
# Powers the container off (SIGRTMIN+4 asks systemd for a clean poweroff), waits for nspawn to
# end, kills it if it does not, and removes the copy.
stop_container() {
    if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
        [ -n "$leader" ] && kill -s RTMIN+4 "$leader" 2>/dev/null
        until_true 30 eval '! kill -0 $nspawn 2>/dev/null' ||
            { kill -TERM "$nspawn"; until_true 10 eval '! kill -0 $nspawn 2>/dev/null'; } ||
            kill -KILL "$nspawn"
        wait "$nspawn" 2>/dev/null
    fi
}
cleanup() { stop_repo_server; stop_container; [ -z "$work" ] || rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
# The copy lives in memory when there is room: on disk, removing it waited up to 25 s for I/O.
tmp=/var/tmp
[ "$(df --output=avail -k /dev/shm 2>/dev/null | tail -n 1)" -gt 2000000 ] 2>/dev/null && tmp=/dev/shm
work=$(mktemp -d "$tmp/ortv-pkgtest-$release.XXXXXX") || fatal "no work directory"

start=$SECONDS
cp -a "$root" "$work/root" || fatal "copy of the $release root"
debs=/var/cache/apt/archives
cache=$ROOT_CACHE/$release-boot-debs
mkdir -p "$cache" "$work/root/root/pkgs"
cp "$server_deb" "$client_deb" "$bridge_deb" "$work/root/root/pkgs/"
# Downloaded packages are kept beside the cached root; apt-get only fetches what changed.
cp -ln "$cache"/*.deb "$work/root$debs/" 2>/dev/null || cp -n "$cache"/*.deb "$work/root$debs/" 2>/dev/null
APT=(env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 --no-install-recommends)
pkgs=(/root/pkgs/"$(basename "$server_deb")" /root/pkgs/"$(basename "$client_deb")")
# The bridge goes beside the broker; mosquitto_pub and mosquitto_sub talk to it.
pkgs+=(/root/pkgs/"$(basename "$bridge_deb")" mosquitto mosquitto-clients)
log=$work/download.log
{ in_root "$work/root" apt-get -q update && in_root "$work/root" "${APT[@]}" install --download-only "${pkgs[@]}"; } \
    >"$log" 2>&1 || { tail -n 5 "$log"; fatal "downloading the packages' dependencies"; }
cp -n "$work/root$debs"/*.deb "$cache/" 2>/dev/null
pass "root copied, dependencies downloaded ($((SECONDS - start)) s)"

# ---- boot --------------------------------------------------------------------------------------
systemd-nspawn -q -D "$work/root" -b --register=no --keep-unit --private-network \
    --machine="ortv-pkgtest-$release" \
    </dev/null >"$work/console.log" 2>&1 &
nspawn=$!
# The container's init is the nspawn process's child.
find_leader() {
    leader=$(ps -o pid= --ppid "$nspawn" | tr -d ' ' | head -n 1)
    [ -n "$leader" ] && [ "$(cat /proc/"$leader"/comm 2>/dev/null)" = systemd ]
}
# inside COMMAND...: runs a command in the container's namespaces, root and clean environment.
inside() {
    timeout 120 nsenter -t "$leader" -m -u -i -n -p -r -w \
        /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
until_true 20 find_leader || { tail -n 20 "$work/console.log"; fatal "container did not start"; }
# systemctl talks to the container's systemd through its private socket, there once it runs.
until_true 30 inside test -S /run/systemd/private ||
    { tail -n 20 "$work/console.log"; fatal "container's systemd did not come up"; }
state=$(inside systemctl is-system-running --wait 2>&1)
case $state in
running|degraded) pass "booted with systemd ($state, $((SECONDS - start)) s)" ;;
*) tail -n 20 "$work/console.log"; fatal "container did not boot: $state" ;;
esac
check "journald runs" inside systemctl --quiet is-active systemd-journald.service

# ---- the client alone --------------------------------------------------------------------------
out=$(inside "${APT[@]}" install "/root/pkgs/$(basename "$client_deb")" 2>&1) ||
    { echo "$out" | tail -n 5; fatal "apt-get install of the client"; }
pass "client installed alone"
check "the client did not pull in the server" \
    eval '[[ $(inside dpkg-query -W -f="\${Status}" ortv-data-server 2>/dev/null) != *" installed" ]]'
check "ortv --help runs" eval 'inside ortv --help >/dev/null'
# Sourcing the file registers the completion; bash-completion's helpers are only called on Tab.
check "the bash completion file registers one for ortv" eval \
    '[[ $(inside bash -c ". /usr/share/bash-completion/completions/ortv && complete -p ortv") == *" ortv" ]]'

# ---- the server --------------------------------------------------------------------------------
out=$(inside "${APT[@]}" install "/root/pkgs/$(basename "$server_deb")" 2>&1) ||
    { echo "$out" | tail -n 10; fatal "apt-get install of the server"; }
pass "server installed"
# The container has its own network namespace; net.core.rmem_max belongs to the host's.
rmem=$(inside cat /proc/sys/net/core/rmem_max 2>/dev/null) || rmem=
if [ -z "$rmem" ] || [ "$rmem" -lt 8388608 ]; then
    check "install warned about net.core.rmem_max (${rmem:-unreadable} here)" \
        grep -q 'warning: net.core.rmem_max' <<<"$out"
else
    check "install did not warn about net.core.rmem_max ($rmem)" \
        eval '! grep -q "warning: net.core.rmem_max" <<<"$out"'
fi

main_pid() { inside systemctl show -p MainPID --value "$UNIT"; }
# stays_up SECONDS: active with one and the same PID over that time (Restart=always would show
# a crash loop as "active" with changing PIDs).
stays_up() {
    local pid end=$((SECONDS + $1))
    pid=$(main_pid)
    [ "${pid:-0}" -gt 0 ] || return 1
    while [ $SECONDS -lt $end ]; do
        inside systemctl --quiet is-active "$UNIT" && [ "$(main_pid)" = "$pid" ] || return 1
        sleep 0.5
    done
}
# http_get PATH: the body of a GET, read by its Content-Length (the server keeps the connection).
# In the C locale, where read -N counts bytes as Content-Length does, not UTF-8 characters.
http_get() {
    inside env LC_ALL=C timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080 || exit 1
        printf "GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" "$1" >&3
        length=0
        while IFS= read -r line <&3 && line=${line%$'"'\\r'"'} && [ -n "$line" ]; do
            case ${line,,} in content-length:*) length=${line#*:} length=${length// /} ;; esac
        done
        IFS= read -r -N "$length" body <&3 && printf "%s\n" "$body"' http-get "$1" 2>/dev/null
}
status_answers() {
    grep -q '{"message":"Current Server status","status":"success"}' <<<"$(http_get /Status)"
}
# send_sets KEY: SetData datagrams for KEY.1 to KEY.10, value 1.
send_sets() {
    inside bash -c 'for i in {1..10}; do
        printf "%s" "{\"cmd\":\"SetData\",\"url\":\"$1.$i\",\"data\":\"1\"}" >/dev/udp/127.0.0.1/1234
        done' send-sets "$1"
}
stored() { grep -q "\"$1\"" <<<"$(http_get /Data)"; }
journal() { inside journalctl -q --no-pager -o cat -u "$UNIT"; }
# journal_has REGEX (captured first: grep -q ending early would fail the pipe).
journal_has() { grep -q -- "$1" <<<"$(journal)"; }
# quiet_datagrams KEY: ten SetData are stored and leave the server's journal as it was.
quiet_datagrams() {
    local before after
    inside journalctl -q --sync
    before=$(journal | wc -l)
    send_sets "$1" && until_true 10 stored "$1.10" || return 1
    # journald has read everything the server wrote before it answered /Data once it synced.
    inside journalctl -q --sync
    after=$(journal | wc -l)
    [ "$before" = "$after" ] && ! journal_has "$1"
}
# traced_datagrams KEY: ten SetData give ten RX lines, and the last store line has them all.
traced_datagrams() {
    local key=$1
    send_sets "$key" && until_true 10 stored "$key.10" &&
        until_true 10 eval '[ "$(grep -c "^RX .*$key\." <<<"$(journal)")" = 10 ]' &&
        journal_has "^QHash(.*\"$key\.10\", \"1\")"
}
service_up() { until_true 15 eval 'inside systemctl --quiet is-active "$UNIT" && status_answers'; }

wants=/etc/systemd/system/multi-user.target.wants/$UNIT
check "enabled for boot: systemctl is-enabled says enabled" \
    eval '[ "$(inside systemctl is-enabled "$UNIT")" = enabled ]'
check "enabled for boot: $wants links the unit" \
    inside sh -c '[ -L "$1" ] && [ "$(readlink -f "$1")" = "$(readlink -f "/usr/lib/systemd/system/$2")" ]' \
        is-linked "$wants" "$UNIT"
check "unit is active and keeps its PID for 3 s" stays_up 3
check "/Status answers" service_up
check "the installed ortv pings the installed server" eval 'inside ortv ping -c 1 >/dev/null'
check "the installed ortv sets a value and gets it back" eval \
    'inside ortv set pkgtest.client "42 °C" && [ "$(inside ortv get pkgtest.client)" = "42 °C" ]'
check "journal has \"Listen on port 8080\"" until_true 10 journal_has "^Listen on port 8080$"

# ---- the metrics listener (/etc/default/ortv-data-server sets ORTV_METRICS_ADDRESS=8090) -------
metrics() {
    inside env LC_ALL=C timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/8090 || exit 1
        printf "GET /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n" >&3
        timeout 2 cat <&3; true' 2>/dev/null
}
check "/etc/default/ortv-data-server is a conffile" eval \
    'grep -q "^ /etc/default/ortv-data-server [0-9a-f]" <<<"$(inside dpkg-query -W -f="\${Conffiles}\n" ortv-data-server)"'
check "journal has \"Metrics served on 8090 /metrics\"" \
    until_true 10 journal_has "^Metrics served on 8090 /metrics$"
send_sets pkgtest.metrics
check "/metrics on 8090 counts the datagrams and finds the socket's kernel figures" until_true 10 eval \
    'm=$(metrics) && grep -q "^ortv_commands_total{command=\"SetData\"} [1-9]" <<<"$m" &&
     grep -q "^ortv_udp_kernel_drops_total 0" <<<"$m" && grep -q "^process_resident_memory_bytes " <<<"$m"'
check "ten SetData add no line to the journal (trace off)" quiet_datagrams pkgtest.quiet
# trace_status on|off: what the helper says of the rules file.
trace_status() {
    [[ $(inside ortv-data-server-trace status) == "trace $1"* ]]
}
check "ortv-data-server-trace status says off" trace_status off

# The trace goes on and off with a reload: same process, the values stored before stay.
pid=$(main_pid)
same_server() { service_up && [ "$(main_pid)" = "$pid" ] && stored pkgtest.quiet.10; }
check "ortv-data-server-trace on reloads the server, which keeps its PID and its values" \
    eval 'inside ortv-data-server-trace on >/dev/null && same_server'
check "journal has \"Logging rules reloaded from /etc/ortv-data-server/logging.ini\"" \
    until_true 10 journal_has "^Logging rules reloaded from /etc/ortv-data-server/logging.ini$"
check "with the trace on, ten SetData write their RX and store lines" traced_datagrams pkgtest.trace
check "ortv-data-server-trace status says on" trace_status on
check "ortv-data-server-trace off: quiet again, same PID" \
    eval 'inside ortv-data-server-trace off >/dev/null && same_server && quiet_datagrams pkgtest.off'

# ---- the store file: the values survive restarts, kill -9 and reboots (and upgrades: below) ----
STORE=/var/lib/ortv-data-server/store
# reboot_container: powers the container off (the server saves on SIGTERM) and boots it again
# from the same directory.
reboot_container() {
    kill -s RTMIN+4 "$leader"
    until_true 30 eval '! kill -0 $nspawn 2>/dev/null' || return 1
    wait "$nspawn"
    systemd-nspawn -q -D "$work/root" -b --register=no --keep-unit --private-network \
        --machine="ortv-pkgtest-$release" </dev/null >>"$work/console.log" 2>&1 &
    nspawn=$!
    until_true 20 find_leader && until_true 30 inside test -S /run/systemd/private || return 1
    [[ $(inside systemctl is-system-running --wait 2>&1) == @(running|degraded) ]]
}
# new_server OLD_PID: another server process than OLD_PID runs and answers.
new_server() { service_up && [ "$(main_pid)" != "$1" ]; }
store_file_checks() {
    local pid
    check "/etc/default/ortv-data-server is a conffile" eval \
        'grep -q "^ /etc/default/ortv-data-server [0-9a-f]" <<<"$(inside dpkg-query -W -f="\${Conffiles}\n" ortv-data-server)"'
    send_sets pkgtest.keep && until_true 10 stored pkgtest.keep.10
    pid=$(main_pid)
    inside systemctl restart "$UNIT"
    check "values survive systemctl restart" eval \
        'new_server $pid && stored pkgtest.keep.10 && stored pkgtest.client'
    check "journal has \"Restored N values from $STORE (saved ...)\"" \
        until_true 10 journal_has "^Restored [0-9]* values from $STORE (saved [0-9.]* [0-9:]* UTC)$"
    # Saved within the interval (5 s) while the server runs; keys are stored as plain bytes.
    send_sets pkgtest.kill && until_true 10 stored pkgtest.kill.10
    check "a change is in the store file within the save interval" \
        until_true 15 inside grep -q pkgtest.kill.10 "$STORE"
    pid=$(main_pid)
    inside kill -9 "$pid"
    check "values survive kill -9" until_true 20 eval 'new_server $pid && stored pkgtest.kill.10'
    send_sets pkgtest.boot && until_true 10 stored pkgtest.boot.10
    check "the container powers off and boots again" reboot_container
    check "values survive a reboot" eval 'service_up && stored pkgtest.boot.10 && stored pkgtest.keep.1'
    check "the state directory holds the store file and its backup only" eval \
        '[ "$(inside ls /var/lib/ortv-data-server | tr "\n" " ")" = "store store.bak " ]'
    inside sed -i 's|^ORTV_STORE_FILE=.*|ORTV_STORE_FILE=|' /etc/default/ortv-data-server
    inside systemctl restart "$UNIT"
    check "with ORTV_STORE_FILE empty the values are gone after a restart" eval \
        'service_up && ! stored pkgtest.boot.10'
    inside sed -i "s|^ORTV_STORE_FILE=.*|ORTV_STORE_FILE=$STORE|" /etc/default/ortv-data-server
    inside systemctl restart "$UNIT"
    check "with ORTV_STORE_FILE set again the file's values are back" eval \
        'service_up && stored pkgtest.boot.10'
}
store_file_checks

# ---- what systemd sees: ready when it answers, a status line, a watchdog for a hung loop -------
watchdog_checks() {
    local pid ms status watchdog stopped
    inside systemctl stop "$UNIT"
    ms=$(inside bash -c 's=$(date +%s%N); systemctl start "$1" && echo $(( ($(date +%s%N) - s) / 1000000 ))'         start "$UNIT")
    check "systemctl start returns when the server answers (Type=notify, ${ms:-?} ms)"         eval '[ -n "$ms" ] && status_answers && stored pkgtest.boot.10'
    status=$(inside systemctl show -p StatusText --value "$UNIT")
    check "systemctl status shows the server's status line ($status)"         grep -Eq '^[0-9]+ keys, [0-9]+ peers, [0-9]+ datagrams/s$' <<<"$status"
    check "systemctl status shows it" eval \
        'grep -q "Status: \"[0-9]* keys, " <<<"$(inside systemctl status --no-pager "$UNIT")"'
    watchdog=$(inside systemctl show -p WatchdogUSec --value "$UNIT")
    pid=$(main_pid)
    inside kill -STOP "$pid"
    stopped=$SECONDS
    check "a stopped (SIGSTOP) server is restarted within the watchdog's $watchdog and 2 s" \
        until_true 12 eval 'p=$(main_pid) && [ "${p:-0}" -gt 0 ] && [ "$p" != "$pid" ] && status_answers'
    check "and comes back with its values ($((SECONDS - stopped)) s)" stored pkgtest.boot.10
}
watchdog_checks

# ---- the MQTT bridge, beside the server and the broker -------------------------------------------
out=$(inside "${APT[@]}" install mosquitto mosquitto-clients \
    "/root/pkgs/$(basename "$bridge_deb")" 2>&1) ||
    { echo "$out" | tail -n 10; fatal "apt-get install of the bridge and mosquitto"; }
pass "bridge and mosquitto installed"
BRIDGE=ortv-mqtt-bridge.service
bridge_failures=$failures
bridge_journal() { inside journalctl -q --no-pager -o cat -u "$BRIDGE"; }
# mqtt_value TOPIC: the topic's retained message, or nothing within 2 s. The address, not
# "localhost": a minimal root has no /etc/hosts.
mqtt_value() { inside mosquitto_sub -h 127.0.0.1 -t "$1" -C 1 -W 2 2>/dev/null; }
check "the bridge did not pull in the server's package" \
    eval '! grep -q ortv-data-server <<<"$(dpkg-deb -f "$bridge_deb" Depends)"'
check "/etc/default/ortv-mqtt-bridge is a conffile" eval \
    'grep -q "^ /etc/default/ortv-mqtt-bridge [0-9a-f]" <<<"$(inside dpkg-query -W -f="\${Conffiles}\n" ortv-mqtt-bridge)"'
check "bridge service is enabled and active" until_true 15 eval \
    'inside systemctl --quiet is-enabled "$BRIDGE" && inside systemctl --quiet is-active "$BRIDGE"'
check "bridge says online and the server up" until_true 15 eval \
    '[ "$(mqtt_value ortv/bridge)" = online ] && [ "$(mqtt_value ortv/server)" = up ]'
inside bash -c 'printf "%s" "{\"cmd\":\"SetData\",\"url\":\"pkgtest/bridge\",\"data\":\"42\"}" \
    >/dev/udp/127.0.0.1/1234'
check "a value set on the server is retained on ortv/data/" until_true 15 eval \
    '[ "$(mqtt_value ortv/data/pkgtest/bridge)" = 42 ]'
inside mosquitto_pub -h 127.0.0.1 -q 1 -t ortv/set/pkgtest/from-mqtt -m 'über MQTT'
check "a value published on ortv/set/ is stored in the server" until_true 15 eval \
    'grep -qF "\"pkgtest/from-mqtt\":\"über MQTT\"" <<<"$(http_get /Data)"'
check "the bridge's journal holds state lines only" eval \
    '! grep -qv -e "^ortv-mqtt-bridge 1" -e "^connected to the MQTT broker" -e "^data server answers" \
        -e "not reachable" -e "data server down" \
        <<<"$(inside journalctl -q --no-pager -o cat _SYSTEMD_UNIT="$BRIDGE")"'
# What the bridge said, when any of its checks failed.
[ "$failures" -eq "$bridge_failures" ] || bridge_journal | tail -n 20

pid=$(main_pid)
inside kill -9 "$pid"
check "kill -9 is followed by a new server process" until_true 15 eval \
    'p=$(main_pid) && [ "${p:-0}" -gt 0 ] && [ "$p" != "$pid" ] && status_answers'

# Purge with the trace on, so that the changed rules file has to go too.
inside ortv-data-server-trace on >/dev/null
files=$(inside dpkg-query -L ortv-data-server | grep -E '/(bin|sbin|system|sysctl\.d)/.')
out=$(inside "${APT[@]}" purge ortv-data-server 2>&1) || { echo "$out" | tail -n 5; fail "apt-get purge"; }
gone() {
    ! inside systemctl --quiet is-active "$UNIT" &&
        ! inside sh -c 'grep -qx ortv-data-serve /proc/[0-9]*/comm' 2>/dev/null &&
        inside sh -c 'for f; do [ ! -e "$f" ] && [ ! -L "$f" ] || exit 1; done' gone $files \
            /etc/systemd/system/multi-user.target.wants/$UNIT /etc/systemd/system/$UNIT.d \
            /etc/ortv-data-server &&
        [ -z "$(inside systemctl list-unit-files --no-legend "$UNIT")" ]
}
check "purge stopped the server and removed its files, boot link, drop-ins and rules" gone
check "purge removed the stored values" \
    inside sh -c '[ ! -e /var/lib/ortv-data-server ] && [ ! -e /var/lib/private/ortv-data-server ]'
check "ortv --help still runs after the server's purge" eval 'inside ortv --help >/dev/null'
out=$(inside "${APT[@]}" purge ortv-mqtt-bridge 2>&1) ||
    { echo "$out" | tail -n 5; fail "apt-get purge ortv-mqtt-bridge"; }
check "purge stopped the bridge and removed its files, settings and links" eval \
    '! inside systemctl --quiet is-active "$BRIDGE" &&
     inside sh -c "for f; do [ ! -e \"\$f\" ] && [ ! -L \"\$f\" ] || exit 1; done" gone \
        /usr/bin/ortv-mqtt-bridge /etc/default/ortv-mqtt-bridge \
        /etc/systemd/system/multi-user.target.wants/$BRIDGE &&
     [ -z "$(inside systemctl list-unit-files --no-legend "$BRIDGE")" ]'
check "the broker says the bridge is offline" eval '[ "$(mqtt_value ortv/bridge)" = offline ]'

# ---- upgrade through the signed repository -----------------------------------------------------
# A repository made with scripts/apt-repo.sh and a key made here holds the previous version
# (PKGDIR/previous/, the same source as 1.0.0-0); a web server started in the container's
# network serves it. The board installs the server and the bridge from it as a board does,
# changes their conffiles and stores values; the current packages go into the repository and
# apt-get upgrade (unattended, --force-confold) must restart the server once, keep it enabled,
# keep the changed conffiles and, with the store file, the values. A copy of the repository
# whose InRelease was changed after signing must be refused.
REPO_PORT=8765
repo_server=""
stop_repo_server() {
    [ -z "$repo_server" ] || { kill "$repo_server" 2>/dev/null; wait "$repo_server" 2>/dev/null; }
    repo_server=""
    [ ! -d "$work/gnupg" ] || GNUPGHOME=$work/gnupg gpgconf --kill gpg-agent 2>/dev/null
}
# repo_apt ARGUMENT...: apt-get in the container with the repository's source only (the
# container has no way out to the Debian archive); the lists of the other sources stay.
repo_apt() {
    inside "${APT[@]}" -o Dir::Etc::SourceList=/dev/null -o APT::Get::List-Cleanup=0 "$@"
}
# use_repository DIR: the board's source, as the README shows it.
use_repository() {
    printf '%s\n' 'Types: deb' "URIs: http://127.0.0.1:$REPO_PORT/$1" "Suites: $release" \
        'Components: main' 'Signed-By: /etc/apt/keyrings/ortv.gpg' \
        >"$work/root/etc/apt/sources.list.d/ortv.sources"
}
installed_version() { inside dpkg-query -W -f='${Version}' "$1" 2>/dev/null; }
listen_lines_since() {
    inside journalctl -q --sync
    grep -c '^Listen on port 8080$' <<<"$(inside journalctl -q --no-pager -o cat -u "$UNIT" \
        --after-cursor="$1")"
}

upgrade_through_repository() {
    local previous=$pkgdir/previous prev_server
    prev_server=$(ls "$previous"/ortv-data-server_*_amd64.deb 2>/dev/null | head -n 1)
    [ -n "$prev_server" ] || { fail "no previous version in $previous (scripts/package-release.sh makes it)"; return; }
    local prev_version current_version key www=$work/www
    prev_version=$(dpkg-deb -f "$prev_server" Version)
    current_version=$(dpkg-deb -f "$server_deb" Version)
    dpkg --compare-versions "$prev_version" lt "$current_version" ||
        { fail "previous version $prev_version is not below $current_version"; return; }

    export GNUPGHOME=$work/gnupg
    mkdir -m 700 "$GNUPGHOME"
    gpg --batch -q --passphrase '' --quick-gen-key 'ORTV package test <pkgtest@orvane.com>' \
        ed25519 sign 1d 2>/dev/null
    key=$(gpg --batch --with-colons --list-secret-keys 2>/dev/null | awk -F: '/^fpr/ {print $10; exit}')
    [ -n "$key" ] || { fail "no test key made"; return; }
    scripts/apt-repo.sh "$www/good" "$key" "$release=$previous" >"$work/repo.log" 2>&1 ||
        { cat "$work/repo.log"; fail "repository of the previous version"; return; }
    mkdir -p "$work/root/etc/apt/keyrings"
    cp "$www/good/ortv-archive-keyring.gpg" "$work/root/etc/apt/keyrings/ortv.gpg"
    # Signed by the right key, then changed: the signature no longer verifies.
    cp -a "$www/good" "$www/bad"
    sed -i 's/^Label: ORTV data server$/Label: ORTV data server (changed)/' \
        "$www/bad/dists/$release/InRelease" "$www/bad/dists/$release/Release"

    nsenter -t "$leader" -n /usr/bin/python3 -m http.server --bind 127.0.0.1 --directory "$www" \
        "$REPO_PORT" >"$work/http.log" 2>&1 &
    repo_server=$!
    until_true 15 inside bash -c "exec 3<>/dev/tcp/127.0.0.1/$REPO_PORT" 2>/dev/null ||
        { cat "$work/http.log"; fail "repository server did not start"; return; }

    use_repository bad
    local rc
    out=$(repo_apt update 2>&1); rc=$?
    check "apt refuses the repository whose signature does not verify (exit status $rc)" \
        eval '[ $rc -ne 0 ] && ! ls "$work/root/var/lib/apt/lists/" | grep -q "_bad_dists_"'
    use_repository good
    out=$(repo_apt update 2>&1) || { echo "$out" | tail -n 5; fail "apt-get update from the repository"; return; }
    out=$(repo_apt install ortv-data-server ortv-mqtt-bridge 2>&1) ||
        { echo "$out" | tail -n 5; fail "apt-get install of the previous version from the repository"; return; }
    check "the repository installed the previous version ($prev_version)" \
        eval '[ "$(installed_version ortv-data-server)" = "$prev_version" ]'
    service_up || { fail "the previous version's server does not answer"; return; }

    # What the admin changed and stored before the upgrade.
    inside sh -c 'echo "# kept across upgrades" >>/etc/ortv-data-server/logging.ini &&
        echo "ORTV_BRIDGE_PREFIX=ortv" >>/etc/default/ortv-mqtt-bridge'
    inside ortv set pkgtest.upgrade "kept across the upgrade" >/dev/null
    local pid cursor start_upgrade seconds
    pid=$(main_pid)
    cursor=$(inside journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')

    scripts/apt-repo.sh "$www/good" "$key" "$release=$pkgdir" >"$work/repo.log" 2>&1 ||
        { cat "$work/repo.log"; fail "the current version into the repository"; return; }
    start_upgrade=$SECONDS
    out=$(repo_apt update 2>&1 && repo_apt -o Dpkg::Options::=--force-confold upgrade 2>&1) ||
        { echo "$out" | tail -n 10; fail "apt-get upgrade"; return; }
    service_up
    seconds=$((SECONDS - start_upgrade))
    check "apt-get upgrade took the current version ($current_version) in $seconds s (under 60)" \
        eval '[ "$(installed_version ortv-data-server)" = "$current_version" ] &&
              [ "$(installed_version ortv-mqtt-bridge)" = "$current_version" ] && [ $seconds -lt 60 ]'
    check "the upgrade restarted the server once (new PID, one start-up line)" \
        eval '[ "$(main_pid)" != "$pid" ] && [ "$(listen_lines_since "$cursor")" = 1 ]'
    check "the server and the bridge are still enabled and active" eval \
        '[ "$(inside systemctl is-enabled "$UNIT" "$BRIDGE" | sort -u)" = enabled ] &&
         inside systemctl --quiet is-active "$UNIT" "$BRIDGE"'
    check "the changed conffiles are kept" eval \
        'inside grep -qx "# kept across upgrades" /etc/ortv-data-server/logging.ini &&
         inside grep -qx "ORTV_BRIDGE_PREFIX=ortv" /etc/default/ortv-mqtt-bridge'
    # The values stored before the upgrade: kept when the package keeps a store file.
    if inside grep -qs '^ORTV_STORE_FILE=.' /etc/default/ortv-data-server; then
        check "the values stored before the upgrade are there" \
            eval '[ "$(inside ortv get pkgtest.upgrade)" = "kept across the upgrade" ]'
    else
        echo "skip $release: values across the upgrade (this package keeps no store file)"
    fi
    stop_repo_server
}
upgrade_through_repository

# ---- power off ---------------------------------------------------------------------------------
kill -s RTMIN+4 "$leader"
if until_true 30 eval '! kill -0 $nspawn 2>/dev/null'; then
    wait "$nspawn"; rc=$?
    check "container powered off cleanly (nspawn exit status $rc)" [ "$rc" = 0 ]
else
    fail "container did not power off within 30 s"
fi
stop_container
nspawn=
check "no mount left under $work" eval '! grep -qF "$work" /proc/self/mountinfo'
echo "$release: $failures failed, $((SECONDS - start)) s"
[ "$failures" -eq 0 ]
