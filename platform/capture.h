// The capture library behind the platform seam.
//
// On Linux the pcap API is linked directly; on Windows wpcap.dll is loaded
// at run time so that a machine without the capture driver gets a clear
// message instead of a process that cannot start. Nothing above this header
// sees pcap types.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct capture_device;

struct capture_packet {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    std::uint32_t caplen = 0;
    std::uint32_t len = 0;
    const std::uint8_t* data = nullptr;  // valid until the next capture_next
};

struct capture_iface {
    std::string name;
    std::string description;  // empty when the library gives none
};

// Makes the capture library usable. 0 when it is, -1 when it cannot be
// loaded; err then says what is missing.
int capture_library_load(std::string* err);

// Opens a live capture. Null on failure, with the library's text in err.
capture_device* capture_open(const char* name, int snaplen, int promisc, int timeout_ms,
                             std::string* err);

int capture_datalink(capture_device* h);

// Compiles and sets a filter. 0 set; -1 the text does not compile;
// -2 it compiled but cannot be set. err holds the library's text on failure.
int capture_set_filter(capture_device* h, const char* expr, std::uint32_t netmask,
                       std::string* err);

// Waits for packets. 1 readable, 0 timed out, -1 the wait failed.
int capture_wait(capture_device* h, long timeout_us);

// Reads one packet. 1 one packet in *p; 0 none ready (time-out);
// -1 read error; -2 broken off by capture_breakloop.
int capture_next(capture_device* h, capture_packet* p);

// The library's text for the last failure on h.
std::string capture_last_error(capture_device* h);

// Makes a waiting or next read return -2. Safe from another thread.
void capture_breakloop(capture_device* h);

// What was dropped since open: by the library (its buffer was full) in
// *drops, by the interface in *interface_drops (0 where the system does
// not tell). 0 on success, -1 when unavailable.
int capture_stats(capture_device* h, std::uint32_t* drops, std::uint32_t* interface_drops);

void capture_close(capture_device* h);

// The interfaces in the library's order. 0 on success, -1 on failure.
int capture_find_all(std::vector<capture_iface>* out, std::string* err);

// The library's default device. 0 when there is one, -1 otherwise (err).
int capture_lookup_default(std::string* name, std::string* err);
