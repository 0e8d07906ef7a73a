// Placeholder until the cipher lands.
#include "forward/speck.h"
const speck_key_schedule* speck_key = nullptr;
int speck_setup_key(const char*, std::int32_t) { return 1; }
int speck_ctr_crypt(std::uint8_t*, const std::uint8_t*, std::uint64_t, const std::uint8_t*,
                    const speck_key_schedule&) { return 0; }
int send_datagram(const std::uint8_t*, std::uint32_t) { return 0; }
