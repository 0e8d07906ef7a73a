#!/usr/bin/env bash
# tools/check_layers.sh: reads the #include lines of every folder of code and fails on any include the layers do not
# allow (docs/architecture.md). The linker catches a call upwards, but not the use of a header alone: an inline
# function, a constant, a record. Also fails when code outside platform/ (and the service host's Windows calls)
# includes an operating system header.
set -u
cd "$(dirname "$0")/.."

# What each folder may include besides itself; tests/, fuzz/ and bench/ may include anything.
declare -A allowed=(
    [platform]=""
    [support]="platform"
    [wire]="support platform"
    [forward]="wire support platform"
    [run]="forward wire support platform"
    [service]="run forward wire support platform"
    [collector]="wire support platform"
)
# Headers of the operating system, its socket library and the capture library, by name.
os_headers='^(windows|winsock2|ws2tcpip|iphlpapi|io|fcntl|unistd|poll|netdb|ifaddrs|dlfcn|pthread|pcap|linux/.*|sys/.*|net/.*|netinet/.*|arpa/.*|pcap/.*)\.h$'
# The one place above platform/ that calls Win32 itself: the service host's replaceable record.
os_allowed_outside='^service/service_api_(win|posix)\.cpp$'

bad=0
for folder in "${!allowed[@]}"; do
    [ -d "$folder" ] || { echo "check_layers: folder $folder/ is missing"; bad=$((bad + 1)); continue; }
    while IFS=: read -r file line text; do
        if [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([^\"/]+)/ ]]; then
            to=${BASH_REMATCH[1]}
            [ "$to" = "$folder" ] && continue
            [[ " ${allowed[$folder]} " == *" $to "* ]] && continue
            echo "$file:$line: $folder/ may not include $to/: $text"
            bad=$((bad + 1))
        elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
            header=${BASH_REMATCH[1]}
            [ "$folder" = platform ] && continue
            [[ $header =~ $os_headers ]] || continue
            [[ $file =~ $os_allowed_outside ]] && continue
            echo "$file:$line: only platform/ includes operating system headers: $text"
            bad=$((bad + 1))
        elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\" ]]; then
            echo "$file:$line: includes name their folder (\"folder/file.h\"): $text"
            bad=$((bad + 1))
        fi
    done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include' "$folder"/*.cpp "$folder"/*.h 2>/dev/null)
done
[ "$bad" -eq 0 ] && echo "layers: every include allowed" && exit 0
echo "layers: $bad include(s) the architecture does not allow"
exit 1
