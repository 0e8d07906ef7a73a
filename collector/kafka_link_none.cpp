// kafka_link.h where the build found no librdkafka (the Windows build):
// the options are there, and say plainly that they cannot work here.
#include "collector/kafka_link.h"
#include "collector/collector_log.h"

namespace {

int not_available()
{
    COLLECTOR_LOG(trace_level_error,
                  "Kafka is not available in this build of vantry_collector: use a build with librdkafka");
    return -1;
}

}  // namespace

struct kafka_producer {};
struct kafka_consumer {};

int kafka_producer_open(const char*, const char*, std::size_t, kafka_producer**) { return not_available(); }
int kafka_produce(kafka_producer*, const kafka_origin&, const std::uint8_t*, std::size_t) { return -1; }
void kafka_producer_serve(kafka_producer*) {}
kafka_producer_counts kafka_producer_counts_of(const kafka_producer*) { return {}; }
int kafka_producer_close(kafka_producer*, unsigned, kafka_producer_counts* final)
{
    if (final)
        *final = {};
    return 0;
}

int kafka_consumer_open(const char*, const char*, const char*, kafka_consumer**) { return not_available(); }
int kafka_consumer_next(kafka_consumer*, long, kafka_message_in*) { return -1; }
kafka_consumer_counts kafka_consumer_counts_of(const kafka_consumer*) { return {}; }
void kafka_consumer_close(kafka_consumer*) {}
