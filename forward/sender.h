// The sender of Tap datagrams, the queue that sends them in batches, and
// how failures are reported.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct speck_key_schedule;
struct sealed_sender;
struct collector_resolver;

// A collector that cannot be reached makes every send fail, thousands a
// second: each failure is counted, but only the first of a run of failures
// is reported at once, later ones at most once per interval with their
// number, and the end of the run once.
struct send_failure_log {
    bool failing = false;
    std::uint32_t unreported = 0;    // failures since the last report
    std::uint32_t in_run = 0;        // failures since sending last worked
    std::uint64_t last_report_ms = 0;
};

inline constexpr std::uint64_t send_failure_report_interval_ms = 1000;

// Counts one failure at time now_ms. Returns the number of failures the
// report should name (this one included) when a line is due, 0 when the
// failure is only counted.
std::uint32_t send_failure_note(send_failure_log& log, std::uint64_t now_ms);

// Records a successful send. Returns the number of failures of the run that
// just ended (a line is due), 0 when sending was working already.
std::uint32_t send_success_note(send_failure_log& log);

// The smallest path MTU a sealed tap shrinks to.
inline constexpr std::uint32_t path_mtu_min = 576;

// Where and how Tap datagrams go. Used by the forwarding thread only.
struct tap_sender {
    net_socket socket = net_invalid_socket;  // of to's family
    net_peer to;
    bool has_destination = false;  // false: nothing is ever sent
    // Set when -c names a host name: the thread that looks it up again,
    // whose new addresses collector_follow (forward/collector_resolver.h)
    // takes between datagrams.
    collector_resolver* resolver = nullptr;
    std::uint32_t resolved_seen = 0;  // the resolver's last hand-over taken
    net_peer previous;                // the destination before the last move; family 0: none
    bool encrypt = true;
    const speck_key_schedule* key = nullptr;  // needed when encrypt is set
    // Set (with encrypt): datagrams are sealed instead (wire/sealed_datagram.h), the
    // tag appended behind the len bytes handed over.
    sealed_sender* sealed = nullptr;
    // Sealed: the largest IP packet the path takes, from --mtu and lowered
    // to the path MTU the system reports; 0 for no limit beyond UDP's. The
    // tap's batches read sender_datagram_limit for each new datagram.
    std::uint32_t path_mtu = 0;
    // 64 bits: a tap runs for months, thousands of datagrams a second.
    std::uint64_t datagrams_sent = 0;
    std::uint64_t failures = 0;     // datagrams that could not be sent
    std::uint64_t frames_sent = 0;  // records that start in the datagrams handed over
    send_failure_log failure_log;
};

// Encrypts (unless switched off) and sends one Tap datagram of len bytes.
// The cipher runs in place: buf holds the sent bytes afterwards (sealed,
// sealed_tag_size more than len, for which buf has room). 0 sent
// whole; 2 the send failed or was short; -1 encryption failed and nothing
// was sent.
int send_datagram(tap_sender& s, std::uint8_t* buf, std::uint32_t len);

// Datagrams completed while a loop drains its input, sent together when
// the drain ends or when net_batch_max are waiting. Each is built,
// encrypted and sent where it lies: a fixed ring of buffers, part of the
// record, so nothing is allocated per datagram. The slot in hand (next)
// is never one that waits: at most net_batch_max - 1 wait beside it, as
// the queue is sent the moment it is full.
inline constexpr std::uint32_t send_slot_size = 65536;

struct send_queue {
    std::uint8_t ring[net_batch_max][send_slot_size];
    net_datagram_out waiting[net_batch_max];  // in the order they go out
    int count = 0;                            // of waiting
    int next = 0;                             // the slot the next datagram is built in
    int mode = net_send_single;               // net_send_mode, lowered once per refusal
};

// Empties q, chooses how it sends on s.socket and asks for a send buffer
// that holds a whole batch.
void send_queue_init(send_queue& q, const tap_sender& s);

// Where the next datagram is built: valid until it is pushed.
inline std::uint8_t* send_queue_slot(send_queue& q) { return q.ring[q.next]; }

// Takes the datagram of len bytes built in send_queue_slot, encrypting it
// in place unless that is switched off; a full queue is sent at once.
// 0 queued; 2 counted as failed (no destination), not queued; -1
// encryption failed, nothing queued.
int send_queue_push(tap_sender& s, send_queue& q, std::uint32_t len);

// Sends every waiting datagram, in order, and empties the queue. A batch
// the system takes in part goes on from the first datagram not taken;
// one that fails is counted and reported as send_datagram does, and the
// rest still go. Where the system refuses the mode (segmentation, or
// batched calls), the next lesser one is used from then on, with one
// line in the log.
void send_queue_flush(tap_sender& s, send_queue& q);

// The largest datagram (UDP payload) s may send whole: the path MTU less
// the IP and UDP headers to its collector; 0 for no limit beyond UDP's.
inline std::uint32_t sender_datagram_limit(const tap_sender& s)
{
    return s.path_mtu ? s.path_mtu - net_udp_overhead(s.to) : 0;
}
