// Placeholder until discovery lands.
#include "support/interface_discovery.h"
std::optional<std::string> find_capture_interface(const char*) { return std::nullopt; }
long find_nocase(const char*, const char*) { return -1; }
