// One tap run: set-up, one forwarding loop, shutdown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Thread body: arg is a heap copy of the argument string (char*, from
// new[]) whose ownership passes to the thread. Sets tap_stop_event at the
// end of the run and returns 0.
unsigned tap_run_thread(void* arg);

// Splits at TABs; runs of TABs count as one and empty fields vanish.
std::vector<std::string> split_arguments(const char* text);

// Drops the launcher's mode word ("/c": one word; "/i", "/r": two).
void drop_mode_word(std::vector<std::string>& args);

// The longest host name the collector option takes.
inline constexpr std::size_t collector_name_max = 253;

// Reads the collector text "<address or host name>:<port>" into an IPv4
// address (network order) and a port (host order). 0 on success; -1 with an
// ERROR line when a part is missing, too long, not a port from 1 to 65535,
// or names no IPv4 host.
int read_collector(std::string_view text, std::uint32_t* addr, std::uint16_t* port);

// 0 when the UDP socket is open; -1 when the collector text is unusable or
// the socket cannot be created. Ends the process on a socket-library
// failure and, through option handling, on help, version and missing
// options.
int tap_setup(std::vector<std::string>& args);

// Safe to enter any number of times from any thread: logs
// "Shutting down..." once, stops the loop and wakes it from its wait. The
// socket and the allow-list are released by the run thread alone.
void tap_shutdown(int sig);
