// A virtual Ethernet (TAP) interface for the collector: frames written to
// it appear on the host as if received on an interface of that name.
#pragma once

#include <cstddef>

struct tap_device;

// Creates (or attaches to) the TAP interface name and brings it up.
// 0 on success with *out set; -1 on failure (see net_last_error());
// -2 when this platform has no TAP devices at all.
int tap_device_open(const char* name, tap_device** out);

// Writes one frame. 0 when written whole, -1 on failure.
int tap_device_write(tap_device* dev, const void* frame, std::size_t len);

void tap_device_close(tap_device* dev);
