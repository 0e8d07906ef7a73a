#!/usr/bin/env bash
# Shows the tap at work on loopback, start to end, in one command:
#   a collector writes what it receives to a pcapng file, the tap captures
#   the loopback interface and sends it there (encrypted with the key
#   "mango"), some ping and UDP traffic passes, and the frames the
#   collector got are printed.
#
# Usage: tools/demo.sh [BUILD_DIR]      (default: build, built first)
# Needs the right to capture (root, or CAP_NET_RAW on vantry_remote).
# Only the processes this script starts are ever signalled.
set -uo pipefail

cd "$(dirname "$0")/.."
build="${1:-build}"
remote="$build/vantry_remote"
collector="$build/vantry_collector"
port=1234
key=mango

# The default build folder is brought up to date (packages included) first.
if [[ "$build" == build ]]; then
    tools/build.sh || exit 1
fi
if [[ ! -x "$remote" ]]; then
    echo "demo: $remote not found; build first (tools/build.sh)" >&2
    exit 1
fi

work="$(mktemp -d /tmp/vantry-demo.XXXXXX)"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    pids=()
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to $2 tenths of a second for text $1 in file $3.
wait_for() {
    local i
    for ((i = 0; i < $2; i++)); do
        grep -q -- "$1" "$3" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Stops one started process and forgets it.
stop() {
    local pid="$1" rest=() p
    kill -INT "$pid" 2>/dev/null
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    for p in "${pids[@]}"; do
        [[ "$p" != "$pid" ]] && rest+=("$p")
    done
    pids=("${rest[@]}")
}

pcap="$work/demo.pcapng"
if [[ -x "$collector" ]]; then
    echo "== collector: $collector -p $port -k $key -w $pcap"
    "$collector" -p "$port" -k "$key" -w "$pcap" >"$work/collector.log" 2>&1 &
    collector_pid=$!
else
    # Without the collector the datagrams can only be counted: they are
    # encrypted, and the cipher lives in the collector.
    echo "== no collector built; a plain receiver counts the datagrams on port $port"
    python3 -u - "$port" >"$work/collector.log" 2>&1 <<'EOF' &
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.settimeout(0.5)
n = size = 0
end = time.time() + 30
while time.time() < end:
    try:
        size += len(s.recv(70000))
        n += 1
        print(f"datagram {n}: total {size} bytes", flush=True)
    except socket.timeout:
        pass
EOF
    collector_pid=$!
    pcap=""
fi
pids+=("$collector_pid")
sleep 0.5
if ! kill -0 "$collector_pid" 2>/dev/null; then
    echo "demo: the collector did not start (is port $port in use?)" >&2
    cat "$work/collector.log" >&2
    exit 1
fi

echo "== tap: $remote /c -i lo -c 127.0.0.1:$port -k $key"
"$remote" /c -i lo -c "127.0.0.1:$port" -k "$key" >"$work/tap.log" 2>&1 &
tap_pid=$!
pids+=("$tap_pid")
if ! wait_for "Running..." 100 "$work/tap.log"; then
    echo "demo: the tap did not start capturing:" >&2
    cat "$work/tap.log" >&2
    exit 1
fi

echo "== traffic: ping 127.0.0.1 and UDP to 127.0.0.1:9999"
if command -v ping >/dev/null; then
    ping -c 4 -i 0.3 127.0.0.1 >/dev/null 2>&1
fi
for i in 1 2 3 4; do
    echo "hello from the demo, datagram $i" >/dev/udp/127.0.0.1/9999 2>/dev/null
    sleep 0.2
done

# A quiet second and a bit makes the tap send what it holds; the capture
# hands packets over at least once a second.
sleep 3
stop "$tap_pid"
sleep 0.5
stop "$collector_pid"

echo
echo "== tap log"
cat "$work/tap.log"
echo
if [[ -n "$pcap" && -s "$pcap" ]]; then
    if command -v tcpdump >/dev/null; then
        echo "== frames the collector received (tcpdump -nn -r demo.pcapng)"
        tcpdump -nn -r "$pcap" 2>/dev/null | head -n 40
        echo "($(tcpdump -nn -r "$pcap" 2>/dev/null | wc -l) frames in all)"
    else
        echo "== the collector wrote $(stat -c %s "$pcap") bytes of pcapng; install tcpdump to decode them"
    fi
else
    echo "== receiver"
    cat "$work/collector.log"
fi
