#!/usr/bin/env bash
# Life of the Windows service under Wine: launcher texts, the capture
# library found by full path only, installation and its registry values,
# start and stop through the service manager, the key kept out of what
# every user can read (service description, event log), TZSP forwarding
# from the running service to a collector on loopback, removal.
#
#   tests/wine/service_life.sh BUILD_WIN_DIR
#
# Uses a private Wine prefix inside BUILD_WIN_DIR and a persistent
# wineserver of its own, which it ends again. Every Wine call is bounded in
# time and the whole run gives up after a few minutes. Prints one line per
# check and "N passed, M failed" at the end; exits non-zero on a failure.
set -u

if [ $# -ne 1 ] || [ ! -f "$1/vantry_remote.exe" ]; then
    echo "usage: $0 BUILD_WIN_DIR (holding vantry_remote.exe)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
exe="$build/vantry_remote.exe"
collector="$build/vantry_collector.exe"

export WINEPREFIX="$build/wineprefix-service"
export WINEDEBUG=-all
# No browser or .NET runtime installers while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

deadline=$((SECONDS + 420))
passed=0
failed=0
work=$(mktemp -d)
collector_pid=

pass() {
    passed=$((passed + 1))
    echo "PASS  $1"
}

fail() {
    failed=$((failed + 1))
    echo "FAIL  $1"
    if [ $# -gt 1 ]; then
        printf '%s\n' "$2" | sed 's/^/      | /' | head -40
    fi
}

# Runs a Wine command with a time limit; its output, without CRs, in $out,
# its status in $rc.
run() {
    local limit=$1
    shift
    out=$(timeout "$limit" wine "$@" 2>/dev/null | tr -d '\r')
    rc=${PIPESTATUS[0]}
}

# Data of one registry value as "wine reg query" shows it, or nothing.
reg_value() {
    timeout 60 wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        sed -n "s/^    $2    REG_[A-Z_]*    //p"
}

time_left() {
    if [ $SECONDS -ge $deadline ]; then
        fail "time limit reached, remaining checks skipped"
        return 1
    fi
}

cleanup() {
    if [ -n "$collector_pid" ]; then
        kill "$collector_pid" 2>/dev/null
        wait "$collector_pid" 2>/dev/null
    fi
    # A failed run must not leave the service behind in the prefix.
    timeout 60 wine "$exe" /r >/dev/null 2>&1
    timeout 30 wineserver -k 2>/dev/null
    rm -rf "$work"
}

finish() {
    cleanup
    echo "$passed passed, $failed failed"
    [ $failed -eq 0 ]
    exit
}

service_key='HKLM\SYSTEM\CurrentControlSet\Services\vantry_remote'
event_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\vantry_remote'
tzsp_port=$((41000 + RANDOM % 8000))
collector_port=$((tzsp_port + 8000))

# ---- prefix and a persistent server ---------------------------------------
echo "prefix $WINEPREFIX"
# The server needs the folder, even for a prefix not made yet.
mkdir -p "$WINEPREFIX"
timeout 30 wineserver -p 2>/dev/null
# The first Wine program makes the prefix if need be and starts the service
# manager. (No explicit "wineboot -i": in an existing prefix it starts a
# second service manager, and the two then answer calls alternately.)
# Wine keeps no event log: it writes each event on the "eventlog" debug
# channel of the reporting process. The services inherit this program's
# debug channels and error output, so their events end up in $events.
events="$work/events.log"
WINEDEBUG=-all,+eventlog timeout 180 wine reg query 'HKLM\Software' >/dev/null 2>"$events"
# Left over from an interrupted run; auto-started with the server.
timeout 60 wine "$exe" /r >/dev/null 2>&1
# Until the auto-started services are up, a program that enters the
# dispatcher may be handed the control pipe of one of them.
sleep 3

# ---- launcher texts ------------------------------------------------------
help_text="Available options:
/i <service name> [options] - Install vantry_remote as service
/c [options]                - Run vantry_remote on a console
/r <service name>           - Deinstall the service

Example:
Install vantry_remote as a service: 'vantry_remote /i my_Strael -i 0 -n 192.168.0.1:2055'
Remove the vantry_remote service:   'vantry_remote /r my_Strael'

Notes:
1. Type 'vantry_remote /c -h' to see all options
1. In order to reinstall a service with new options
   it is necessary to first remove the service, then add it
   again with the new options.
2. Services are started/stopped using the Services
   control panel item.
3. You can install the vantry_remote service multiple times
   as long as you use different service names."

run 60 "$exe" /h
if [ $rc -eq 0 ] && [ "$out" = "$help_text" ]; then
    pass "/h prints the help"
else
    fail "/h prints the help (status $rc)" "$out"
fi

run 60 "$exe" /X
if [ $rc -eq 0 ] && [ "$out" = "$(printf '\nUnrecognized option: /X\n%s' "$help_text")" ]; then
    pass "/X prints the unrecognized option, then the help"
else
    fail "/X prints the unrecognized option, then the help (status $rc)" "$out"
fi

note="
NOTE:
Under your version of Windows, vantry_remote is started as a service.
Please open the services control panel to start/stop vantry_remote,
or type vantry_remote /h to see all the available options.

StartServiceControlDispatcher failed!"
run 60 "$exe"
if [ $rc -eq 0 ] && [ "$out" = "$note" ]; then
    pass "no argument: NOTE lines and dispatcher failure"
else
    fail "no argument: NOTE lines and dispatcher failure (status $rc)" "$out"
fi

run 60 "$exe" /C -V
if [ $rc -eq 0 ] && grep -q "1.1.260430" <<<"$out"; then
    pass "/C -V runs the tap on the console"
else
    fail "/C -V runs the tap on the console (status $rc)" "$out"
fi

# ---- probes: two small Windows programs of the checks' own ------------------
# wpcap.dll: leaves the file planted_loaded in the current folder when it is
# loaded. description.exe: prints the description the service manager
# holds for a service (the registry's copy is overwritten at installation).
probes="$work/probes"
mkdir -p "$probes"
cat >"$probes/planted.c" <<'EOF'
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    (void)module;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        CloseHandle(CreateFileA("planted_loaded", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    return TRUE;
}
EOF
cat >"$probes/description.c" <<'EOF'
#include <windows.h>
#include <stdio.h>
int main(int argc, char** argv)
{
    static char buf[16384];
    DWORD n = 0;
    SC_HANDLE m = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE s = m && argc > 1 ? OpenServiceA(m, argv[1], SERVICE_QUERY_CONFIG) : NULL;
    if (!s || !QueryServiceConfig2A(s, SERVICE_CONFIG_DESCRIPTION, (BYTE*)buf, sizeof buf, &n))
        return 1;
    const char* d = ((SERVICE_DESCRIPTIONA*)buf)->lpDescription;
    printf("%s\n", d ? d : "");
    return 0;
}
EOF
cc=x86_64-w64-mingw32-gcc
if ! { $cc -shared -o "$probes/wpcap.dll" "$probes/planted.c" &&
    $cc -o "$probes/description.exe" "$probes/description.c" -ladvapi32; } >"$work/cc.log" 2>&1; then
    fail "probes cannot be built with $cc" "$(cat "$work/cc.log")"
fi

# ---- the capture library ----------------------------------------------------
# A wpcap.dll in the program's folder or the current folder must never be
# loaded: a service runs it as LocalSystem. Wine prefers its own library
# to one found by search; "n,b" makes it search as Windows does.
time_left || finish
plant="$work/plant"
mkdir -p "$plant"
cp "$exe" "$probes/wpcap.dll" "$plant/" 2>/dev/null
out=$(cd "$plant" && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;wpcap=n,b" timeout 60 \
    wine ./vantry_remote.exe /c -i -1 -c 127.0.0.1:9 -K 2>/dev/null | tr -d '\r')
if [ -f "$plant/wpcap.dll" ] && [ ! -e "$plant/planted_loaded" ] &&
    grep -q "^Available interfaces:" <<<"$out"; then
    pass "capture library from the system folder, not the planted one"
else
    fail "capture library from the system folder, not the planted one" \
        "planted library loaded: $([ -e "$plant/planted_loaded" ] && echo yes || echo no)
$out"
fi

# ---- installation ----------------------------------------------------------
time_left || finish
key=secret
options=(my_tap -t "$tzsp_port" -c "127.0.0.1:$collector_port" -k "$key")
run 60 "$exe" /i "${options[@]}"
if [ $rc -eq 0 ] && [ "$out" = "vantry_remote installed." ]; then
    pass "/i installs"
else
    fail "/i installs (status $rc)" "$out"
fi

win_exe=$(winepath -w "$exe" 2>/dev/null | tr -d '\r')
check_value() {
    local key=$1 name=$2 want=$3 got
    got=$(reg_value "$key" "$name")
    if [ "$got" = "$want" ]; then
        pass "registry $name"
    else
        fail "registry $name" "want: $want
got:  $got"
    fi
}
check_value "$service_key" Description "vantry_remote for Windows"
check_value "$service_key" DisplayName "vantry_remote for Windows"
check_value "$service_key" ImagePath "$win_exe"
check_value "$service_key" Type 0x10
check_value "$service_key" Start 0x2
check_value "$service_key" ErrorControl 0x1
check_value "$service_key" ObjectName LocalSystem
check_value "$event_key" EventMessageFile "$win_exe"
check_value "$event_key" TypesSupported 0x4

stored=$(reg_value "$service_key\\Parameters" AppParameters)
want_tail=$(printf '\t/c\tmy_tap\t-t\t%s\t-c\t127.0.0.1:%s\t-k\t%s' "$tzsp_port" \
    "$collector_port" "$key")
want_tail_shown=${want_tail%"$key"}********
if [[ "$stored" == *vantry_remote.exe"$want_tail" ]]; then
    pass "registry AppParameters (program path, /c, options, TAB-separated)"
else
    fail "registry AppParameters" "want: <path>$want_tail
got:  $stored"
fi

# Every user may read the service's description and its registry values
# but the Parameters key's.
run 30 "$probes/description.exe" vantry_remote
if [ $rc -eq 0 ] && [[ "$out" == *"$want_tail_shown" ]]; then
    pass "service description: the options with the key shown as ********"
else
    fail "service description: the options with the key shown as ********" "want: <path>$want_tail_shown
got:  $out"
fi
holding_key=$(timeout 60 wine reg query "$service_key" /s 2>/dev/null | tr -d '\r' |
    grep -F -- "$key" | grep -v "^    AppParameters    ")
if [ -z "$holding_key" ]; then
    pass "the key is in no registry value of the service but AppParameters"
else
    fail "the key is in no registry value of the service but AppParameters" "$holding_key"
fi

run 60 "$exe" /i other -t 1 -c 127.0.0.1:2 -K
if [ $rc -eq 0 ] && [[ "$out" =~ ^CreateService\ vantry_remote\ failed\ -\ .*\(0x431\)$ ]] &&
    [ "$(reg_value "$service_key\\Parameters" AppParameters)" = "$stored" ]; then
    pass "/i again: CreateService fails with 0x431, stored options unchanged"
else
    fail "/i again: CreateService fails with 0x431, stored options unchanged (status $rc)" "$out"
fi

# ---- start, forward, stop --------------------------------------------------
time_left || finish
run 90 net start vantry_remote
run 30 sc query vantry_remote
if grep -q "STATE *: 4 *RUNNING" <<<"$out"; then
    pass "net start: the service runs"
else
    fail "net start: the service runs" "$out"
fi

# The start event shows the options with the key masked.
start_event=
for _ in $(seq 1 20); do
    start_event=$(grep -F 'ReportEventW L"vantry_remote: ' "$events" | grep -F -- '/c\tmy_tap')
    [ -n "$start_event" ] && break
    sleep 1
done
if grep -qF -- '-k\t********"' <<<"$start_event" && ! grep -qF -- "$key" <<<"$start_event"; then
    pass "start event: the options with the key shown as ********"
else
    fail "start event: the options with the key shown as ********" "${start_event:-no event}"
fi

# FORWARDING CHECK: one TZSP datagram to the service's port must reach the
# collector as one frame of a Tap datagram, encrypted with the stored key.
if [ -f "$collector" ]; then
    pcap="$work/forwarded.pcap"
    timeout 60 wine "$collector" -p "$collector_port" -k "$key" -c 1 -w "$(winepath -w "$pcap")" \
        >"$work/collector.log" 2>&1 &
    collector_pid=$!
    sleep 3
    # TZSP version 1, type received, Ethernet, END tag; then a 60-byte frame.
    # Written to a file first: cat sends it with one write, one datagram.
    printf '%b' "$(printf '\\x%02x' 1 0 0 1 1 255 255 255 255 255 255 2 0 0 0 0 1 8 0 \
        $(seq 1 46))" >"$work/tzsp.bin"
    for _ in $(seq 1 30); do
        kill -0 "$collector_pid" 2>/dev/null || break
        cat "$work/tzsp.bin" >"/dev/udp/127.0.0.1/$tzsp_port" 2>/dev/null
        sleep 1
    done
    if kill -0 "$collector_pid" 2>/dev/null; then
        kill "$collector_pid" 2>/dev/null
    fi
    wait "$collector_pid" 2>/dev/null
    collector_pid=
    # pcap file header (24 bytes), one record header (16) and the frame (60).
    size=$(stat -c %s "$pcap" 2>/dev/null || echo 0)
    if [ "$size" -ge 100 ]; then
        pass "the service forwards a TZSP frame to the collector ($size pcap bytes)"
    else
        fail "the service forwards a TZSP frame to the collector" "$(tr -d '\r' <"$work/collector.log")"
    fi
else
    fail "forwarding: $collector not built"
fi

time_left || finish
run 90 net stop vantry_remote
stop_out=$out
run 30 sc query vantry_remote
if grep -q "STATE *: 1 *STOPPED" <<<"$out"; then
    pass "net stop: the service stops"
else
    fail "net stop: the service stops" "$stop_out
$out"
fi

# ---- removal -----------------------------------------------------------------
run 60 "$exe" /r my_tap
if [ $rc -eq 0 ] && [ "$out" = "vantry_remote removed." ]; then
    pass "/r removes the stopped service"
else
    fail "/r removes the stopped service (status $rc)" "$out"
fi
if timeout 60 wine reg query "$event_key" >/dev/null 2>&1; then
    fail "/r deletes the event-log key"
else
    pass "/r deletes the event-log key"
fi

run 60 "$exe" /R
if [ $rc -eq 0 ] && [[ "$out" =~ ^OpenService\ vantry_remote\ failed\ -\ .*\(0x424\)$ ]]; then
    pass "/r again: OpenService fails with 0x424"
else
    fail "/r again: OpenService fails with 0x424 (status $rc)" "$out"
fi

finish
