#!/usr/bin/env bash
# tests/wine/service_life.sh BUILD_WIN_DIR: the Windows service under Wine, in
# a prefix and wineserver of its own, every call bounded in time: the capture
# library by full path only, installation and its registry values, start,
# stop, removal, the key kept out of what every user can read (description,
# event log). One line per check, then "N passed, M failed"; non-zero on a failure.
set -u
[ $# -eq 1 ] && [ -f "$1/vantry_remote.exe" ] ||
    { echo "usage: $0 BUILD_WIN_DIR (holding vantry_remote.exe)" >&2 && exit 2; }
build=$(cd "$1" && pwd)
exe=$build/vantry_remote.exe work=$(mktemp -d) deadline=$((SECONDS + 420)) passed=0 failed=0
# No browser or .NET runtime installers while the prefix is made.
export WINEPREFIX=$build/wineprefix-service WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
finish() {
    timeout 60 wine "$exe" /r >/dev/null 2>&1  # never left behind in the prefix
    timeout 30 wineserver -k 2>/dev/null
    rm -rf "$work"
    echo "$passed passed, $failed failed"
    exit $((failed > 0))
}
# check NAME CONDITION: passes when the shell condition holds, else shows $out.
check() {
    if eval "$2"; then passed=$((passed + 1)) && echo "PASS  $1" && return; fi
    failed=$((failed + 1)) && echo "FAIL  $1" && sed 's/^/      | /' <<<"$out" | head -30
}
# Runs a Wine program for at most $1 seconds: output without CRs in $out, status in $rc.
run() {
    [ $SECONDS -lt $deadline ] || { out= && check "time limit reached" false && finish; }
    out=$(set -o pipefail && timeout "$1" wine "${@:2}" 2>/dev/null </dev/null | tr -d '\r')
    rc=$?
}
reg_value() {  # the data of one registry value in $out
    run 60 reg query "$1" /v "$2"
    out=$(sed -n "s/^    $2    REG_[A-Z_]*    //p" <<<"$out")
}
key=secret port=$((41000 + RANDOM % 8000))  # TZSP: not one another run may use
service_key='HKLM\SYSTEM\CurrentControlSet\Services\vantry_remote'
event_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\vantry_remote'

mkdir -p "$WINEPREFIX"  # the server needs the folder, even for a prefix not made yet
timeout 30 wineserver -p 2>/dev/null
# The first program makes the prefix and starts the service manager ("wineboot
# -i" would start a second one, answering calls by turns). Wine writes events
# on the "eventlog" debug channel; the services inherit this one's channels and
# error output.
WINEDEBUG=-all,+eventlog timeout 180 wine reg query 'HKLM\Software' >/dev/null 2>"$work/events"
timeout 60 wine "$exe" /r >/dev/null 2>&1  # left over from an interrupted run
sleep 3  # until the auto-started services are up, a dispatcher may get one's control pipe

# Probes: wpcap.dll leaves the file planted_loaded in the current folder when
# it is loaded; description.exe prints the description the service manager
# holds (the registry's copy is overwritten at installation).
cat >"$work/planted.c" <<'EOF'
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH)
        CloseHandle(CreateFileA("planted_loaded", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    return module || reserved || TRUE;
}
EOF
cat >"$work/description.c" <<'EOF'
#include <windows.h>
#include <stdio.h>
int main(void) {
    static char buf[16384];
    DWORD n = 0;
    SC_HANDLE m = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE s = m ? OpenServiceA(m, "vantry_remote", SERVICE_QUERY_CONFIG) : NULL;
    return !s || !QueryServiceConfig2A(s, SERVICE_CONFIG_DESCRIPTION, (BYTE*)buf, sizeof buf, &n) ||
           printf("%s\n", ((SERVICE_DESCRIPTIONA*)buf)->lpDescription) < 0;
}
EOF
cc=x86_64-w64-mingw32-gcc
{ $cc -shared -o "$work/wpcap.dll" "$work/planted.c" &&
    $cc -o "$work/description.exe" "$work/description.c" -ladvapi32; } 2>&1 | head -20
# A wpcap.dll in the program's or the current folder must never be loaded:
# a service runs it as LocalSystem. "n,b" makes Wine search as Windows does.
cp "$exe" "$work/"
out=$(cd "$work" && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;wpcap=n,b" timeout 60 \
    wine ./vantry_remote.exe /c -i -1 -c 127.0.0.1:9 -K 2>/dev/null </dev/null | tr -d '\r')
check "capture library from the system folder, not the planted one" '[ -f "$work/wpcap.dll" ] &&
    [ ! -e "$work/planted_loaded" ] && grep -q "^Available interfaces:" <<<"$out"'

run 60 "$exe" /i my_tap -t "$port" -c 127.0.0.1:2055 -k "$key"
check "/i installs" '[ $rc -eq 0 ] && [ "$out" = "vantry_remote installed." ]'
win_exe=$(winepath -w "$exe" 2>/dev/null | tr -d '\r')
while IFS='|' read -r reg_key name want; do
    reg_value "$reg_key" "$name"
    check "registry $name" '[ "$out" = "$want" ]'
done <<EOF
$service_key|Description|vantry_remote for Windows
$service_key|DisplayName|vantry_remote for Windows
$service_key|ImagePath|$win_exe
$service_key|Type|0x10
$service_key|Start|0x2
$service_key|ErrorControl|0x1
$service_key|ObjectName|LocalSystem
$event_key|EventMessageFile|$win_exe
$event_key|TypesSupported|0x4
EOF
options=$(printf '\t/c\tmy_tap\t-t\t%s\t-c\t127.0.0.1:2055\t-k\t' "$port")
reg_value "$service_key\\Parameters" AppParameters
check "registry AppParameters: program path, /c, the options" '[[ "$out" == *.exe"$options$key" ]]'
run 30 "$work/description.exe"  # every user may read the description
check "description: key shown as ********" '[ $rc -eq 0 ] && [[ "$out" == *"$options********" ]]'

run 90 net start vantry_remote
run 30 sc query vantry_remote
check "net start: the service runs" 'grep -q "STATE *: 4 *RUNNING" <<<"$out"'
for _ in $(seq 1 20); do
    out=$(grep -F 'ReportEventW L"vantry_remote: ' "$work/events" | grep -F -- '/c\tmy_tap')
    [ -n "$out" ] && break
    sleep 1
done
check "start event: key shown as ********" \
    'grep -qF -- "-k\\t********\"" <<<"$out" && ! grep -qF -- "$key" <<<"$out"'

run 90 net stop vantry_remote
run 30 sc query vantry_remote
check "net stop: the service stops" 'grep -q "STATE *: 1 *STOPPED" <<<"$out"'
run 60 "$exe" /r my_tap
check "/r removes the stopped service" '[ $rc -eq 0 ] && [ "$out" = "vantry_remote removed." ]'
finish
