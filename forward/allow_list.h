// The host allow-list: IPv4 hosts whose traffic is forwarded.
#pragma once

#include <cstdint>

// Loads a hosts file into settings.allow_list, replacing any earlier list.
void load_hosts_file(const char* path);

// True when addr (network byte order) is listed; false without a list.
bool host_allowed(std::uint32_t addr);

// Destroys settings.allow_list. Only once no loop can consult it.
void release_allow_list();
