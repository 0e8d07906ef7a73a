// Inside platform/ only: what the capture seam's one implementation
// (capture_pcap.cpp) needs from each platform. The pcap calls come as a
// table of function pointers, so that the same code runs over the library
// linked on POSIX and the one loaded at run time on Windows; the platform
// fills the table, waits for packets and breaks a wait off.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <string>

#include "platform/capture.h"

// The pcap calls both platforms make, by their names without "pcap_".
#define CAPTURE_PCAP_CALLS(X)                                                                  \
    X(create) X(set_snaplen) X(set_promisc) X(set_timeout) X(set_buffer_size) X(activate)     \
    X(setnonblock) X(datalink) X(compile) X(setfilter) X(freecode) X(geterr) X(statustostr)  \
    X(next_ex) X(breakloop) X(stats) X(close) X(findalldevs) X(freealldevs)

struct pcap_api {
#define CAPTURE_PCAP_FIELD(name) decltype(&::pcap_##name) name = nullptr;
    CAPTURE_PCAP_CALLS(CAPTURE_PCAP_FIELD)
#undef CAPTURE_PCAP_FIELD
    // The library's default device (declared deprecated, so typed by hand).
    // Null where it is not in the table: the default is then the first
    // device of the list.
    char* (*lookupdev)(char*) = nullptr;
};

// The table that capture_library_load has made usable (checked by the
// callers before any other capture call).
const pcap_api& capture_api();

// The platform's record for waiting on one device.
struct capture_waiter;

struct capture_device {
    pcap_t* pcap = nullptr;
    capture_waiter* waiter = nullptr;
    std::atomic<bool> broken{false};  // set by capture_breakloop
    // A packet that a polled wait has already read, handed out by the next
    // capture_next. Its bytes stay valid until the library is read again.
    bool held = false;
    capture_packet held_packet;
};

// Creates h->waiter for the open, non-blocking handle h->pcap. 0 on
// success; -1 with the reason in err.
int capture_waiter_open(capture_device* h, std::string* err);

// Frees a waiter from capture_waiter_open; null is ignored.
void capture_waiter_close(capture_waiter* w);

// Reads one packet from the library, past any held one: the results of
// capture_next.
int capture_read(capture_device* h, capture_packet* p);
