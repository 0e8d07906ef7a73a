// Placeholder until batching lands.
#include "forward/tap_batch.h"
void tap_batch_init(tap_batch&, std::int32_t) {}
tap_add_result tap_batch_add(tap_batch&, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                             const std::uint8_t*, const std::uint8_t*) { return tap_added; }
void tap_batch_flush(tap_batch&) {}
void tap_batch_idle(tap_batch&) {}
