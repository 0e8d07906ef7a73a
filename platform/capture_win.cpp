// Placeholder until the capture seam lands.
#include "platform/capture.h"
int capture_library_load(std::string*) { return 0; }
capture_device* capture_open(const char*, int, int, int, std::string* err) { *err = "no capture"; return nullptr; }
int capture_datalink(capture_device*) { return 1; }
int capture_set_filter(capture_device*, const char*, std::uint32_t, std::string*) { return 0; }
int capture_wait(capture_device*, long) { return 0; }
int capture_next(capture_device*, capture_packet*) { return 0; }
void capture_breakloop(capture_device*) {}
int capture_stats(capture_device*, std::uint32_t*) { return -1; }
void capture_close(capture_device*) {}
int capture_find_all(std::vector<capture_iface>*, std::string*) { return -1; }
int capture_lookup_default(std::string*, std::string*) { return -1; }
