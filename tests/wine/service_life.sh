#!/usr/bin/env bash
# tests/wine/service_life.sh BUILD_WIN_DIR: the Windows service under Wine's service manager, in a prefix and
# wineserver of its own, every call bounded in time. One line per check, then "N passed, M failed"; non-zero on failure.
set -u
[ $# -eq 1 ] && [ -f "$1/vantry_remote.exe" ] || { echo "usage: $0 BUILD_WIN_DIR (the Windows build)" >&2; exit 2; }
build=$(cd "$1" && pwd)
exe=$build/vantry_remote.exe work=$(mktemp -d) deadline=$((SECONDS + 420)) passed=0 failed=0
export WINEPREFIX=$build/wineprefix-service WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="  # no browser, .NET
finish() {  # the service never left behind in the prefix
    timeout 60 wine "$exe" /r >/dev/null 2>&1
    timeout 30 wineserver -k 2>/dev/null; rm -rf "$work"
    echo "$passed passed, $failed failed" && exit $((failed > 0))
}
check() {  # NAME CONDITION: passes when the shell condition holds, else shows $out
    if eval "$2"; then passed=$((passed + 1)) && echo "PASS  $1" && return; fi
    failed=$((failed + 1)) && echo "FAIL  $1" && sed 's/^/      | /' <<<"$out" | head -30
}
run() {  # SECONDS PROGRAM...: its output without CRs in $out, its status in $rc
    [ $SECONDS -lt $deadline ] || { out= && check "time limit reached" false && finish; }
    out=$(set -o pipefail && timeout "$1" wine "${@:2}" 2>/dev/null </dev/null | tr -d '\r')
    rc=$?
}
key=secret port=$((41000 + RANDOM % 8000))  # TZSP: not one another run may use
mkdir -p "$WINEPREFIX"  # the server needs the folder, even for a prefix not made yet
timeout 30 wineserver -p 2>/dev/null
# The first program makes the prefix and starts the service manager ("wineboot -i" would start a second one, answering
# calls by turns). Wine writes events on its "eventlog" debug channel, information as trace, warnings as warn, errors
# as err; services inherit this one's and its error output (and advapi's, where the access lists they set show).
limit=200 logs=$WINEPREFIX/drive_c/ProgramData/Vantry
rm -rf "$logs"  # made anew by the service, as at its first start
WINEDEBUG=-all,+eventlog,+advapi timeout 180 wine reg query 'HKLM\Software' >/dev/null 2>"$work/events"
timeout 60 wine "$exe" /r >/dev/null 2>&1  # left over from an interrupted run
sleep 3  # until the auto-started services are up, a dispatcher may get one's control pipe
# The probe prints the description the service manager holds (the registry's copy is overwritten at installation) and
# the access list of the key that holds the options.
cat >"$work/probe.c" <<'EOF'
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
int main(void) {
    static char buf[16384], *sddl = "";
    DWORD n = sizeof buf; HKEY key;
    SC_HANDLE s = OpenServiceA(OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT), "vantry_remote", SERVICE_QUERY_CONFIG);
    if (s && QueryServiceConfig2A(s, SERVICE_CONFIG_DESCRIPTION, (BYTE*)buf, n, &n))
        printf("description %s\n", ((SERVICE_DESCRIPTIONA*)buf)->lpDescription);
    const char* path = "SYSTEM\\CurrentControlSet\\Services\\vantry_remote\\Parameters";
    if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) && (n = sizeof buf) &&
        !RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buf, &n))
        ConvertSecurityDescriptorToStringSecurityDescriptorA(buf, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, 0);
    return printf("access %s\n", sddl) < 0;
}
EOF
x86_64-w64-mingw32-gcc -o "$work/probe.exe" "$work/probe.c" 2>&1 | head -20
# A wpcap.dll in the program's or the current folder is never loaded (a service runs as LocalSystem); "n,b" makes Wine
# search as Windows does. The planted one leaves a file behind when loaded.
printf '%s\n' '#include <windows.h>' 'BOOL WINAPI DllMain(HINSTANCE m, DWORD why, LPVOID r) {' \
    '    if (why == DLL_PROCESS_ATTACH) CloseHandle(CreateFileA("planted_loaded", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0));' \
    '    return m || r || TRUE; }' >"$work/planted.c"
x86_64-w64-mingw32-gcc -shared -o "$work/wpcap.dll" "$work/planted.c" 2>&1 | head -20 && cp "$exe" "$work/"
out=$(cd "$work" && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;wpcap=n,b" timeout 60 wine ./vantry_remote.exe /c -i -1 \
    -c 127.0.0.1:9 -K 2>/dev/null </dev/null | tr -d '\r')
check "capture library from the system folder, not the planted one" \
    '[ -f "$work/wpcap.dll" ] && [ ! -e "$work/planted_loaded" ] && grep -q "^Available interfaces:" <<<"$out"'
# /i refuses a program in a folder of Windows' own, whose access list it must not replace, such as a drive's root.
cp "$exe" "$WINEPREFIX/drive_c/" && run 60 'C:\vantry_remote.exe' /i my_tap -t "$port" -K
check "/i refuses a program in a drive's root" \
    '[[ $out == "C:\vantry_remote.exe is not in a folder of its own."*"vantry_remote not installed." ]] &&
     ! timeout 30 wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\vantry_remote" >/dev/null 2>&1'
rm -f "$WINEPREFIX/drive_c/vantry_remote.exe"
# An empty option: stored and given back. Wine's trace shows the calls that set the access lists, with the SDDL texts.
out=$(WINEDEBUG=-all,+advapi timeout 60 wine "$exe" /i my_tap -t "$port" -c 127.0.0.1:2055 -f "" -k "$key" \
      2>"$work/trace" </dev/null | tr -d '\r')
rc=$?
check "/i installs" '[ $rc -eq 0 ] && [ "$out" = "vantry_remote installed." ]'
win_exe=$(winepath -w "$exe" 2>/dev/null | tr -d '\r')
out=$(tr -d '\r' <"$work/trace" | sed -n 's/.*:\(ConvertStringSecurityDescriptorToSecurityDescriptorA "[^"]*"\).*/\1/p
      s/.*:\(SetNamedSecurityInfoA "[^"]*" 1 -2147483644\) .*/\1/p')  # SE_FILE_OBJECT, DACL, protected
folder=$(sed 's/\\/\\\\/g; s/\\\\vantry_remote.exe$//' <<<"$win_exe")
to=ConvertStringSecurityDescriptorToSecurityDescriptorA set=SetNamedSecurityInfoA flags=' 1 -2147483644'
only='D:P(A;;FA;;;SY)(A;;FA;;;BA)'
want="$to \"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)\""$'\n'"$set \"$folder\"$flags"
for f in conf key; do want+=$'\n'"$to \"$only\""$'\n'"$set \"$folder\\\\vantry_remote.$f\"$flags"; done
check "/i sets the folder's access list, then the configuration's and the key file's" '[[ $out == "$want"* ]]'
options=$(printf '\t/c\tmy_tap\t-t\t%s\t-c\t127.0.0.1:2055\t-f\t""\t-k\t' "$port")
while IFS='|' read -r key_path name want; do  # what the service manager and the installer wrote
    run 60 reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$key_path" /v "$name"
    out=$(sed -n "s/^    $name    REG_[A-Z_]*    //p" <<<"$out")
    check "registry $name" "[[ \$out == $want ]]"
done <<'EOF'
vantry_remote|Description|"vantry_remote for Windows"
vantry_remote|DisplayName|"vantry_remote for Windows"
vantry_remote|ImagePath|"$win_exe"
vantry_remote|Type|0x10
vantry_remote|Start|0x2
vantry_remote|ErrorControl|0x1
vantry_remote|ObjectName|LocalSystem
EventLog\Application\vantry_remote|EventMessageFile|"$win_exe"
EventLog\Application\vantry_remote|TypesSupported|0x7
vantry_remote\Parameters|AppParameters|*.exe"$options$key"
EOF
run 30 "$work/probe.exe"  # every user may read the description; the options only SYSTEM and Administrators
check "description shows the key as ********; the options key is SYSTEM's and Administrators' only" \
    '[[ $out == *"description "*"$options********"*"access D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)"* ]]'
run 30 reg add 'HKLM\SYSTEM\CurrentControlSet\Services\vantry_remote\Parameters' /v TestLogLimit /t REG_DWORD \
    /d $limit /f  # read by test builds only: the log file rotates at 200 bytes
run 90 net start vantry_remote && run 30 sc query vantry_remote
check "net start: the service runs" 'grep -q "STATE *: 4 *RUNNING" <<<"$out"'
for _ in $(seq 1 20); do  # its start event, once written
    out=$(grep -F 'ReportEventW L"vantry_remote: ' "$work/events" | grep -F -- '/c\tmy_tap') && break || sleep 1
done
check "start event: key shown as ********" 'grep -qF -- "-k\\t********\"" <<<"$out" && ! grep -qF -- "$key" <<<"$out"'
check "start event: the empty option given back to the run" 'grep -qF -- "\\t-f\\t\\\"\\\"\\t-k\\t" <<<"$out"'
run 90 net stop vantry_remote && run 30 sc query vantry_remote
check "net stop: the service stops" 'grep -q "STATE *: 1 *STOPPED" <<<"$out"'
run 30 reg add 'HKLM\SYSTEM\CurrentControlSet\Services\vantry_remote\Parameters' /v AppParameters /d \
    "x"$'\t'"/c"$'\t'"-t"$'\t'"$port"$'\t'"-c"$'\t'"127.0.0.1:2055"$'\t'"-K" /f
run 90 net start vantry_remote && run 90 net stop vantry_remote
for _ in $(seq 1 20); do  # the warning, once written, as a warning event; a normal line as no event at all
    out=$(grep -F ':ReportEventW L"vantry_remote: ' "$work/events") && grep -qF "WARNING: Data" <<<"$out" && break || sleep 1
done
check "a warning line: a warning event" 'grep -q "warn:eventlog:ReportEventW L\"vantry_remote: WARNING: Data will not be encrypted" <<<"$out"'
check "a normal line: no event" '! grep -qF "Running..." <<<"$out"'
# Every line in the log file, which rotates: the two files hold the last lines of the two starts, each within the limit.
out=$(cat "$logs/vantry_remote.log.1" "$logs/vantry_remote.log" 2>&1)
check "log file: the last lines, rotated, each file within the limit" '[[ $out == *"WARNING: Data will not be encrypted"*"Running..."* ]] &&
    [ "$(stat -c %s "$logs/vantry_remote.log")" -le $limit ] && [ "$(stat -c %s "$logs/vantry_remote.log.1")" -le $limit ]'
out=$(tr -d '\r' <"$work/events" | grep -F -A1 'ConvertStringSecurityDescriptorToSecurityDescriptorA "D:PAI')
check "log folder made with SYSTEM and Administrators full control, Users read" '[[ $out == *"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"\
"(A;OICI;0x1200a9;;;BU)"*"SetNamedSecurityInfoA \"C:\\\\ProgramData\\\\Vantry\" 1 -2147483644"* ]]'
run 60 "$exe" /r my_tap
check "/r removes the stopped service" '[ $rc -eq 0 ] && [ "$out" = "vantry_remote removed." ]'
finish
