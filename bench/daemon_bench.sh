#!/usr/bin/env bash
# The daemon as it runs: socket-activated in a private installation root on the simulated
# machine, driven by kbectl. Prints a table of
#   - what starting /bin/true from the shell costs here (p50 of 20), the floor of every
#     figure that starts a process,
#   - socket-activated start to first reply (`kbectl status` against a daemon not yet
#     running, p50 and max of 20 starts),
#   - from the simulated machine's power coming back on AC to the start of the backup it
#     deferred on battery (the activity evaluates 5 s after a change; the figure includes
#     starting kbesim and tail noticing the log line),
#   - round trips of messages 1 and 5 with 1 and 8 clients (bench/MessagesBench.cpp),
#   - `kbectl status` against the running daemon (p50 and p90 of 50 calls) and sequential
#     calls per second (each one a new kbectl process: connect, one request, exit),
#   - once a dry-run backup has finished, the activity's evaluation 5 s later is over and
#     the next backup is an hour ahead: the voluntary and involuntary context switches of
#     all its threads over 30 s, and its private resident memory (smaps_rollup):
#     Private_Dirty, the memory the daemon itself holds, and Private_Clean, pages of the
#     program and its libraries that no other process has mapped at the moment (the kernel
#     can drop them; the figure depends on what else runs).
# Needs root (the daemon refuses anyone else). Takes about two and a half minutes (the dry
# backup lasts one).
#     bench/daemon_bench.sh BUILD_DIR
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "daemon_bench.sh: the daemon runs only as root" >&2
    exit 1
fi
build=$(realpath "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/keelbrook-daemon-bench-XXXXXX")
activator=
stop() {
    if [ -n "$activator" ]; then
        kill -TERM "$activator" 2>/dev/null || true
        wait "$activator" 2>/dev/null || true
        activator=
    fi
}
trap 'stop; rm -rf "$work"' EXIT

root=$work/root
sockets=$root/run/keelbrook
mkdir -p "$sockets" "$root/home"
# The daemon answers only installed clients: kbectl owned by root at its place.
install -D -m 0755 -o root -g root "$build/ctl/kbectl" "$root/usr/bin/kbectl"
# The messages benchmark stands at the application's place, for the same reason.
install -D -m 0755 -o root -g root "$build/bench/messages_bench" "$root/usr/bin/keelbrook"
kbectl=$root/usr/bin/kbectl
sim=$build/tools/kbesim/kbesim
export KEELBROOK_ROOT=$root KEELBROOK_PLATFORM=simulated HOME=$root/home
log=$root/var/log/keelbrook/scheduler.log

activate() {
    rm -f "$sockets"/*.socket
    systemd-socket-activate -l "$sockets/scheduler.socket" -l "$sockets/authority.socket" \
        --fdname=scheduler:authority -E KEELBROOK_ROOT -E KEELBROOK_PLATFORM -E HOME \
        "$build/scheduler/daemon/com.vornhal.keelbrook.scheduler" >>"$work/activator.log" 2>&1 &
    activator=$!
    for _ in $(seq 100); do
        [ -S "$sockets/scheduler.socket" ] && [ -S "$sockets/authority.socket" ] && return
        sleep 0.05
    done
    echo "the activator did not start listening" >&2
    exit 1
}

# Milliseconds (three decimals) that "$@" takes, read from the shell's own clock: no
# process is started around the measured one.
timed() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", (e - s) * 1000 }'
}
# "p50 pXX max" of the numbers on standard input.
percentiles() {
    sort -n | awk -v q="$1" '{ v[NR] = $1 } END {
        printf "%.2f %.2f %.2f\n", v[int((NR + 1) / 2)], v[int(NR * q / 100 + 0.5)], v[NR] }'
}
# Sum of a field of /proc/<pid>/task/*/status over the daemon's threads.
threads_sum() {
    cat /proc/"$1"/task/*/status 2>/dev/null | awk -v k="$2:" '$1 == k { s += $2 } END { print s + 0 }'
}

# What starting any program costs on this machine, to read the figures below against.
baseline=()
for _ in $(seq 20); do
    baseline+=("$(timed /bin/true)")
done
read -r true_p50 _ _ < <(printf '%s\n' "${baseline[@]}" | percentiles 90)

# Start to first reply: the activator executes the daemon when the first client arrives.
starts=()
for _ in $(seq 20); do
    activate
    starts+=("$(timed "$kbectl" status)")
    stop
done
read -r start_p50 _ start_max < <(printf '%s\n' "${starts[@]}" | percentiles 90)

# Waits for a new line of the log that holds TEXT (tail follows the file through inotify)
# and writes the time it was seen into $work/seen; fails after 20 s.
next_line() {
    # tail ends by the time limit or on its next write once grep has gone: either way the
    # outcome is grep's.
    { timeout 20 tail -n0 -F "$log" 2>/dev/null || true; } |
        { grep -m1 -q -- "$1" && echo "$EPOCHREALTIME" >"$work/seen"; }
}

# A running daemon: dry-run backups every hour, the first one due at once but deferred
# while the simulated machine runs on battery; then the power comes back.
activate
"$kbectl" status >/dev/null
pid=$activator
"$sim" set power-source battery
next_line "Deferred: running on battery." &
deferred=$!
"$kbectl" dry-run yes >/dev/null
"$kbectl" enable backups >/dev/null
"$kbectl" set-interval 1h >/dev/null
wait "$deferred" || { echo "the backup was not deferred on battery" >&2; exit 1; }
next_line "Starting dry backup now" &
started=$!
sleep 0.5 # tail is following the log
power_back=$EPOCHREALTIME
"$sim" set power-source ac
wait "$started" || { echo "the backup did not start on AC" >&2; exit 1; }
start_latency=$(awk -v s="$power_back" -v e="$(cat "$work/seen")" 'BEGIN { printf "%.1f", (e - s) * 1000 }')
for _ in $(seq 180); do
    grep -q "Backup finished." "$log" 2>/dev/null && break
    sleep 0.5
done
grep -q "Backup finished." "$log" || { echo "the dry backup did not finish" >&2; exit 1; }
sleep 8
voluntary=$(threads_sum "$pid" voluntary_ctxt_switches)
involuntary=$(threads_sum "$pid" nonvoluntary_ctxt_switches)
sleep 30
voluntary=$(($(threads_sum "$pid" voluntary_ctxt_switches) - voluntary))
involuntary=$(($(threads_sum "$pid" nonvoluntary_ctxt_switches) - involuntary))
threads=$(ls /proc/"$pid"/task | wc -l)
dirty_kib=$(awk '$1 == "Private_Dirty:" { print $2 }' /proc/"$pid"/smaps_rollup)
clean_kib=$(awk '$1 == "Private_Clean:" { print $2 }' /proc/"$pid"/smaps_rollup)

calls=()
begin=$EPOCHREALTIME
for _ in $(seq 50); do
    calls+=("$(timed "$kbectl" status)")
done
finish=$EPOCHREALTIME
read -r status_p50 status_p90 _ < <(printf '%s\n' "${calls[@]}" | percentiles 90)
per_second=$(awk -v s="$begin" -v e="$finish" 'BEGIN { printf "%.1f", 50 / (e - s) }')
messages=$("$root/usr/bin/keelbrook" 2>&1)
stop

printf '%-58s %s\n' "measure" "value"
printf '%-58s %s\n' "baseline: /bin/true from this shell, p50 of 20 (ms)" "$true_p50"
printf '%-58s %s\n' "start to first reply, p50 of 20 (ms)" "$start_p50"
printf '%-58s %s\n' "start to first reply, max of 20 (ms)" "$start_max"
printf '%-58s %s\n' "power back on AC to the deferred backup's start (ms)" "$start_latency"
printf '%-58s %s\n' "kbectl status, running daemon, p50 of 50 (ms)" "$status_p50"
printf '%-58s %s\n' "kbectl status, running daemon, p90 of 50 (ms)" "$status_p90"
printf '%-58s %s\n' "kbectl status calls per second (sequential processes)" "$per_second"
printf '%-58s %s\n' "idle, next backup 1 h ahead: voluntary switches in 30 s" "$voluntary ($threads threads)"
printf '%-58s %s\n' "idle, next backup 1 h ahead: involuntary switches in 30 s" "$involuntary"
printf '%-58s %s\n' "private dirty resident memory (KiB)" "$dirty_kib"
printf '%-58s %s\n' "private clean resident memory: unshared file pages (KiB)" "$clean_kib"
printf '\nMessages 1 and 5 on the running daemon, 1 and 8 clients (messages_bench):\n%s\n' "$messages"
