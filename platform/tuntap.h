// A virtual Ethernet (TAP) interface for the collector: frames written to
// it appear on the host as if received on an interface of that name.
#pragma once

#include <cstddef>

struct tuntap_interface;

// Creates (or attaches to) the TAP interface name and brings it up as a
// passive monitor: frames written to it are for capture tools only and
// must neither configure this host nor draw an answer from it, whoever
// sent them. Before it goes up, IPv6 is switched off on it (no address,
// no router advertisement taken, nothing sent; fine where the kernel has
// no IPv6 at all). It goes up with ARP off. IPv4 cannot be switched off on
// one interface: it forwards nothing that arrives on it and checks source
// addresses strictly, so that with nothing routed through the interface
// every packet with a source address is dropped.
// 0 on success with *out set. -1 on failure (see net_last_error()) with
// *failed null when the interface could not be created or attached, else
// naming the step that could not make it passive; nothing is left open.
// -2 when this platform has no TAP devices at all.
int tuntap_open(const char* name, tuntap_interface** out, const char** failed);

// The IPv4 source check in force on the open interface: the kernel takes
// the larger of the interface's and the host-wide setting, so a host-wide
// loose check (2: a source routed through any interface passes) overrides
// the strict one (1) tuntap_open sets. The value (0 none, 1 strict,
// 2 loose), or -1 when it cannot be read or the platform has none.
int tuntap_source_check(const tuntap_interface* dev);

// Writes one frame. 0 when written whole, -1 on failure.
int tuntap_write(tuntap_interface* dev, const void* frame, std::size_t len);

void tuntap_close(tuntap_interface* dev);
