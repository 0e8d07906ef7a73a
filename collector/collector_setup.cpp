// Setting up a collector run and releasing it.
#include <cerrno>
#include <cstring>
#include <new>

#include "wire/speck.h"
#include "platform/platform.h"
#include "collector/collector_log.h"
#include "collector/collector_run.h"
#include "collector/replay_state.h"

namespace {

int error_with_cause(const char* what, const char* name)
{
    int e = errno ? errno : net_last_error();
    COLLECTOR_LOG(trace_level_error, "%s '%s' %d/%s", what, name, e, os_error_text(e));
    return -1;
}

// First, so that with "-w -" no log line reaches the capture stream.
int open_output(collector_run& run)
{
    if (source_table_init(&run.sources, source_table_default_capacity) != 0) {
        COLLECTOR_LOG(trace_level_error, "Unable to allocate the table of sources");
        return -1;
    }
    run.receiving = new (std::nothrow) receive_buffers;
    if (!run.receiving) {
        COLLECTOR_LOG(trace_level_error, "Unable to allocate the receive buffers");
        return -1;
    }
    if (!run.opt.write_path)
        return 0;
    run.file.format = run.opt.format;
    run.file.pattern = run.opt.write_path;
    run.file.rotation = run.opt.rotation;
    run.file.open_existing = run.opt.extcap.step == extcap_step::capture;  // Wireshark's FIFO
    errno = 0;
    if (capture_file_open(&run.file, run.sources, collector_unix_now()) == 0)
        return 0;
    return error_with_cause("Unable to write", run.file.name[0] ? run.file.name : run.opt.write_path);
}

// -A: the runs a collector before this one heard, from the state file,
// then the file written back at once, so that a folder that cannot be
// written stops the start rather than every restart after it. 0; -1 after
// an ERROR line.
int load_state(collector_run& run)
{
    collector_sealing& s = run.sealing;
    const std::uint64_t max_age = run.opt.max_age_seconds;
    if (!run.opt.state_dir) {
        COLLECTOR_LOG(trace_level_warning,
                      "Without -s DIR the tap runs heard are forgotten at exit: a restarted "
                      "collector takes again the datagrams sent within --max-age (%llu s)",
                      static_cast<unsigned long long>(max_age));
        return 0;
    }
    s.state_path = std::string(run.opt.state_dir) + "/" + replay_state_file_name;
    const char* path = s.state_path.c_str();
    std::string text;
    int e = 0;
    const std::size_t most = (s.streams.capacity + s.streams.retired_capacity + 1) * 96;
    if (file_read_whole(path, most, &text, &e) != 0 && e != ENOENT) {
        COLLECTOR_LOG(trace_level_error, "Unable to read the replay state '%s' %d/%s", path, e,
                      os_error_text(e));
        return -1;
    }
    const std::uint64_t oldest = clock_unix_us() - max_age * 1000000;
    const long runs = e == ENOENT ? 0 : replay_state_read(text, &s.streams, oldest);
    sealed_wipe(text.data(), text.size());
    if (runs < 0)
        COLLECTOR_LOG(trace_level_warning,
                      "Replay state '%s': line %ld not understood; the runs after it are not "
                      "remembered, and datagrams of theirs sent within --max-age could be taken again",
                      path, -runs);
    else if (e == ENOENT)
        COLLECTOR_LOG(trace_level_normal, "No replay state '%s' yet: tap runs are remembered from now on",
                      path);
    else
        COLLECTOR_LOG(trace_level_normal, "Replay state '%s': %ld tap runs remembered", path, runs);
    if (collector_save_state(run, true) != 0) {
        COLLECTOR_LOG(trace_level_error, "Unable to keep the replay state in '%s': give -s a folder "
                      "the collector may write", run.opt.state_dir);
        return -1;
    }
    return 0;
}

// -A: the master key (a 64-digit key as it is, a passphrase through
// Argon2id with --salt, once) in the library's secure memory, the handle
// and the streams.
int set_up_sealing(collector_run& run)
{
    collector_sealing& s = run.sealing;
    const char* key = run.opt.key;
    const char* salt = run.opt.salt ? run.opt.salt : "";
    if (sealed_crypto_init() == 0 && (s.master_key = sealed_key_alloc()) != nullptr &&
        sealed_master_key(key, std::strlen(key), salt, std::strlen(salt), s.master_key) == 0 &&
        stream_table_init(&s.streams, stream_table_default_capacity, retired_runs_default_capacity) == 0 &&
        reassembly_init(&s.pool, reassembly_pool_default) == 0) {
        COLLECTOR_LOG(trace_level_normal, "Reading sealed datagrams (-A)");
        return load_state(run);
    }
    COLLECTOR_LOG(trace_level_error, "Unable to initialize authenticated encryption (-A)");
    return -1;
}

int use_key(collector_run& run)
{
    const collector_options& opt = run.opt;
    if (opt.authenticated)
        return set_up_sealing(run);
    if (opt.clear) {
        COLLECTOR_LOG(trace_level_warning, "Datagrams are expected in clear (-K specified)");
        return 0;
    }
    if (speck_setup_key(opt.key, static_cast<std::int32_t>(std::strlen(opt.key))) == 1)
        return 0;
    COLLECTOR_LOG(trace_level_error, "Unable to initialize encryption");
    return -1;
}

// The key schedule or master key made, the texts it came from are wiped,
// whether it could be made or not.
int set_up_key(collector_run& run)
{
    collector_options& opt = run.opt;
    const int r = use_key(run);
    if (opt.key_word)
        sealed_wipe(opt.key_word, std::strlen(opt.key_word));
    sealed_wipe(opt.key_line, sizeof opt.key_line);
    opt.key = nullptr;
    opt.key_word = nullptr;
    return r;
}

// A buffer smaller than asked for is worth one warning: bursts beyond it
// are lost before the collector sees them.
void set_receive_buffer(const collector_run& run, net_socket s)
{
    const unsigned long want = run.opt.receive_buffer;
    int granted = 0;
    if (!want)
        return;
    if (net_set_receive_buffer(s, static_cast<int>(want), &granted) != 0) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_warning, "Unable to set a receive buffer of %lu bytes %d/%s",
                      want, e, os_error_text(e));
    } else if (static_cast<unsigned long>(granted) < want) {
        COLLECTOR_LOG(trace_level_warning,
                      "The system grants a receive buffer of %d bytes, not the %lu asked for "
                      "(on Linux net.core.rmem_max sets the limit)",
                      granted, want);
    }
}

// A socket bound at `at`, with its receive buffer; shared with the
// workers after it when share is set. net_invalid_socket after an ERROR
// line.
net_socket open_bound(const collector_run& run, const net_peer& at, bool share, bool* shared)
{
    net_socket s = net_udp_socket_for(at);
    if (s == net_invalid_socket) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
        return s;
    }
    *shared = share && net_share_port(s) == 0;
    if (net_bind_peer(s, at) != 0) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_error, "Unable to bind port %u %d/%s", unsigned{net_order16(at.port)}, e,
                      os_error_text(e));
        net_close(s);
        return net_invalid_socket;
    }
    set_receive_buffer(run, s);
    return s;
}

// The workers (-j): each with a socket of its own on the first one's
// port where the system spreads senders over them, else all on the first
// one. 0; -1 after an ERROR line.
int open_workers(collector_run& run, const net_peer& at, bool spread)
{
    worker_pool& p = run.pool;
    const unsigned count = run.opt.workers ? run.opt.workers : worker_count_default(collector_workers_default_max);
    datagram_opener like;
    like.clear = run.opt.clear;
    like.sealed = run.opt.authenticated;
    like.speck = speck_key;
    like.master_key = run.sealing.master_key;
    if (worker_pool_init(&p, count, like) != 0) {
        COLLECTOR_LOG(trace_level_error, "Unable to allocate %u workers (%u MiB each)", count,
                      static_cast<unsigned>(sizeof(received_datagram) * worker_ring_slots >> 20));
        return -1;
    }
    p.shared_socket = count > 1 && !spread;
    net_peer same = at;
    same.port = net_order16(net_local_port(run.socket));
    for (unsigned i = 0; i < count; ++i) {
        worker& w = p.workers[i];
        bool shared = false;
        w.socket = i == 0 || p.shared_socket ? run.socket : open_bound(run, same, true, &shared);
        w.own_socket = w.socket != run.socket;
        if (w.socket == net_invalid_socket)
            return -1;
        if (net_waker_open(&w.waker) != 0) {
            int e = net_last_error();
            COLLECTOR_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
            return -1;
        }
    }
    if (count > 1)
        COLLECTOR_LOG(trace_level_normal, "%u workers, %s", count,
                      p.shared_socket ? "sharing one socket (the system spreads nothing over several)"
                                      : "each on a socket of its own");
    return 0;
}

int open_socket(collector_run& run)
{
    if (net_startup() != 0) {
        COLLECTOR_LOG(trace_level_error, "Unable to start the socket library");
        return -1;
    }
    // Without -b, every IPv4 address.
    const char* address = run.opt.bind_address;
    const auto port = static_cast<std::uint16_t>(run.opt.port);
    net_peer at = net_peer_ipv4(0, net_order16(port));
    if (address && net_resolve_peer(address, port, &at) != 0) {
        COLLECTOR_LOG(trace_level_error,
                      "Invalid bind address '%s': not an IPv4 or IPv6 address or host", address);
        return -1;
    }
    if (net_waker_open(&run.waker) != 0) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_error, "Unable to create socket %d/%s", e, os_error_text(e));
        return -1;
    }
    bool spread = false;
    if (run.opt.workers != 1) {
        // Sockets that share a port would share it with another process
        // of this user too (a second collector), each taking a part of the
        // datagrams without a word: the port is bound alone first, so that
        // one taken is refused as before.
        const net_socket alone = open_bound(run, at, false, &spread);
        if (alone == net_invalid_socket)
            return -1;
        at.port = net_order16(net_local_port(alone));
        net_close(alone);
    }
    run.socket = open_bound(run, at, run.opt.workers != 1, &spread);
    return run.socket == net_invalid_socket ? -1 : open_workers(run, at, spread);
}

int open_tap(collector_run& run)
{
    const char* name = run.opt.tuntap_name;
    if (!name)
        return 0;
    const char* failed = nullptr;
    int r = tuntap_open(name, &run.tuntap, &failed);
    if (r == -2) {
        COLLECTOR_LOG(trace_level_error, "TAP interfaces are not available on this system (-i %s)",
                      name);
        return -1;
    }
    // An interface the monitored traffic could configure (an address and a
    // default route from one router advertisement) is worse than none: no
    // run with it.
    if (r != 0 && failed) {
        int e = net_last_error();
        COLLECTOR_LOG(trace_level_error, "Unable to make TAP interface '%s' passive: %s failed %d/%s",
                      name, failed, e, os_error_text(e));
        return -1;
    }
    if (r != 0)
        return error_with_cause("Unable to create TAP interface", name);
    // The host's own policy decides this one; it is reported, not changed.
    if (tuntap_source_check(run.tuntap) != 1)
        COLLECTOR_LOG(trace_level_warning,
                      "IPv4 source check on TAP interface '%s' is not strict (the host-wide "
                      "net.ipv4.conf.all.rp_filter overrides it): packets written into it "
                      "from a source routed elsewhere can reach this host's own addresses",
                      name);
    COLLECTOR_LOG(trace_level_normal,
                  "Writing frames into TAP interface '%s' (for capture only: no address, no "
                  "ARP, no IPv6)",
                  name);
    return 0;
}

int open_pcap_over_ip(collector_run& run)
{
    if (pcap_over_ip_open(run.opt.pcap_over_ip_at, &run.pcap_ip) != 0)
        return -1;
    char at[net_peer_text_max];
    net_peer where = run.opt.pcap_over_ip_at;
    where.port = net_order16(pcap_over_ip_port(run.pcap_ip));
    net_peer_text(where, at, sizeof at);
    COLLECTOR_LOG(trace_level_normal, "PCAP over IP at %s (at most %d clients)", at, pcap_over_ip_clients_max);
    return 0;
}

// --kafka: the producer and the message it is given; --from-kafka: the
// consumer and the message in hand. 0; -1 after an ERROR line.
int open_kafka(collector_run& run)
{
    const collector_options& opt = run.opt;
    if (opt.kafka_brokers) {
        if (kafka_producer_open(opt.kafka_brokers, opt.kafka_topic, opt.kafka_buffer_mb << 20, &run.kafka) != 0)
            return -1;
        run.kafka_out = new (std::nothrow) kafka_value;
        if (!run.kafka_out) {
            COLLECTOR_LOG(trace_level_error, "Unable to allocate the Kafka message");
            return -1;
        }
        COLLECTOR_LOG(trace_level_normal, "Producing to Kafka topic '%s' at %s (at most %lu MB held back)",
                      opt.kafka_topic, opt.kafka_brokers, opt.kafka_buffer_mb);
    }
    if (opt.from_kafka_brokers) {
        run.incoming = new (std::nothrow) kafka_message_in;
        if (!run.incoming) {
            COLLECTOR_LOG(trace_level_error, "Unable to allocate the Kafka message");
            return -1;
        }
        return kafka_consumer_open(opt.from_kafka_brokers, opt.kafka_topic, opt.kafka_group, &run.consumer);
    }
    return 0;
}

}  // namespace

int collector_set_up(collector_run& run)
{
    // Consuming from Kafka, the frames come decoded: no key, no socket.
    const bool receiving = !run.opt.from_kafka_brokers;
    return open_output(run) != 0 || (receiving && (set_up_key(run) != 0 || open_socket(run) != 0)) ||
                   open_tap(run) != 0 ||
                   (run.opt.metrics && metrics_open(run.opt.metrics_at, &run.metrics) != 0) ||
                   (run.opt.pcap_over_ip && open_pcap_over_ip(run) != 0) ||
                   open_kafka(run) != 0
               ? -1
               : 0;
}

int collector_save_state(collector_run& run, bool force)
{
    collector_sealing& s = run.sealing;
    if (s.state_path.empty() || (!force && s.streams.verified == s.state_verified))
        return 0;
    const std::uint64_t oldest = clock_unix_us() - run.opt.max_age_seconds * 1000000;
    replay_state_text(s.streams, oldest, &s.state_text);
    int e = 0;
    if (file_replace(s.state_path.c_str(), s.state_text.data(), s.state_text.size(), &e) == 0) {
        s.state_verified = s.streams.verified;
        return 0;
    }
    COLLECTOR_LOG(s.state_failures++ == 0 ? trace_level_warning : trace_level_verbose,
                  "Unable to write the replay state '%s' %d/%s", s.state_path.c_str(), e,
                  os_error_text(e));
    return -1;
}

void collector_release(collector_run& run)
{
    kafka_producer_close(run.kafka, 0);  // ended by a failed start: nothing was produced
    run.kafka = nullptr;
    delete run.kafka_out;
    run.kafka_out = nullptr;
    kafka_consumer_close(run.consumer);
    run.consumer = nullptr;
    delete run.incoming;
    run.incoming = nullptr;
    capture_file_close(&run.file);
    metrics_close(run.metrics);
    run.metrics = nullptr;
    pcap_over_ip_close(run.pcap_ip);
    run.pcap_ip = nullptr;
    tuntap_close(run.tuntap);
    run.tuntap = nullptr;
    worker_pool_release(&run.pool);
    net_waker_close(&run.waker);
    net_close(run.socket);
    run.socket = net_invalid_socket;
    source_table_release(&run.sources);
    delete run.receiving;
    run.receiving = nullptr;
    collector_sealing& s = run.sealing;
    stream_table_release(&s.streams);
    reassembly_release(&s.pool);
    sealed_key_free(s.master_key);
    s.master_key = nullptr;
}
