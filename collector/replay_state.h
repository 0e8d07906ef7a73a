// The tap runs a collector heard, kept across restarts (-A, -s DIR): per
// run its tap id, run id, highest verified number and latest send time.
// Read at start into the retired runs, so that a recorded datagram is
// refused as a replay by a restarted collector too, and a run that goes on
// resumes above its number. Only runs sent within --max-age are kept:
// datagrams of older ones are refused by their send time anyway.
//
// The file, DIR/replay.state, is text: a first line naming the format,
// then one line per run, "TAP_ID RUN_ID TOP LAST_SENT" (decimal, the run id
// in 32 hexadecimal digits, the time in microseconds since 1970 UTC).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "collector/streams.h"

inline constexpr char replay_state_file_name[] = "replay.state";
inline constexpr char replay_state_first_line[] = "vantry_collector replay state 1";

// The runs of t, streams and retired runs, last sent at or after oldest_us,
// as the file's text, into *out (replaced). At most t's capacities of runs.
void replay_state_text(const stream_table& t, std::uint64_t oldest_us, std::string* out);

// Reads a file's text into t's retired runs, leaving out runs last sent
// before oldest_us. The number of runs read; or -(line number) of the
// first line that is not understood, the runs before it read.
long replay_state_read(std::string_view text, stream_table* t, std::uint64_t oldest_us);
