#!/usr/bin/env bash
# Firmware pushes by TFTP over an emulated LAN link, the tool against curl -T.
#
# Two network namespaces (mervo-bench-client-PID, mervo-bench-server-PID) are
# joined by mervo-link-emulator over a TUN device in each (MTU 1500), which
# holds every packet DELAY_US microseconds in each direction and drops it with
# probability LOSS; no rate limit (one lock-step push is far from any). The simulated controller runs in the server namespace,
# mervo-cli and curl in the client namespace; no traffic leaves them.
#
#   phase 1, no loss: one whole push of IMAGE each by curl -T (512-byte
#     blocks, the reference) and by mervo-cli with --tftp-blksize 512, without
#     the option (1468) and with 8192 and 65464;
#   phase 2, LOSS each way: curl -T and mervo-cli (1468) each push for WINDOW
#     seconds; the size of flashraw.bin on the server then is what arrived.
#
# Prints one JSON line per measurement (bench/run_bench.py makes the table):
#   {"event":"rtt","ms":...}                  round trip of a TCP connect
#   {"event":"push","label":...,"seconds":...,"peak_kib":...,"tftp":{...}}
#   {"event":"window","label":...,"seconds":...,"bytes":...,"tftp":{...}}
#   {"event":"link",...}                       the emulator's packet counts
# "tftp" is the simulator's tftp_transfer line for that push. mervo-cli's
# seconds leave out its 2-second final wait.
#
# Usage (as root): bench/tftp_link/link_bench.sh BUILD_DIR IMAGE
# Environment: MERVO_BENCH_DELAY_US (1200), MERVO_BENCH_LOSS (0.01),
#   MERVO_BENCH_WINDOW (60), MERVO_BENCH_SEED (1), MERVO_BENCH_REPEAT (3: runs
#   of each push that takes less than 20 s).
# Bounded: every client under `timeout`, the emulator stops after 1200 s or
# 1,000,000 packets per phase; namespaces and processes go on any exit.
set -euo pipefail

build=$(cd "${1:?usage: link_bench.sh BUILD_DIR IMAGE}" && pwd)
image=$(realpath "${2:?usage: link_bench.sh BUILD_DIR IMAGE}")
delay_us=${MERVO_BENCH_DELAY_US:-1200}
loss=${MERVO_BENCH_LOSS:-0.01}
window=${MERVO_BENCH_WINDOW:-60}
seed=${MERVO_BENCH_SEED:-1}
repeat=${MERVO_BENCH_REPEAT:-3}

cli=$build/mervo-cli
sim=$build/tools/controller-sim/mervo-controller-sim
emulator=$build/bench/tftp_link/mervo-link-emulator
for program in "$cli" "$sim" "$emulator"; do
  [ -x "$program" ] || { echo "link_bench: $program is not built" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "link_bench: network namespaces need root" >&2; exit 1; }

final_wait_ns=2000000000
client_ip=10.77.0.1
server_ip=10.77.0.2
port=6969
ns_client=mervo-bench-client-$$
ns_server=mervo-bench-server-$$
work=$(mktemp -d /tmp/mervo-bench-link-XXXXXX)
emulator_pid=
sim_pid=
client_pid=

stop_pid() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Whatever still runs in one of the namespaces was started here (the TFTP
# server's children among it).
stop_namespace_processes() {
  local pid
  for pid in $(ip netns pids "$1" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
}

cleanup() {
  stop_pid "$client_pid"
  stop_pid "$sim_pid"
  stop_pid "$emulator_pid"
  for ns in "$ns_client" "$ns_server"; do
    stop_namespace_processes "$ns"
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

fail() {
  echo "link_bench: $*" >&2
  exit 1
}

# Waits up to 10 s for a line matching $2 in file $1.
wait_for() {
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "no '$2' in $1: $(cat "$1" "${1%.*}.err" 2>/dev/null)"
}

for ns in "$ns_client" "$ns_server"; do
  ip netns add "$ns"
  ip netns exec "$ns" sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  ip -n "$ns" link set lo up
done

link_up() {
  "$emulator" --ns-a "$ns_client" --ns-b "$ns_server" --delay-us "$delay_us" --loss "$1" --seed "$seed" \
    --rate-mbit 0 --max-seconds 1200 --max-packets 1000000 >"$work/link.out" 2>"$work/link.err" &
  emulator_pid=$!
  wait_for "$work/link.out" '^ready'
  ip -n "$ns_client" addr add "$client_ip" peer "$server_ip" dev mervo0
  ip -n "$ns_client" link set mervo0 mtu 1500 up
  ip -n "$ns_server" addr add "$server_ip" peer "$client_ip" dev mervo0
  ip -n "$ns_server" link set mervo0 mtu 1500 up
}

link_down() {
  stop_pid "$emulator_pid"
  emulator_pid=
  sed -n 's/^{"event":"link",/{"event":"link","phase":"'"$1"'",/p' "$work/link.out"
}

sim_up() {
  rm -rf "$work/tftp"
  mkdir -p "$work/tftp"
  ip netns exec "$ns_server" "$sim" --host "$server_ip" --port "$port" --tftp-dir "$work/tftp" \
    >"$work/sim.log" 2>"$work/sim.err" &
  sim_pid=$!
  wait_for "$work/sim.log" '"event":"listening"'
}

# Stops the simulator (its relay logs a transfer still running as unfinished).
sim_down() {
  stop_pid "$sim_pid"
  sim_pid=
  stop_namespace_processes "$ns_server"
}

# The simulator's line of the last TFTP transfer.
last_transfer() { grep '"event":"tftp_transfer"' "$work/sim.log" | tail -1; }

# One whole push: run_push LABEL FINAL_WAIT_NS COMMAND...
run_push() {
  local label=$1 wait_ns=$2 start end peak
  shift 2
  rm -f "$work/tftp/flashraw.bin"
  start=$(date +%s%N)
  ip netns exec "$ns_client" timeout 600 /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/client.out" 2>"$work/client.err" ||
    fail "$label ended with status $?: $(tail -3 "$work/client.err")"
  end=$(date +%s%N)
  cmp -s "$image" "$work/tftp/flashraw.bin" || fail "$label: the image did not arrive intact"
  if [ "$wait_ns" != 0 ] && [ "$(tail -1 "$work/client.out")" != OK ]; then
    fail "$label: the upgrade request did not succeed: $(tail -3 "$work/client.out")"
  fi
  peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
  printf '{"event":"push","label":"%s","seconds":%s,"peak_kib":%s,"tftp":%s}\n' "$label" \
    "$(awk -v ns=$((end - start - wait_ns)) 'BEGIN { printf "%.3f", ns / 1e9 }')" "$peak" "$(last_transfer)"
}

# Pushes for `window` seconds, then reads what arrived: run_window LABEL COMMAND...
run_window() {
  local label=$1 bytes
  shift
  sim_up
  ip netns exec "$ns_client" timeout $((window + 30)) "$@" >"$work/client.out" 2>"$work/client.err" &
  client_pid=$!
  sleep "$window"
  bytes=$(stat -c %s "$work/tftp/flashraw.bin" 2>/dev/null || echo 0)
  stop_pid "$client_pid"
  client_pid=
  sim_down
  printf '{"event":"window","label":"%s","seconds":%s,"bytes":%s,"tftp":%s}\n' "$label" "$window" "$bytes" \
    "$(last_transfer || echo null)"
}

curl_push=(curl -sS -T "$image" "tftp://$server_ip:$port/flashraw.bin")
cli_push=("$cli" --ip "$server_ip:$port" --action push_firmware --firmwarefile "$image")

# ---- phase 1: no loss ----
link_up 0
sim_up
ip netns exec "$ns_client" python3 - "$server_ip" "$port" <<'EOF'
import socket, statistics, sys, time
rounds = []
for _ in range(21):
    s = socket.socket()
    start = time.perf_counter()
    s.connect((sys.argv[1], int(sys.argv[2])))
    rounds.append(time.perf_counter() - start)
    s.close()
print('{"event":"rtt","ms":%.3f}' % (statistics.median(rounds) * 1000))
EOF
run_push "curl -T 512" 0 "${curl_push[@]}"
for blksize in 512 default 8192 65464; do
  option=()
  [ "$blksize" = default ] || option=(--tftp-blksize "$blksize")
  runs=1
  [ "$blksize" = 512 ] || runs=$repeat
  for _ in $(seq "$runs"); do
    run_push "mervo-cli $blksize" "$final_wait_ns" "${cli_push[@]}" "${option[@]}"
  done
done
sim_down
link_down "no loss"

# ---- phase 2: loss each way ----
link_up "$loss"
run_window "curl -T 512" "${curl_push[@]}"
run_window "mervo-cli default" "${cli_push[@]}"
link_down "loss"
