// The collector's command line: one record, filled in one place.
#pragma once

#include <cstdint>

#include "collector/capture_file.h"
#include "collector/extcap.h"
#include "platform/platform.h"

struct collector_options {
    long port = -1;
    const char* key = nullptr;  // -k, or the first line of the key file (key_line)
    const char* key_file = nullptr;  // --key-file
    const char* salt = nullptr;      // --salt, for a passphrase under -A
    // The texts of the key this process holds, wiped once the key is set
    // up: the word of argv that -k took, and the key file's line.
    char* key_word = nullptr;
    char key_line[key_file_line_max + 1] = {};
    bool clear = false;
    bool authenticated = false;  // -A: sealed datagrams only
    const char* write_path = nullptr;
    const char* tuntap_name = nullptr;
    unsigned long frame_limit = 0;  // 0: no limit
    capture_format format = capture_format::pcapng;
    rotation_settings rotation;
    unsigned long stats_seconds = 0;  // 0: statistics on request only
    const char* bind_address = nullptr;  // null: every address
    unsigned long receive_buffer = 0;    // bytes; 0: the system's default
    extcap_request extcap;               // Wireshark's questions and capture
    // -A: where the runs heard are remembered across restarts (null: not
    // remembered), and how far from the collector's clock the datagrams of
    // a run not known may be sent.
    const char* state_dir = nullptr;
    unsigned long max_age_seconds = 300;
    // --metrics: where GET /metrics is answered (metrics set).
    bool metrics = false;
    net_peer metrics_at;
    // -j: the threads that receive and open datagrams, each on a socket of
    // its own (0: one per processor, at most collector_workers_default_max).
    unsigned workers = 0;
    // --pcap-over-ip: where TCP clients are given the frames as a classic
    // pcap stream (pcap_over_ip set).
    bool pcap_over_ip = false;
    net_peer pcap_over_ip_at;
    // --kafka: the brokers every decoded datagram's frames are produced
    // to; --from-kafka: the brokers consumed instead of receiving UDP (in
    // the group kafka_group). Both name kafka_topic.
    const char* kafka_brokers = nullptr;
    const char* from_kafka_brokers = nullptr;
    const char* kafka_topic = nullptr;
    const char* kafka_group = nullptr;
    unsigned long kafka_buffer_mb = 256;  // what the producer may hold back
    bool kafka_buffer_given = false;
};

inline constexpr unsigned collector_workers_default_max = 16;
inline constexpr unsigned collector_workers_max = 64;

void print_help();

// Reads argv into *opt, checking what must be given and what goes
// together, then answers Wireshark's questions (extcap_apply); reads the
// key file and holds the key to the key policy. 0: options read; 1: help,
// a new key (--generate-key) or an answer printed; -1: a message was
// printed.
int read_options(int argc, char** argv, collector_options* opt);
