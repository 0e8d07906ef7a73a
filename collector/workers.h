// The receiving side of a collector run: workers that receive datagrams
// and open them (undo the cipher; under -A verify and decrypt), each into
// a ring of its own that the one writer (collector_receive) empties in
// order.
//
// With -j 1 the one worker is the run's own thread, and the writer takes
// each batch as soon as it is opened. With more, every worker is a thread
// with a socket of its own on the one port (net_share_port): the system
// gives each sender's datagrams to one socket, so a source's datagrams
// stay on one worker and its frames in their order. Where the system
// spreads nothing (Windows) the workers share one socket, receive in turn
// and number what they receive; the writer then takes the datagrams in
// that order across the rings.
//
// Memory, all of it allocated at set-up: a ring of worker_ring_slots
// datagrams of receive_datagram_cap bytes per worker (4 MiB), and under -A
// a cache of worker_key_cache run keys. Nothing is allocated per datagram.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "wire/sealed_datagram.h"
#include "wire/speck.h"

inline constexpr std::size_t receive_datagram_cap = 65552;
inline constexpr int receive_batch_size = 16;
static_assert(receive_batch_size <= net_batch_max);
inline constexpr unsigned worker_ring_slots = 64;  // a power of two
static_assert((worker_ring_slots & (worker_ring_slots - 1)) == 0);
static_assert(worker_ring_slots >= receive_batch_size);
inline constexpr unsigned worker_key_cache = 64;   // run keys, per worker

// What opening a datagram found.
enum open_verdict : std::uint8_t {
    open_ok = 0,
    open_too_long,        // longer than a datagram can be (received as -2)
    open_key_error,       // the cipher could not be keyed: an error of ours
    open_header_refused,  // -A: no sealed header (header_result says why)
    open_forged,          // -A: the tag does not match
};

// One slot of a ring: a datagram as received, then opened in place.
struct received_datagram {
    long len = 0;                 // as received
    net_peer from;
    std::uint64_t ticket = 0;     // its place in the order, on a shared socket
    open_verdict verdict = open_ok;
    bool sealed_magic = false;    // without -A: it began with a sealed magic
    sealed_result header_result = sealed_read_ok;
    std::size_t at = 0, clear_len = 0;  // the clear part of an opened datagram
    std::uint8_t data[receive_datagram_cap];
};

// What a worker needs to open datagrams, its own but for the keys.
struct datagram_opener {
    bool clear = false;
    bool sealed = false;                              // -A
    const speck_key_schedule* speck = nullptr;        // -k
    const std::uint8_t* master_key = nullptr;         // -A
    sealed_cipher cipher;                             // -A: this worker's handle
    long keyed = -1;                                  // the cache entry it holds
    // -A: run keys derived before, by a hash of the run id.
    struct cached_key {
        bool used = false;
        std::uint8_t run_id[sealed_run_id_size];
        std::uint8_t key[sealed_key_size];
    };
    cached_key* keys = nullptr;  // worker_key_cache entries
};

// Opens d in place (its len and data as received): sets verdict, and the
// clear part. Never touches what the writer owns.
void open_datagram(datagram_opener& o, received_datagram& d);

// Counters a worker keeps (the writer adds them up for the statistics).
struct worker_counts {
    std::atomic<std::uint64_t> datagrams{0};
    std::atomic<std::uint64_t> ring_full{0};  // waits for the writer to make room
};

struct worker {
    unsigned index = 0;
    net_socket socket = net_invalid_socket;
    bool own_socket = false;  // false: the first worker's, shared
    net_waker waker;          // wakes the thread for the stop
    datagram_opener opener;
    received_datagram* slots = nullptr;  // worker_ring_slots
    net_datagram_in batch[receive_batch_size];
    // The ring: the worker publishes up to head, the writer releases up
    // to tail.
    alignas(64) std::atomic<std::uint64_t> head{0};
    alignas(64) std::atomic<std::uint64_t> tail{0};
    worker_counts counts;
    std::thread thread;
};

// What the workers of a run share.
struct worker_pool {
    worker* workers = nullptr;
    unsigned count = 0;
    bool shared_socket = false;     // one socket for all (Windows)
    std::mutex receive_lock;        // with a shared socket: one receives at a time
    std::uint64_t next_ticket = 0;  // under receive_lock
    std::uint64_t expected_ticket = 0;  // the writer's: the next to take
    std::atomic<bool> stop{false};
    // The writer sleeps here when every ring is empty.
    std::mutex wake_lock;
    std::condition_variable wake;
    std::atomic<bool> writer_sleeping{false};
};

// The default worker count: the processors, at most max.
unsigned worker_count_default(unsigned max);

// Allocates count workers and their rings; under -A opens each one's
// cipher handle. 0; -1 when memory or a handle cannot be had.
int worker_pool_init(worker_pool* p, unsigned count, const datagram_opener& like);

// Waits up to timeout_us for datagrams on w's socket, then receives and
// opens a batch into the free slots after head (at most receive_batch_size).
// The count (0 none); not yet published.
int worker_receive(worker_pool& p, worker& w, long timeout_us);

// Starts a thread per worker (with more than one), each receiving into
// its ring until p.stop. 0; -1 when a thread cannot be started (those
// started are stopped).
int worker_pool_start(worker_pool* p);

// Stops and joins the threads; safe when none were started.
void worker_pool_stop(worker_pool* p);

// Closes the sockets the pool owns, wipes the keys and frees everything.
void worker_pool_release(worker_pool* p);
