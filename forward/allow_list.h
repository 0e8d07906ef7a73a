// The host allow-list: IPv4 hosts whose traffic is forwarded.
#pragma once

#include <cstdint>

struct prefix_trie;

// Loads a hosts file into *list, replacing any earlier list once the file
// is open. Lines that are no address are skipped with a warning; a file
// that cannot be opened leaves *list as it was.
void load_hosts_file(const char* path, prefix_trie** list);

// True when addr (network byte order) is listed; false without a list.
bool host_allowed(const prefix_trie* list, std::uint32_t addr);

// Destroys *list and clears it. Only once no loop can consult it.
void release_allow_list(prefix_trie** list);

// Reads IPv4 text as the classic inet_addr does: one to four parts split
// by dots (a.b.c.d, a.b.c with a 16-bit c, a.b with a 24-bit b, a alone as
// 32 bits), each decimal, octal after a leading 0 or hexadecimal after 0x.
// The address ends at the end of the text or at white space; what follows
// white space is ignored. 0 with *addr_be set (network byte order, as held
// in memory) on success; -1 when the text is not an address.
int parse_ipv4_text(const char* text, std::uint32_t* addr_be);

// One hosts-file line, its line end already removed. 1: an address, put in
// *addr_be; 0: nothing to enter (an empty line or a "#" comment); -1: the
// line is not an IPv4 address.
int parse_hosts_line(const char* line, std::uint32_t* addr_be);
