// Kafka brokers on loopback inside the test's process (librdkafka's mock
// cluster), for the unit tests and for the programs the end-to-end tests
// start: the topic "frames" is made with its partitions; all of it goes
// with the object.
#pragma once

#include <string>

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

struct mock_cluster {
    rd_kafka_t* host = rd_kafka_new(RD_KAFKA_PRODUCER, rd_kafka_conf_new(), nullptr, 0);
    rd_kafka_mock_cluster_t* brokers;
    std::string bootstraps;
    explicit mock_cluster(int partitions, int count = 1) : brokers(rd_kafka_mock_cluster_new(host, count))
    {
        bootstraps = rd_kafka_mock_cluster_bootstraps(brokers);
        rd_kafka_mock_topic_create(brokers, "frames", partitions, 1);
    }
    ~mock_cluster()
    {
        rd_kafka_mock_cluster_destroy(brokers);
        rd_kafka_destroy(host);
    }
    void set_all(int count, bool up)
    {
        for (int b = 1; b <= count; ++b)
            up ? rd_kafka_mock_broker_set_up(brokers, b) : rd_kafka_mock_broker_set_down(brokers, b);
    }
};
