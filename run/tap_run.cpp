// One tap run, from the argument string to the stop event.
//
// States: set up (options, collector, socket) -> forwarding (one loop) ->
// shut down -> ended. A signal may arrive in any of them; tap_shutdown then
// only stops and breaks, and the resources the loop holds are released by
// the run thread once the loop has returned.
#include "run/tap_run.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "platform/capture.h"
#include "platform/platform.h"
#include "run/run_settings.h"
#include "run/settings.h"
#include "support/trace_log.h"

namespace {

// Guards the change between "a loop may use the socket and the allow-list"
// and "they may be released".
std::mutex resources_lock;

void release_resources()
{
    net_socket s = settings.udp_socket.exchange(net_invalid_socket);
    if (s != net_invalid_socket)
        net_close(s);
    if (settings.allow_list)
        release_allow_list();
}

void begin_loop()
{
    std::lock_guard<std::mutex> g(resources_lock);
    settings.loop_running = true;
}

void end_loop()
{
    std::lock_guard<std::mutex> g(resources_lock);
    settings.loop_running = false;
}

// Address text and port text of the collector, split at ':' as strtok
// would: the first non-empty field, then the next one; the rest is ignored.
void split_collector(const char* text, char (&buf)[64], const char** addr, const char** port)
{
    std::snprintf(buf, sizeof buf, "%s", text);
    char* fields[2] = {nullptr, nullptr};
    char* p = buf;
    for (char*& field : fields) {
        while (*p == ':')
            ++p;
        if (!*p)
            break;
        field = p;
        while (*p && *p != ':')
            ++p;
        if (*p)
            *p++ = '\0';
    }
    *addr = fields[0];
    *port = fields[1];
}

}  // namespace

std::vector<std::string> split_arguments(const char* text)
{
    std::vector<std::string> out;
    const char* p = text;
    while (*p) {
        while (*p == '\t')
            ++p;
        const char* start = p;
        while (*p && *p != '\t')
            ++p;
        if (p > start)
            out.emplace_back(start, p);
    }
    return out;
}

static bool equals_nocase(const std::string& a, const char* b)
{
    std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void drop_mode_word(std::vector<std::string>& args)
{
    if (args.size() < 2)
        return;
    if (equals_nocase(args[1], "/c")) {
        args.erase(args.begin() + 1);
    } else if (equals_nocase(args[1], "/i") || equals_nocase(args[1], "/r")) {
        // The mode word and the service-name word after it; a list of only
        // the program path and the mode word shrinks to nothing.
        if (args.size() >= 3)
            args.erase(args.begin() + 1, args.begin() + 3);
        else
            args.clear();
    }
}

int tap_setup(std::vector<std::string>& args)
{
    if (net_startup() != 0) {
        UTIL_LOG(trace_level_error, "FATAL ERROR: unable to initialise Winsock 2.x.");
        process_exit(-1);
    }
    settings.udp_socket = net_invalid_socket;

    parse_settings(args);

    char buf[64];
    const char* addr_text = nullptr;
    const char* port_text = nullptr;
    split_collector(settings.collector ? settings.collector->c_str() : "", buf, &addr_text,
                    &port_text);

    // Nothing is ever sent without a destination that was understood: an
    // address that is neither dotted IPv4 nor a resolvable host name is
    // refused like a missing port.
    if (!addr_text) {
        TAP_LOG(trace_level_error, "Invalid -c format specified: missing address");
        return -1;
    }
    if (!port_text) {
        TAP_LOG(trace_level_error, "Invalid -c format specified: missing port");
        return -1;
    }

    if (settings.interface_name && !settings.bpf_filter) {
        // Fragments after the first carry no UDP port, so the tap's own
        // datagrams that exceed the MTU are kept out by the fragment offset.
        // The unreachable errors that a collector host without a listener
        // returns would otherwise be forwarded, each one answered by
        // another: a feedback loop.
        char filter[256];
        std::snprintf(filter, sizeof filter,
                      "not (host %s and (port %s or ip[6:2] & 0x1fff != 0 or "
                      "icmp[icmptype] == icmp-unreach))",
                      addr_text, port_text);
        TAP_LOG(trace_level_normal, "Adding BPF filter '%s' to avoid capturing Vantry traffic",
                filter);
        settings.bpf_filter = filter;
    }

    std::uint32_t addr = 0;
    if (net_resolve_ipv4(addr_text, &addr) != 0) {
        TAP_LOG(trace_level_error,
                "Invalid -c address '%s': not an IPv4 address or a host name with an IPv4 address",
                addr_text);
        return -1;
    }
    // Port 0 cannot be sent to: every datagram would fail.
    const auto port = static_cast<std::uint16_t>(std::atoi(port_text));
    if (port == 0) {
        TAP_LOG(trace_level_error, "Invalid -c port '%s': not a port number", port_text);
        return -1;
    }
    settings.collector_addr.addr = addr;
    settings.collector_addr.port = net_order16(port);
    settings.collector_addr_len = 16;
    settings.has_collector_addr = true;

    net_socket s = net_udp_socket();
    if (s == net_invalid_socket) {
        int e = net_last_error();
        TAP_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
        return -1;
    }
    settings.udp_socket = s;
    return 0;
}

void tap_shutdown(int)
{
    if (!settings.shutdown_done.exchange(true))
        TAP_LOG(trace_level_normal, "Shutting down...");
    settings.stop_requested = true;
    {
        std::lock_guard<std::mutex> g(settings.capture_lock);
        if (settings.capture_handle)
            capture_breakloop(settings.capture_handle);
    }
    std::lock_guard<std::mutex> g(resources_lock);
    if (!settings.loop_running)
        release_resources();
}

unsigned tap_run_thread(void* arg)
{
    char* text = static_cast<char*>(arg);
    std::vector<std::string> args = split_arguments(text ? text : "");
    delete[] text;
    drop_mode_word(args);

    tap_setup(args);
    TAP_LOG(trace_level_normal, "Welcome to %s v.%s", tap_title, tap_version);

    begin_loop();
    if (settings.interface_name)
        run_interface_capture();
    else
        run_tzsp_receiver();
    end_loop();

    tap_shutdown(15);
    if (tap_stop_event)
        stop_event_set(tap_stop_event);
    return 0;
}
