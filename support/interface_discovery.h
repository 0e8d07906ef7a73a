// Capture interface discovery: lookup by index, description piece, name
// or wait text, and the interface listing.
#pragma once

#include <optional>
#include <string>

// Returns the device name for an -i text (null text: the default device);
// nothing in listing mode ("-1"). Ends the process with status -1 when no
// interface can be chosen.
std::optional<std::string> find_capture_interface(const char* text);

// Position of the first case-insensitive match of needle in haystack, or
// -1. A one-character needle matches only as the last character.
long find_nocase(const char* haystack, const char* needle);
