// One tap run, from the argument string to the stop event.
//
// Phases (run_phase): setting up (options, collector, socket) -> forwarding
// (one loop) -> shutting down -> ended. A signal may arrive in any of them;
// stop_run then only stops and wakes the loop, and the run thread releases
// what the loop held once it has returned.
#include "run/tap_run.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "forward/allow_list.h"
#include "forward/forwarding.h"
#include "forward/packet_filter.h"
#include "forward/sender.h"
#include "wire/speck.h"
#include "wire/sealed_datagram.h"
#include "platform/platform.h"
#include "run/settings.h"
#include "support/text.h"
#include "support/trace_log.h"

namespace {

// The process's one run: the signal entry reaches it only through this.
tap_run_state run_state;

// Released by the run thread alone, once the loop has returned: a stop
// that arrives on another thread never frees what a loop still uses.
void release_resources(tap_run_state& st)
{
    net_socket& s = st.forward.sender.socket;
    if (s != net_invalid_socket)
        net_close(s);
    s = net_invalid_socket;
    st.forward.sender.resolver = nullptr;
    st.resolver.reset();
    st.forward.allow_list = nullptr;
    st.allow_list.reset();
    if (st.sealed.cipher.h)
        sealed_cipher_close(&st.sealed.cipher);
}

// -A: the master key from the key text (a 64-digit key as it is, a
// passphrase through Argon2id with --salt, once per start), then this
// run's own id and key; the text and the master key are wiped once the
// run key is made. A run that cannot seal never falls back to the Speck
// mode: it ends as a key that cannot be set up does. 0 when sealing; -1
// after the usage otherwise.
int set_up_sealing(tap_options& o, tap_run_state& st)
{
    std::uint8_t master[sealed_key_size];
    const std::string& text = *o.key_text;
    const std::string salt = o.salt.value_or("");
    const bool ok = sealed_crypto_init() == 0 &&
                    sealed_master_key(text.data(), text.size(), salt.data(), salt.size(), master) == 0 &&
                    sealed_sender_open(&st.sealed, master) == 0;
    sealed_wipe(master, sizeof master);
    forget_key_text(o);
    if (!ok) {
        TAP_LOG(trace_level_error, "Unable to initialize authenticated encryption (-A)");
        return refuse_with_usage(o);
    }
    char id[2 * sealed_run_id_size + 1];
    for (std::uint32_t i = 0; i < sealed_run_id_size; ++i)
        std::snprintf(id + 2 * i, 3, "%02x", st.sealed.run_id[i]);
    TAP_LOG(trace_level_normal, "Sealing datagrams (-A), run id %s", id);
    return 0;
}

// What the loop gets from the options: the allow-list, the tap id, the
// cipher and, for -i, the capture as the user asked for it.
void hand_over(tap_options& o, tap_run_state& st)
{
    st.allow_list = std::move(o.allow_list);
    forward_context& ctx = st.forward;
    ctx.allow_list = st.allow_list.get();
    ctx.tap_id = o.tap_id;
    ctx.stats_seconds = o.stats_seconds;
    ctx.sender.encrypt = !o.disable_encryption;
    ctx.sender.key = speck_key;
    ctx.sender.sealed = o.authenticated ? &st.sealed : nullptr;
    // Sealed datagrams fit the path whole; Speck-mode ones stay as they
    // always were.
    ctx.sender.path_mtu = o.authenticated ? static_cast<std::uint32_t>(o.mtu) : 0;
    // The headers of the collector's family are charged once it is known.
    rate_cap_init(ctx.cap, o.max_rate_bits, net_udp_overhead(net_peer{}));
    if (o.max_rate_bits)
        TAP_LOG(trace_level_normal, "Sending at most %s Mbit/s (-R), IP and UDP headers included",
                ctx.cap.text);
    if (o.interface_name)
        st.capture = {*o.interface_name, o.snaplen, o.bpf_filter, std::nullopt,
                      o.bpf_filter.value_or("")};
}

// The destination, and for -i the filter that keeps the tap's own
// datagrams out of the capture.
void aim_at_collector(const tap_options& o, tap_run_state& st, const collector_address& c)
{
    tap_sender& sender = st.forward.sender;
    sender.to = c.peer;
    sender.has_destination = true;
    if (!o.interface_name)
        return;
    // Built from the address actually sent to, whatever way it was
    // written, and applied whatever the user's filter: without it the tap
    // would capture its own datagrams and send them again.
    std::string self = self_exclusion_filter(c.peer);
    TAP_LOG(trace_level_normal, "Adding BPF filter '%s' to avoid capturing Vantry traffic",
            self.c_str());
    st.capture.filter = capture_filter_text(st.capture.user_filter, self);
    st.capture.fallback_filter = std::move(self);
}

// Opened and bound now rather than at the first send, so that the TZSP
// loop knows the port its own datagrams come from.
run_end open_socket(tap_run_state& st)
{
    tap_sender& sender = st.forward.sender;
    st.forward.cap.datagram_overhead = net_udp_overhead(sender.to);
    net_socket s = collector_socket_open(sender.to, 0, sender.path_mtu != 0);
    if (s == net_invalid_socket) {
        int e = net_last_error();
        TAP_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
        return run_end::no_socket;
    }
    sender.socket = s;
    return run_end::none;
}

// A collector named by a host name is looked up again while the run lasts;
// an address never is.
void follow_collector_name(tap_run_state& st, const collector_address& c)
{
    if (c.literal)
        return;
    st.resolver = collector_resolver_start(c.name, c.peer);
    st.forward.sender.resolver = st.resolver.get();
}

// Splits the collector text into its address and port: "[address]:port",
// or else the first non-empty field between colons and the next non-empty
// one, anything after them ignored. 0, or -1 with an ERROR line.
int split_collector(std::string_view text, std::string* addr, std::string* port)
{
    const std::size_t a = text.find_first_not_of(':');
    if (a == std::string_view::npos) {
        TAP_LOG(trace_level_error, "Invalid -c format specified: missing address");
        return -1;
    }
    std::size_t p = 0;
    if (text[a] == '[') {
        const std::size_t close = text.find(']', a);
        if (close == std::string_view::npos) {
            TAP_LOG(trace_level_error, "Invalid -c format specified: missing ']' after the IPv6 address");
            return -1;
        }
        *addr = text.substr(a + 1, close - a - 1);
        p = text.size() > close + 1 && text[close + 1] == ':' ? close + 2 : text.size();
    } else {
        // Unbracketed, the colons of an IPv6 address would be read as the
        // end of the address: its first group taken for a host, the next
        // for a port.
        const std::string rest(text);
        const std::string head = rest.substr(0, rest.rfind(':'));
        net_peer probe;
        for (const std::string& t : {rest, head})
            if (net_address_literal(t.c_str(), 0, &probe) == 0 && probe.family == net_family_ipv6) {
                TAP_LOG(trace_level_error,
                        "Invalid -c address '%s': write an IPv6 address in brackets, as in "
                        "[2001:db8::1]:5000",
                        t.c_str());
                return -1;
            }
        const std::size_t a_end = std::min(text.find(':', a), text.size());
        *addr = text.substr(a, a_end - a);
        p = text.find_first_not_of(':', a_end);
    }
    if (p == std::string_view::npos || p >= text.size()) {
        TAP_LOG(trace_level_error, "Invalid -c format specified: missing port");
        return -1;
    }
    *port = text.substr(p, text.find(':', p) - p);
    return 0;
}

// Set up, forward until stopped, shut down; or end the process where the
// set-up's end says so.
void run_tap(tap_run_state& st, std::vector<std::string>& args)
{
    tap_options o;
    const run_end end = tap_setup(o, st, args);
    const run_end_rule rule = run_end_rule_of(end);
    if (rule.ends_process) {
        if (rule.announces_shutdown)
            stop_run(st);
        process_exit(rule.status);
    }
    if (end == run_end::none) {
        TAP_LOG(trace_level_normal, "Welcome to %s v.%s", tap_title, vantry_version);
        signals_install(tap_shutdown);
        if (run_phase_enter(st, run_phase::forwarding)) {
            if (o.interface_name)
                run_interface_capture(st.forward, st.capture);
            else
                run_tzsp_receiver(st.forward, o.tzsp_port);
        }
    }
    run_phase_enter(st, run_phase::shutting_down);
    if (st.forward.sender.failures)
        TAP_LOG(trace_level_warning, "%llu datagrams could not be sent",
                static_cast<unsigned long long>(st.forward.sender.failures));
    stop_run(st);
    release_resources(st);
    run_phase_enter(st, run_phase::ended);
}

}  // namespace

bool run_phase_enter(tap_run_state& st, run_phase next)
{
    run_phase now = st.phase.load();
    while (static_cast<int>(next) > static_cast<int>(now))
        if (st.phase.compare_exchange_weak(now, next))
            return true;
    return false;
}

int read_collector(std::string_view text, collector_address* out)
{
    std::string addr_text;
    std::string port_text;
    if (split_collector(text, &addr_text, &port_text) != 0)
        return -1;
    if (addr_text.size() > collector_name_max) {
        TAP_LOG(trace_level_error, "Invalid -c address: %zu characters, at most %zu",
                addr_text.size(), collector_name_max);
        return -1;
    }
    // Digits only, read like every other number: a port that is not the
    // one written (cut, wrapped or read from its first digits) would send
    // the datagrams somewhere nobody asked for.
    const int value = read_int(port_text.c_str());
    const bool digits = port_text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || value < 1 || value > 65535) {
        TAP_LOG(trace_level_error, "Invalid -c port '%s': not a port number", port_text.c_str());
        return -1;
    }
    const auto port = static_cast<std::uint16_t>(value);
    out->literal = net_address_literal(addr_text.c_str(), port, &out->peer) == 0;
    if (!out->literal && net_resolve_peer(addr_text.c_str(), port, &out->peer) != 0) {
        TAP_LOG(trace_level_error,
                "Invalid -c address '%s': not an IPv4 or IPv6 address, nor a host name that resolves "
                "to one",
                addr_text.c_str());
        return -1;
    }
    out->name = std::move(addr_text);
    return 0;
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

run_end tap_setup(tap_options& o, tap_run_state& st, std::vector<std::string>& args)
{
    if (net_startup() != 0) {
        UTIL_LOG(trace_level_error, "FATAL ERROR: unable to initialise Winsock 2.x.");
        return run_end::no_socket_library;
    }
    if (parse_settings(o, args) != 0)
        return o.stopped_by;
    if (o.authenticated && set_up_sealing(o, st) != 0)
        return o.stopped_by;
    hand_over(o, st);

    collector_address collector;
    // The one failed step after which the run goes on: without a socket
    // the loop says "Socket error" at once, and users and scripts have
    // always seen the version line and that error after this message, and
    // the status 0 of a run that ended.
    if (read_collector(o.collector ? *o.collector : std::string_view(), &collector) != 0)
        return run_end::none;
    aim_at_collector(o, st, collector);
    const run_end end = open_socket(st);
    if (end == run_end::none)
        follow_collector_name(st, collector);
    return end;
}

void stop_run(tap_run_state& st)
{
    if (!st.shutdown_claimed.exchange(true))
        TAP_LOG(trace_level_normal, "Shutting down...");
    // Stops and wakes the loop only: what it holds is released by the run
    // thread once it has returned.
    forward_stop(st.forward);
}

void tap_shutdown(int) { stop_run(run_state); }

unsigned tap_run_thread(void* arg)
{
    char* text = static_cast<char*>(arg);
    std::vector<std::string> args = split_arguments(text ? text : "");
    delete[] text;
    drop_mode_word(args);
    run_tap(run_state, args);
    stop_event_set_shared(tap_stop_event, stop_event_set);
    return 0;
}
