// --pcap-over-ip [ADDRESS:]PORT: the frames the collector writes, streamed
// as classic pcap (Ethernet, little-endian, microseconds) to every TCP
// client. A client gets the 24-byte file header when it is accepted, then
// every frame queued after that; what it sends is read and thrown away.
//
// The caller (the writer) never waits for a client: every socket is
// non-blocking, and each client has a queue of its own, a ring of
// pcap_over_ip_queue_bytes allocated when it is accepted and released
// when it goes, so that the server holds at most
// pcap_over_ip_clients_max x pcap_over_ip_queue_bytes (64 MiB).
//
// A frame that does not fit whole in a client's queue is dropped for that
// client alone and counted; frames are never cut, so every stream stays
// valid pcap. A client falls behind at the first frame dropped for it,
// and has caught up once its queue is down to half of
// pcap_over_ip_queue_bytes; one that stays behind for
// pcap_over_ip_behind_ms is disconnected, with a line naming it and the
// frames dropped for it (what its queue still held is lost, so its
// stream may end inside a frame). A client past pcap_over_ip_clients_max
// is accepted and closed at once, with a line at most every
// pcap_over_ip_refusal_line_ms.
//
// Frames are queued as they come; only pcap_over_ip_serve writes, so it
// is called every few milliseconds: a queue holds about 30 ms of a
// 1 Gbit/s stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "wire/tap_datagram.h"

inline constexpr int pcap_over_ip_clients_max = 16;
inline constexpr std::size_t pcap_over_ip_queue_bytes = std::size_t{4} << 20;
inline constexpr std::uint64_t pcap_over_ip_behind_ms = 10000;
inline constexpr std::uint64_t pcap_over_ip_refusal_line_ms = 60000;

struct pcap_over_ip;

struct pcap_over_ip_counts {
    int clients = 0;                    // connected now
    std::uint64_t clients_served = 0;   // accepted and queued to, in all
    std::uint64_t frames_queued = 0;    // once for each client it was queued to
    std::uint64_t frames_dropped = 0;   // once for each client whose queue was full
    std::uint64_t clients_behind = 0;   // disconnected for staying behind
    std::uint64_t clients_refused = 0;  // closed at once: the places were taken
};

// Listens at `at` (an address as metrics_parse_address reads it). 0 with
// *out the server, which pcap_over_ip_close releases; -1 after an ERROR
// line, *out null.
int pcap_over_ip_open(const net_peer& at, pcap_over_ip** out);

// The port s listens on, host order (the one the system chose for port 0).
std::uint16_t pcap_over_ip_port(const pcap_over_ip* s);

// Queues r's record to every client, or counts it dropped for a client
// whose queue lacks room for it whole. No system call: serve writes.
void pcap_over_ip_frame(pcap_over_ip* s, const tap_record_view& r, std::uint64_t now_ms);

// Accepts waiting clients (a bounded number per call), reads and throws
// away what they sent, writes what each takes now of its queue, removes
// the clients that closed, disconnects the ones behind too long. now_ms is
// the clock pcap_over_ip_frame is given.
void pcap_over_ip_serve(pcap_over_ip* s, std::uint64_t now_ms);

pcap_over_ip_counts pcap_over_ip_totals(const pcap_over_ip* s);

// Closes every client and the listening socket: what the queues still
// hold is not sent (a last pcap_over_ip_serve writes what the clients
// take at once). Safe with null.
void pcap_over_ip_close(pcap_over_ip* s);
