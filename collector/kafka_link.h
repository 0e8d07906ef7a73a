// The collector's Kafka producer (--kafka) and consumer (--from-kafka),
// over librdkafka's C API where the build found it (VANTRY_KAFKA);
// elsewhere every open fails with an ERROR line that says so. Messages as
// collector/kafka_message.h lays them out.
//
// Each is used from one thread at a time (the one that writes what the
// collector receives), which it never holds up longer than the wait it is
// given: the producer queues in memory up to its bound and drops past it
// (counted); the consumer waits at most timeout_ms for the next message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "collector/kafka_message.h"

// The --kafka-buffer default, in megabytes.
inline constexpr std::size_t kafka_buffer_default_mb = 256;
// How long a message may wait for its broker, in memory, before it is
// given up and counted as failed.
inline constexpr int kafka_message_timeout_ms = 5 * 60 * 1000;

struct kafka_producer;
struct kafka_consumer;

struct kafka_producer_counts {
    std::uint64_t produced = 0;   // queued
    std::uint64_t delivered = 0;  // acknowledged by every in-sync replica
    std::uint64_t dropped = 0;    // the buffer was full: never queued
    std::uint64_t failed = 0;     // given up after queuing (timeout, refusal), or refused at once for another reason
    std::uint64_t lost_at_close = 0;  // still queued when the close's flush ended
};

// An idempotent producer (acks=all, lz4) to topic on brokers ("host:port,
// ..."), buffering at most buffer_bytes of messages. 0 with *out set; -1
// after an ERROR line (a setting refused, no Kafka in this build).
int kafka_producer_open(const char* brokers, const char* topic, std::size_t buffer_bytes,
                        kafka_producer** out);

// Queues one message: the key and headers of o, a copy of value[0..len).
// 0 queued; -1 dropped, never waiting: the buffer is full (counted in
// dropped) or the message refused (counted in failed).
int kafka_produce(kafka_producer* p, const kafka_origin& o, const std::uint8_t* value, std::size_t len);

// Takes the delivery reports in and logs what the library reported; call
// it once per loop turn. Never waits.
void kafka_producer_serve(kafka_producer* p);

kafka_producer_counts kafka_producer_counts_of(const kafka_producer* p);

// Waits up to flush_ms for what is queued to be delivered, counts what is
// left as lost_at_close, and frees p (null is fine). *final, when given,
// gets the last counts. 0 when nothing was lost at close; -1 otherwise
// (after a WARNING line).
int kafka_producer_close(kafka_producer* p, unsigned flush_ms, kafka_producer_counts* final = nullptr);

struct kafka_consumer_counts {
    std::uint64_t messages = 0;   // handed over
    std::uint64_t malformed = 0;  // skipped: key, headers or value not as kafka_message.h lays them out
    std::uint32_t partitions = 0;  // of the topic, assigned to this member now
};

// A message handed over: its origin and frames. The frames point into the
// message, which stays valid until the next kafka_consumer_next or the
// close; the view is large (a few KB): its owner allocates it once.
struct kafka_message_in {
    kafka_origin origin;
    kafka_records frames;
    std::int32_t partition = 0;
    std::int64_t offset = 0;
};

// A member of consumer group `group` reading topic from brokers; a group
// new to the topic starts at its oldest message. 0 with *out set; -1
// after an ERROR line.
int kafka_consumer_open(const char* brokers, const char* topic, const char* group, kafka_consumer** out);

// The next well-formed message into *m, waiting at most timeout_ms. Its
// offset is committed (every 5 s, and at close) once the next call shows
// the message before it was used: at least once, never skipped.
// 1 a message; 0 none within the wait; -1 a fatal error (logged): the
// consumer cannot go on.
int kafka_consumer_next(kafka_consumer* c, long timeout_ms, kafka_message_in* m);

kafka_consumer_counts kafka_consumer_counts_of(const kafka_consumer* c);

// Commits what was used, leaves the group, frees c (null is fine).
void kafka_consumer_close(kafka_consumer* c);
