// Test helpers: a loopback UDP sink that stands in for the collector, and
// a guard that points the run settings at it and restores them afterwards.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "forward/speck.h"
#include "platform/platform.h"
#include "run/run_settings.h"
#include "tests/test_support.h"

struct udp_sink {
    net_socket rx = net_invalid_socket;
    net_addr4 addr;

    udp_sink()
    {
        net_startup();
        rx = net_udp_socket();
        const std::uint8_t loopback[4] = {127, 0, 0, 1};
        std::memcpy(&addr.addr, loopback, 4);
        if (rx != net_invalid_socket && net_bind(rx, addr.addr, 0) == 0)
            addr.port = net_order16(net_local_port(rx));
    }
    ~udp_sink()
    {
        if (rx != net_invalid_socket)
            net_close(rx);
    }
    udp_sink(const udp_sink&) = delete;
    udp_sink& operator=(const udp_sink&) = delete;

    bool ok() const { return rx != net_invalid_socket && addr.port != 0; }

    // The next datagram, or false when none came within wait_ms.
    bool receive(std::vector<std::uint8_t>& out, long wait_ms = 2000)
    {
        if (net_wait_readable(rx, wait_ms * 1000) != 1)
            return false;
        out.resize(70000);
        const long n = net_recv_from(rx, out.data(), out.size(), nullptr);
        if (n < 0)
            return false;
        out.resize(static_cast<std::size_t>(n));
        return true;
    }

    bool quiet(long wait_ms = 150) { return net_wait_readable(rx, wait_ms * 1000) == 0; }
};

// Points settings at the sink through a socket of its own; puts back every
// field it touches, and the key schedule, when it goes out of scope.
struct sink_settings_guard {
    bool disable_encryption = settings.disable_encryption;
    bool has_collector_addr = settings.has_collector_addr;
    net_addr4 collector_addr = settings.collector_addr;
    int collector_addr_len = settings.collector_addr_len;
    net_socket udp_socket = settings.udp_socket.load();
    std::uint32_t datagrams_sent = settings.datagrams_sent;
    key_guard key;
    net_socket tx = net_invalid_socket;

    explicit sink_settings_guard(const udp_sink& sink)
    {
        tx = net_udp_socket();
        settings.udp_socket.store(tx);
        settings.has_collector_addr = true;
        settings.collector_addr = sink.addr;
        settings.collector_addr_len = 16;
    }
    ~sink_settings_guard()
    {
        settings.disable_encryption = disable_encryption;
        settings.has_collector_addr = has_collector_addr;
        settings.collector_addr = collector_addr;
        settings.collector_addr_len = collector_addr_len;
        settings.udp_socket.store(udp_socket);
        settings.datagrams_sent = datagrams_sent;
        if (tx != net_invalid_socket)
            net_close(tx);
    }
    sink_settings_guard(const sink_settings_guard&) = delete;
    sink_settings_guard& operator=(const sink_settings_guard&) = delete;
};
