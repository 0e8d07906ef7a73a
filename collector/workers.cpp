// Workers: receiving and opening datagrams into rings the writer empties.
#include "collector/workers.h"

#include <chrono>
#include <cstring>
#include <new>

#include "wire/tap_datagram.h"

namespace {

// The cache entry of a run id: its first bytes are random, so they serve
// as the hash.
unsigned key_slot(const std::uint8_t* run_id)
{
    std::uint32_t h = 0;
    std::memcpy(&h, run_id, sizeof h);
    return h % worker_key_cache;
}

// The run key of run_id, derived once and kept; the handle keyed with it
// unless it holds it already. 0; -1 when it cannot be derived or keyed.
int key_for(datagram_opener& o, const std::uint8_t* run_id)
{
    const unsigned k = key_slot(run_id);
    datagram_opener::cached_key& c = o.keys[k];
    if (!c.used || std::memcmp(c.run_id, run_id, sealed_run_id_size) != 0) {
        if (sealed_run_key(o.master_key, run_id, c.key) != 0) {
            c.used = false;
            return -1;
        }
        std::memcpy(c.run_id, run_id, sealed_run_id_size);
        c.used = true;
        if (o.keyed == static_cast<long>(k))
            o.keyed = -1;
    }
    if (o.keyed != static_cast<long>(k)) {
        if (sealed_cipher_key(o.cipher, c.key) != 0) {
            o.keyed = -1;
            return -1;
        }
        o.keyed = static_cast<long>(k);
    }
    return 0;
}

void open_sealed_datagram(datagram_opener& o, received_datagram& d)
{
    sealed_header_view h;
    const std::size_t n = static_cast<std::size_t>(d.len);
    d.header_result = sealed_read_header(d.data, n, &h);
    if (d.header_result != sealed_read_ok) {
        d.verdict = open_header_refused;
        return;
    }
    if (key_for(o, h.run_id) != 0) {
        d.verdict = open_key_error;
        return;
    }
    d.verdict = sealed_open(o.cipher, d.data, n, &d.at, &d.clear_len) == sealed_read_ok ? open_ok
                                                                                          : open_forged;
}

void receive_loop(worker_pool* p, worker* w)
{
    while (!p->stop.load(std::memory_order_relaxed)) {
        const int got = worker_receive(*p, *w, 1000000);
        if (got <= 0)
            continue;
        w->head.store(w->head.load(std::memory_order_relaxed) + static_cast<unsigned>(got),
                      std::memory_order_seq_cst);
        // Against the writer's going to sleep: it says so before it looks
        // at the rings a last time, and this looks after publishing.
        if (p->writer_sleeping.load(std::memory_order_seq_cst)) {
            std::lock_guard<std::mutex> hold(p->wake_lock);
            p->wake.notify_one();
        }
    }
}

// Free slots after head, waiting (a short sleep at a time, the stop seen)
// while the writer has none to give back.
unsigned free_slots(worker_pool& p, worker& w)
{
    for (;;) {
        const std::uint64_t used = w.head.load(std::memory_order_relaxed) -
                                   w.tail.load(std::memory_order_acquire);
        const auto free = static_cast<unsigned>(worker_ring_slots - used);
        if (free > 0 || p.stop.load(std::memory_order_relaxed))
            return free;
        w.counts.ring_full.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

}  // namespace

void open_datagram(datagram_opener& o, received_datagram& d)
{
    d.verdict = open_ok;
    d.at = 0;
    d.clear_len = d.len > 0 ? static_cast<std::size_t>(d.len) : 0;
    if (d.len < 0) {
        d.verdict = open_too_long;
        return;
    }
    if (o.sealed) {
        open_sealed_datagram(o, d);
        return;
    }
    // Told apart before the cipher runs: the other mode's datagrams are
    // counted as such, not as a wrong key.
    d.sealed_magic = sealed_magic_at(d.data, d.clear_len);
    if (!o.clear && tap_crypt(d.data, d.data, d.clear_len, *o.speck) != 0)
        d.verdict = open_key_error;
}

unsigned worker_count_default(unsigned max)
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n < max ? n : max;
}

int worker_pool_init(worker_pool* p, unsigned count, const datagram_opener& like)
{
    p->workers = new (std::nothrow) worker[count];
    if (!p->workers)
        return -1;
    p->count = count;
    for (unsigned i = 0; i < count; ++i) {
        worker& w = p->workers[i];
        w.index = i;
        w.opener.clear = like.clear;
        w.opener.sealed = like.sealed;
        w.opener.speck = like.speck;
        w.opener.master_key = like.master_key;
        w.slots = new (std::nothrow) received_datagram[worker_ring_slots];
        if (!w.slots)
            return -1;
        if (like.sealed && ((w.opener.keys = new (std::nothrow)
                                 datagram_opener::cached_key[worker_key_cache]()) == nullptr ||
                            sealed_cipher_open(&w.opener.cipher) != 0))
            return -1;
    }
    return 0;
}

int worker_receive(worker_pool& p, worker& w, long timeout_us)
{
    const unsigned room = free_slots(p, w);
    if (room == 0)
        return 0;
    const int want = room < receive_batch_size ? static_cast<int>(room) : receive_batch_size;
    if (net_wait_readable_or_woken(w.socket, w.waker, timeout_us) != 1 ||
        p.stop.load(std::memory_order_relaxed))
        return 0;
    const std::uint64_t head = w.head.load(std::memory_order_relaxed);
    for (int i = 0; i < want; ++i) {
        received_datagram& d = w.slots[(head + static_cast<unsigned>(i)) % worker_ring_slots];
        w.batch[i].buf = d.data;
        w.batch[i].cap = receive_datagram_cap;
    }
    int got = 0;
    if (p.shared_socket) {
        // Received and numbered in one step: the writer takes them in the
        // order the socket gave them, whichever worker holds them.
        std::lock_guard<std::mutex> hold(p.receive_lock);
        got = net_recv_batch(w.socket, w.batch, want);
        for (int i = 0; i < got; ++i)
            w.slots[(head + static_cast<unsigned>(i)) % worker_ring_slots].ticket = p.next_ticket++;
    } else {
        got = net_recv_batch(w.socket, w.batch, want);
    }
    for (int i = 0; i < got; ++i) {
        received_datagram& d = w.slots[(head + static_cast<unsigned>(i)) % worker_ring_slots];
        d.len = w.batch[i].len;
        d.from = w.batch[i].from;
        open_datagram(w.opener, d);
    }
    if (got > 0)
        w.counts.datagrams.fetch_add(static_cast<unsigned>(got), std::memory_order_relaxed);
    return got > 0 ? got : 0;
}

int worker_pool_start(worker_pool* p)
{
    if (p->count < 2)
        return 0;
    for (unsigned i = 0; i < p->count; ++i) {
        worker& w = p->workers[i];
        // No exceptions here: a thread that cannot start ends the start.
        try {
            w.thread = std::thread(receive_loop, p, &w);
        } catch (...) {
            worker_pool_stop(p);
            return -1;
        }
    }
    return 0;
}

void worker_pool_stop(worker_pool* p)
{
    p->stop = true;
    for (unsigned i = 0; i < p->count; ++i)
        net_waker_wake(p->workers[i].waker);
    for (unsigned i = 0; i < p->count; ++i)
        if (p->workers[i].thread.joinable())
            p->workers[i].thread.join();
}

void worker_pool_release(worker_pool* p)
{
    worker_pool_stop(p);
    for (unsigned i = 0; i < p->count; ++i) {
        worker& w = p->workers[i];
        if (w.own_socket)
            net_close(w.socket);
        net_waker_close(&w.waker);
        if (w.opener.cipher.h)
            sealed_cipher_close(&w.opener.cipher);
        if (w.opener.keys) {
            sealed_wipe(w.opener.keys, sizeof(datagram_opener::cached_key) * worker_key_cache);
            delete[] w.opener.keys;
        }
        delete[] w.slots;
    }
    delete[] p->workers;
    p->workers = nullptr;
    p->count = 0;
}
