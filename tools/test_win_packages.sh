#!/usr/bin/env bash
# tools/test_win_packages.sh [BUILD_DIR]: builds the Windows packages (a zip and an NSIS installer) from a Release
# build (default build-win-pkg) and tries them under Wine, in a prefix and wineserver of their own: the zip holds the
# programs and no DLL that Windows lacks; the installer installs silently into Program Files, with the service when
# given /SERVICEARGS; the programs run from there, /r and /i work there; the uninstaller removes the service and every
# file. One line per check, then "N passed, M failed"; non-zero on failure. Every call is bounded in time.
set -u
cd "$(dirname "$0")/.."
root=$PWD build=${1:-$root/build-win-pkg} passed=0 failed=0 out=
mkdir -p "$build" && build=$(cd "$build" && pwd)
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="  # no browser, .NET
check() {  # NAME CONDITION: passes when the shell condition holds, else shows $out
    if eval "$2"; then passed=$((passed + 1)) && echo "PASS  $1" && return; fi
    failed=$((failed + 1)) && echo "FAIL  $1" && sed 's/^/      | /' <<<"$out" | head -30
}
finish() {
    timeout 30 wineserver -k 2>/dev/null
    echo "$passed passed, $failed failed" && exit $((failed > 0))
}
win() {  # SECONDS PROGRAM...: its output without CRs in $out, its status in $rc
    out=$(set -o pipefail && timeout "$1" wine "${@:2}" 2>/dev/null </dev/null | tr -d '\r')
    rc=$?
}

out=$({ cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTRY_TESTS=OFF -DVANTRY_WERROR=ON \
          -DVANTRY_EXTCAP_DIR= -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake && ninja -C "$build" &&
        rm -f "$build"/vantry-*-win64* && (cd "$build" && cpack -G ZIP) && ninja -C "$build" installer; } 2>&1)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip=$build/vantry-$version-win64.zip setup=$build/vantry-$version-win64-setup.exe
check "zip and installer built" '[ -f "$zip" ] && [ -f "$setup" ]'
[ -f "$zip" ] && [ -f "$setup" ] || finish

# The zip: one folder with the programs, the README and the sample configuration; every DLL the programs import is
# Windows' own (Npcap's wpcap.dll is loaded at run time, from the system folder only) or in the zip.
out=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
want=$(printf "vantry-$version-win64/%s " README-windows.txt vantry_collector.exe vantry_remote.conf vantry_remote.exe)
check "zip holds the programs, README and configuration" '[ "$out" = "$want" ]'
system_dlls=" advapi32.dll kernel32.dll msvcrt.dll ws2_32.dll user32.dll shell32.dll bcrypt.dll iphlpapi.dll "
out=$(unzip -o -q "$zip" -d "$build/zip-check" && cd "$build/zip-check"/vantry-*-win64 && ls && for exe in *.exe; do
      x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p'; done | tr 'A-Z' 'a-z' | sort -u)
missing=$(for dll in $(sed -n '/\.dll$/p' <<<"$out"); do
          [[ $system_dlls == *" $dll "* ]] || grep -qix "$dll" <<<"$out" || echo "$dll"; done)
check "every DLL imported is Windows' own or in the zip" '[ -z "$missing" ] && grep -q kernel32.dll <<<"$out"'
rm -rf "$build/zip-check"

mkdir -p "$WINEPREFIX"
timeout 30 wineserver -p 2>/dev/null
timeout 180 wine reg query 'HKLM\Software' >/dev/null 2>&1  # makes the prefix, starts the service manager
dir=$WINEPREFIX/drive_c/"Program Files"/Vantry exe='C:\Program Files\Vantry\vantry_remote.exe'
service='HKLM\SYSTEM\CurrentControlSet\Services\vantry_remote'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantry'
files="README-windows.txt uninstall.exe vantry_collector.exe vantry_remote.conf vantry_remote.exe "
installed() { out=$(ls "$dir" 2>&1 | tr '\n' ' '); }
registry() {  # KEY VALUE: the value's data in $out
    win 30 reg query "$1" /v "$2" && out=$(sed -n "s/^    $2    REG_[A-Z_]*    //p" <<<"$out")
}
# Whatever an interrupted run left in the prefix.
timeout 60 wine sc delete vantry_remote >/dev/null 2>&1
timeout 30 wine reg delete "$uninstall_key" /f >/dev/null 2>&1
rm -rf "$dir"
gone() {  # [FOLDER]: waits (at most 60 s) until the uninstaller, which runs from a copy of itself, has removed it
    for _ in $(seq 1 60); do [ -e "${1:-$dir}" ] || return 0; sleep 1; done
    return 1
}

# As typed at a Windows prompt, the options in quotes (wine would quote a whole word that holds blanks).
printf '@"%s" /S /SERVICEARGS="-t 37008 -c 127.0.0.1:1234 -k mango"\r\n' "$(winepath -w "$setup" 2>/dev/null | tr -d '\r')" \
    >"$build/install.bat"
win 120 cmd /c "$(winepath -w "$build/install.bat" 2>/dev/null | tr -d '\r')"
installed
check "silent install: the files in Program Files" '[ $rc -eq 0 ] && [ "$out" = "$files" ]'
registry "$uninstall_key" DisplayVersion
check "silent install: listed among the programs, with its version" '[ "$out" = "$version" ]'
registry "$service" ImagePath
check "silent install: the service runs the installed program" '[ "$out" = "\"$exe\"" ]'
registry "$service\\Parameters" AppParameters
check "silent install: the service has the options given" '[[ $out == *$'"'"'\t/c\tvantry\t-t\t37008\t-c\t127.0.0.1:1234\t-k\tmango'"'"' ]]'
win 60 "$exe" /c -V
check "the installed tap prints its version" '[[ $out == *"Version:       $version"* ]]'
win 60 'C:\Program Files\Vantry\vantry_collector.exe' -V
check "the installed collector prints its version" '[ "$out" = "vantry_collector $version" ]'
win 60 "$exe" /r vantry
check "/r from the installed place" '[ $rc -eq 0 ] && [ "$out" = "vantry_remote removed." ]'
win 60 "$exe" /i my_tap -t 37008 -c 127.0.0.1:1234 -K
check "/i from the installed place" '[ $rc -eq 0 ] && [ "$out" = "vantry_remote installed." ]'
win 60 "$dir/uninstall.exe" /S
gone
installed
check "silent uninstall: every file and the folder removed" '[[ $out == *"No such file"* ]]'
win 30 reg query "$service"
check "silent uninstall: the service removed" '[ $rc -ne 0 ]'
win 30 reg query "$uninstall_key"
check "silent uninstall: no longer listed among the programs" '[ $rc -ne 0 ]'

win 120 "$setup" /S "/SERVICEARGS=-t 9 -K -c 127.0.0.1:1"  # the whole option in quotes
registry "$service\\Parameters" AppParameters
check "silent install, the whole option quoted: the service has the options" \
    '[[ $out == *$'"'"'\t/c\tvantry\t-t\t9\t-K\t-c\t127.0.0.1:1'"'"' ]]'
win 60 "$dir/uninstall.exe" /S
gone

# A folder of one's own (/D=) gets the installer's access list too, through icacls. Wine's icacls does nothing, so
# what shows here is the installer's calls (Wine's trace of the processes it starts) and that it goes on past them.
custom=$WINEPREFIX/drive_c/Tools/Vantry
rm -rf "$custom"
calls=$(WINEDEBUG=+process timeout 120 wine "$setup" /S '/D=C:\Tools\Vantry' 2>&1 >/dev/null </dev/null |
        sed -n 's/.*CreateProcessInternalW app (null) cmdline L"\\"C:\\\\windows\\\\system32\\\\icacls.exe\\" //p' | tr -d '\r')
out=$(ls "$custom" 2>&1 | tr '\n' ' ')$'\n'$calls
want='\"C:\\Tools\\Vantry\" /reset /T /C /Q"
\"C:\\Tools\\Vantry\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX /Q"
\"C:\\Tools\\Vantry\\vantry_remote.conf\" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F /Q"'
check "silent install into a folder given with /D=: its access list set, the configuration SYSTEM's and Administrators'" \
    '[ "$out" = "$files"$'"'"'\n'"'"'"$want" ]'
win 60 "$custom/uninstall.exe" /S
gone "$custom"

win 120 "$setup" /S  # no /SERVICEARGS: no service
installed
check "silent install without options: the files, and no service" \
    '[ "$out" = "$files" ] && ! timeout 30 wine reg query "$service" >/dev/null 2>&1'
win 60 "$dir/uninstall.exe" /S
gone
check "silent uninstall without a service" '[ ! -e "$dir" ]'

echo "sizes: installer $(stat -c %s "$setup") bytes, zip $(stat -c %s "$zip") bytes"
finish
