#include "platform/tap_device.h"

// Windows has no built-in TAP interface; a driver of its own would be
// needed, which the collector does not install.
int tap_device_open(const char*, tap_device** out, const char** failed)
{
    *out = nullptr;
    *failed = nullptr;
    return -2;
}

int tap_device_source_check(const tap_device*)
{
    return -1;
}

int tap_device_write(tap_device*, const void*, std::size_t)
{
    return -1;
}

void tap_device_close(tap_device*) {}
