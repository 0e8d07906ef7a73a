// Where interface discovery gets its interface data. The capture library
// by default; unit tests put in a list of their own, and a clock that does
// not really sleep, to drive every mode without a capture driver.
#pragma once

#include <string>
#include <vector>

#include "platform/capture.h"

struct interface_source {
    int (*library_load)(std::string* err);
    int (*find_all)(std::vector<capture_iface>* out, std::string* err);
    int (*lookup_default)(std::string* name, std::string* err);
    void (*sleep)(unsigned ms);
};

// The capture library and the real clock.
interface_source capture_interface_source();

// The source the run chooses its interface from. Set only while no
// discovery runs.
extern interface_source discovery_source;
