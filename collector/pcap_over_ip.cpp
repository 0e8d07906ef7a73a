#include "collector/pcap_over_ip.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

#include "collector/collector_log.h"
#include "collector/pcap_stream.h"

namespace {

// Accepted per serve, and the backlog: a flood of connections cannot keep
// the writer in one call, the rest wait for the next.
constexpr int accepts_per_serve = pcap_over_ip_clients_max * 2;
// What a client sends is read, at most this much per serve, only so that
// its bytes do not pile up in the system's buffers.
constexpr std::size_t discard_bytes = 4096;
constexpr int discard_reads = 4;

struct client {
    net_socket s = net_invalid_socket;
    net_peer peer;
    std::unique_ptr<std::uint8_t[]> ring;  // pcap_over_ip_queue_bytes, while connected
    std::size_t head = 0;                  // the next byte to write
    std::size_t used = 0;
    std::uint64_t dropped = 0;
    bool behind = false;
    std::uint64_t behind_since_ms = 0;
};

}  // namespace

struct pcap_over_ip {
    net_socket listener = net_invalid_socket;
    std::uint16_t port = 0;
    client clients[pcap_over_ip_clients_max];
    pcap_over_ip_counts totals;
    bool refusal_told = false;
    std::uint64_t refusal_told_ms = 0;
};

namespace {

// The caller has checked that n bytes fit.
void ring_put(client& c, const std::uint8_t* p, std::size_t n)
{
    const std::size_t tail = (c.head + c.used) % pcap_over_ip_queue_bytes;
    const std::size_t first = std::min(n, pcap_over_ip_queue_bytes - tail);
    std::memcpy(c.ring.get() + tail, p, first);
    std::memcpy(c.ring.get(), p + first, n - first);
    c.used += n;
}

// Writes what the socket takes now, the ring's end and then its start.
// 0; -1 when the client is gone.
int ring_write(client& c)
{
    while (c.used > 0) {
        const std::size_t piece = std::min(c.used, pcap_over_ip_queue_bytes - c.head);
        const long w = net_tcp_write(c.s, c.ring.get() + c.head, piece);
        if (w < 0)
            return -1;
        c.head = (c.head + static_cast<std::size_t>(w)) % pcap_over_ip_queue_bytes;
        c.used -= static_cast<std::size_t>(w);
        if (static_cast<std::size_t>(w) < piece)
            break;
    }
    return 0;
}

void remove_client(pcap_over_ip* s, client& c)
{
    net_close(c.s);
    c = client{};
    --s->totals.clients;
}

void refuse(pcap_over_ip* s, const char* who, std::uint64_t now_ms)
{
    ++s->totals.clients_refused;
    if (s->refusal_told && now_ms - s->refusal_told_ms < pcap_over_ip_refusal_line_ms)
        return;
    s->refusal_told = true;
    s->refusal_told_ms = now_ms;
    COLLECTOR_LOG(trace_level_warning,
                  "PCAP over IP refused the client %s: %d clients are connected, the most served at "
                  "once (%" PRIu64 " refused in all; this line comes at most once a minute)",
                  who, pcap_over_ip_clients_max, s->totals.clients_refused);
}

void accept_clients(pcap_over_ip* s, std::uint64_t now_ms)
{
    for (int k = 0; k < accepts_per_serve; ++k) {
        net_peer peer;
        const net_socket fd = net_tcp_accept(s->listener, &peer);
        if (fd == net_invalid_socket)
            return;
        char who[net_peer_text_max];
        net_peer_text(peer, who, sizeof who);
        client* c = std::find_if(std::begin(s->clients), std::end(s->clients),
                                 [](const client& x) { return x.s == net_invalid_socket; });
        if (c == std::end(s->clients)) {
            net_close(fd);
            refuse(s, who, now_ms);
            continue;
        }
        c->ring.reset(new (std::nothrow) std::uint8_t[pcap_over_ip_queue_bytes]);
        if (!c->ring) {
            net_close(fd);
            COLLECTOR_LOG(trace_level_error,
                          "PCAP over IP closed the client %s: out of memory for its %zu-byte queue", who,
                          pcap_over_ip_queue_bytes);
            continue;
        }
        c->s = fd;
        c->peer = peer;
        std::uint8_t header[pcap_file_header_size];
        pcap_fill_file_header(header);
        ring_put(*c, header, sizeof header);
        ++s->totals.clients;
        ++s->totals.clients_served;
        COLLECTOR_LOG(trace_level_verbose, "PCAP over IP client %s connected", who);
    }
}

// Reads and throws away what c sent, writes what it takes, and removes it
// when it closed, failed or stayed behind too long.
void step(pcap_over_ip* s, client& c, std::uint64_t now_ms)
{
    char who[net_peer_text_max];
    net_peer_text(c.peer, who, sizeof who);
    std::uint8_t sink[discard_bytes];
    for (int k = 0; k < discard_reads; ++k) {
        const long r = net_tcp_read(c.s, sink, sizeof sink);
        if (r == net_recv_nothing)
            break;
        if (r <= 0) {
            COLLECTOR_LOG(trace_level_verbose, "PCAP over IP client %s closed the connection", who);
            remove_client(s, c);
            return;
        }
    }
    if (ring_write(c) != 0) {
        const int e = net_last_error();
        COLLECTOR_LOG(trace_level_verbose, "PCAP over IP client %s is gone %d/%s", who, e,
                      os_error_text(e));
        remove_client(s, c);
        return;
    }
    if (c.behind && c.used <= pcap_over_ip_queue_bytes / 2)
        c.behind = false;
    if (c.behind && now_ms >= c.behind_since_ms && now_ms - c.behind_since_ms >= pcap_over_ip_behind_ms) {
        COLLECTOR_LOG(trace_level_warning,
                      "PCAP over IP disconnected the client %s: it stayed behind the traffic for %" PRIu64
                      " s (%" PRIu64 " frames dropped for it); a reader must keep up with every tap's "
                      "frames: read on a faster link or host, or capture less at the taps",
                      who, (now_ms - c.behind_since_ms) / 1000, c.dropped);
        ++s->totals.clients_behind;
        remove_client(s, c);
    }
}

}  // namespace

int pcap_over_ip_open(const net_peer& at, pcap_over_ip** out)
{
    *out = nullptr;
    char where[net_peer_text_max];
    net_peer_text(at, where, sizeof where);
    pcap_over_ip* s = new (std::nothrow) pcap_over_ip;
    if (!s) {
        COLLECTOR_LOG(trace_level_error, "Unable to serve PCAP over IP at %s: out of memory", where);
        return -1;
    }
    s->listener = net_tcp_listen(at, accepts_per_serve);
    if (s->listener == net_invalid_socket) {
        const int e = net_last_error();
        COLLECTOR_LOG(trace_level_error,
                      "Unable to serve PCAP over IP at %s %d/%s: give --pcap-over-ip a free port on an "
                      "address of this host",
                      where, e, os_error_text(e));
        delete s;
        return -1;
    }
    s->port = net_local_port(s->listener);
    net_peer bound = at;
    bound.port = net_order16(s->port);
    net_peer_text(bound, where, sizeof where);
    COLLECTOR_LOG(trace_level_normal, "PCAP over IP at %s", where);
    *out = s;
    return 0;
}

std::uint16_t pcap_over_ip_port(const pcap_over_ip* s) { return s->port; }

void pcap_over_ip_frame(pcap_over_ip* s, const tap_record_view& r, std::uint64_t now_ms)
{
    if (!s || s->totals.clients == 0)
        return;
    std::uint8_t header[pcap_record_header_size];
    pcap_fill_record_header(header, r);
    const std::size_t need = sizeof header + r.caplen;
    for (client& c : s->clients) {
        if (c.s == net_invalid_socket)
            continue;
        if (pcap_over_ip_queue_bytes - c.used < need) {
            ++c.dropped;
            ++s->totals.frames_dropped;
            if (!c.behind)
                c.behind_since_ms = now_ms;
            c.behind = true;
            continue;
        }
        ring_put(c, header, sizeof header);
        ring_put(c, r.frame, r.caplen);
        ++s->totals.frames_queued;
    }
}

void pcap_over_ip_serve(pcap_over_ip* s, std::uint64_t now_ms)
{
    if (!s)
        return;
    accept_clients(s, now_ms);
    for (client& c : s->clients)
        if (c.s != net_invalid_socket)
            step(s, c, now_ms);
}

pcap_over_ip_counts pcap_over_ip_totals(const pcap_over_ip* s)
{
    return s ? s->totals : pcap_over_ip_counts{};
}

void pcap_over_ip_close(pcap_over_ip* s)
{
    if (!s)
        return;
    for (client& c : s->clients)
        net_close(c.s);
    net_close(s->listener);
    delete s;
}
