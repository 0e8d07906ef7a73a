#!/usr/bin/env bash
# tools/test_packages.sh [BUILD_DIR]: builds the Debian package from a Release build (default build-pkg), installs it
# on this machine (root; CI's is a throwaway one), checks what it installed, then removes and purges it: no file may
# remain but the configuration after removal, nothing after purging. A run holds a lock, so that two never install
# at once; an interrupted run purges what it installed. One line per check, then "N passed, M failed".
set -u
cd "$(dirname "$0")/.."
root=$PWD build=${1:-$root/build-pkg} passed=0 failed=0 out= installed_here=0
[ "$(id -u)" -eq 0 ] || { echo "$0: installs a package: run as root" >&2; exit 2; }
mkdir -p "$build" && build=$(cd "$build" && pwd)
check() {  # NAME CONDITION: passes when the shell condition holds, else shows $out
    if eval "$2"; then passed=$((passed + 1)) && echo "PASS  $1" && return; fi
    failed=$((failed + 1)) && echo "FAIL  $1" && sed 's/^/      | /' <<<"$out" | head -30
}
dpkg_run() {  # dpkg ARGS, again while another dpkg holds its lock (at most 2 minutes); output in $out
    for _ in $(seq 1 60); do
        out=$(timeout 120 dpkg "$@" 2>&1) && return 0
        grep -q 'lock' <<<"$out" || return 1
        sleep 2
    done
    return 1
}
finish() {
    [ $installed_here -eq 1 ] && dpkg-query -W vantry >/dev/null 2>&1 && timeout 120 dpkg -P vantry >/dev/null 2>&1
    echo "$passed passed, $failed failed" && exit $((failed > 0))
}
trap finish EXIT
mkdir -p /run/lock && exec 9>/run/lock/vantry-package-test.lock
timeout 600 flock 9 || { out="another run holds the lock" && check "lock" false && exit; }

# A build for another prefix (the default /usr/local) must refuse to make a Debian package, before building anything.
out=$(rm -rf "$build-local" && cmake -G Ninja -S "$root" -B "$build-local" -DVANTRY_TESTS=OFF >/dev/null 2>&1 &&
      cd "$build-local" && cpack -G DEB 2>&1)
check "no Debian package from a build for /usr/local" '[[ $out == *"configure it with -DCMAKE_INSTALL_PREFIX=/usr"* ]] &&
    ! ls "$build-local"/*.deb >/dev/null 2>&1'
rm -rf "$build-local"

out=$({ cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTRY_TESTS=OFF -DVANTRY_WERROR=ON \
          -DCMAKE_INSTALL_PREFIX=/usr && ninja -C "$build" && rm -f "$build"/vantry_*.deb && (cd "$build" && cpack -G DEB)
      } 2>&1)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$(ls "$build"/vantry_"$version"_*.deb 2>/dev/null)
check "package built, version $version from project()" '[ -f "$deb" ]'
[ -f "$deb" ] || exit
out=$(dpkg-deb -f "$deb" Depends)
check "dependencies from the programs' libraries" '[[ $out == *libpcap0.8* && $out == *libc6* && $out == *adduser* && $out == *librdkafka1* ]]'
if dpkg-query -W -f='${Status}' vantry 2>/dev/null | grep -q installed; then
    out="the package vantry is installed already: remove it first (dpkg -P vantry)" && check "not installed before" false
    exit
fi

installed_here=1
dpkg_run -i "$deb"
check "dpkg -i" '[ $? -eq 0 ]'
files=$(dpkg -L vantry)
conf=/etc/vantry_remote extcap=$(tshark -G folders 2>/dev/null | sed -n 's/^Extcap path:\s*//p')
out=$(/usr/bin/vantry_remote /c -V 2>&1)
check "vantry_remote -V from /usr/bin" '[[ $out == *"Version:       $version"* ]]'
out=$(/usr/bin/vantry_collector -V 2>&1)
check "vantry_collector -V from /usr/bin" '[ "$out" = "vantry_collector $version" ]'
out=$(readlink -f "${extcap:-/usr/lib/x86_64-linux-gnu/wireshark/extcap}/vantry_collector"; timeout 60 tshark -D 2>&1)
check "the collector is tshark's interface vantry (link in ${extcap:-its extcap folder})" \
    '[ -z "$extcap" ] || [[ $out == /usr/bin/vantry_collector* && $out == *"vantry (Vantry remote tap collector)"* ]]'
out=$(stat -c '%n %a %U:%G' "$conf"/*; dpkg-query -W -f='${Conffiles}' vantry; getent passwd vantry vantry-collector)
check "configuration: conffiles, mode 640, each program's to its own user" "[[ \$out == *'$conf/vantry_remote.conf 640 root:vantry'* &&
    \$out == *'$conf/vantry_collector.conf 640 root:vantry-collector'* && \$out == *' $conf/vantry_remote.conf '* &&
    \$out == *' $conf/vantry_collector.conf '* && \$out == *'vantry:x:'* && \$out == *'vantry-collector:x:'* ]]"
# The keys from files named in the samples, never on a command line; no capability but the one each needs; no core;
# each tells systemd when it is ready and pings its watchdog.
units=/usr/lib/systemd/system
while IFS='|' read -r file want; do
    out=$(grep -vE '^\s*(#|$)' "$file")
    check "$(basename "$file"): $want" 'grep -qxF -- "$want" <<<"$out"'
done <<LINES
$units/vantry_remote.service|User=vantry
$units/vantry_remote.service|CapabilityBoundingSet=CAP_NET_RAW
$units/vantry_remote.service|AmbientCapabilities=CAP_NET_RAW
$units/vantry_remote.service|LimitCORE=0
$units/vantry_collector.service|User=vantry-collector
$units/vantry_collector.service|ExecStart=/usr/bin/vantry_collector --state %S/vantry_collector \$VANTRY_COLLECTOR_OPTIONS
$units/vantry_collector.service|CapabilityBoundingSet=
$units/vantry_collector.service|LimitCORE=0
$units/vantry_remote.service|Type=notify
$units/vantry_remote.service|NotifyAccess=main
$units/vantry_remote.service|WatchdogSec=30
$units/vantry_collector.service|Type=notify
$units/vantry_collector.service|NotifyAccess=main
$units/vantry_collector.service|WatchdogSec=30
$conf/vantry_collector.conf|VANTRY_COLLECTOR_OPTIONS="-p 1234 -A --key-file $conf/vantry_collector.key --utc -w tap-%Y%m%d-%H%M%S.pcapng -G 3600 -W 48 -S 3600"
LINES
out=$(grep -F -- "--key-file" "$conf/vantry_remote.conf")
check "vantry_remote.conf shows the key file for -A" '[ "$out" = "# --key-file $conf/vantry_remote.key" ]'
# The pages as the package holds them (a system may be set to leave /usr/share/man out when installing).
rm -rf "$build/deb-root" && dpkg-deb -x "$deb" "$build/deb-root"
for page in vantry_remote vantry_collector; do
    file=/usr/share/man/man8/$page.8.gz
    warnings=$(MANWIDTH=80 timeout 30 man --warnings -l "$build/deb-root$file" 2>&1 >/dev/null)
    out=$(MANWIDTH=80 timeout 30 man -l "$build/deb-root$file" 2>&1)$'\n'"warnings: $warnings"
    check "man page $page: installed, renders without warnings" 'grep -qx "$file" <<<"$files" &&
        [[ $out == *SYNOPSIS*OPTIONS*"EXIT STATUS"*SECURITY*EXAMPLES* ]] && [ -z "$warnings" ]'
done
if command -v systemd-analyze >/dev/null; then
    out=$(cd / && timeout 60 systemd-analyze verify /usr/lib/systemd/system/vantry_{remote,collector}.service 2>&1)
    check "systemd-analyze verify: both units" '[ $? -eq 0 ] && ! grep -qi "vantry" <<<"$out"'
else
    echo "SKIP  systemd-analyze verify (no systemd-analyze here)"
fi
out=$(ls /etc/systemd/system/*.wants 2>&1)
check "units not enabled by installing" '! grep -q vantry <<<"$out"'

# An edited configuration survives reinstalling (the package's copy has not changed: dpkg keeps the operator's), and
# keys made by hand are given to their program's user.
echo "--tap-id 7" >>"$conf/vantry_remote.conf"
(umask 077 && echo key >"$conf/vantry_remote.key" && echo key >"$conf/vantry_collector.key")
dpkg_run -i "$deb"
out+=$(tail -1 "$conf/vantry_remote.conf")
check "the edited configuration survives an upgrade" '[ "$(tail -1 "$conf/vantry_remote.conf")" = "--tap-id 7" ]'
out=$(stat -c '%n %a %U:%G' "$conf"/*.key)
check "keys made by hand: mode 640, each to its program's user" '[[ $out == *"vantry_collector.key 640 root:vantry-collector"* &&
    $out == *"vantry_remote.key 640 root:vantry" ]]'

dpkg_run -r vantry
left=$(while read -r f; do [ -e "$f" ] && [ ! -d "$f" ] || [ -L "$f" ] && echo "$f"; done <<<"$files")
out="$out"$'\n'"left: $left"
check "dpkg -r: only the configuration is left" "[ \"\$left\" = \"$conf/vantry_collector.conf\"$'\n'\"$conf/vantry_remote.conf\" ]"
dpkg_run -P vantry
out="$out"$'\n'"$(ls -d "$conf" 2>&1; getent passwd vantry vantry-collector)"
check "dpkg -P: the configuration, the keys and both users are gone" '[ ! -e "$conf" ] &&
    ! getent passwd vantry >/dev/null && ! getent passwd vantry-collector >/dev/null &&
    ! getent group vantry >/dev/null && ! getent group vantry-collector >/dev/null && ! dpkg-query -W vantry >/dev/null 2>&1'
installed_here=0
rm -rf "$build/deb-root"
echo "size: $(basename "$deb") $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
