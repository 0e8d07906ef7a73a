// The collector's state file: the input is the whole file. Whatever it holds, reading it never leaves its bounds;
// the runs it gave are written back as a text that reads back to itself, run for run.
#include <string>
#include "collector/replay_state.h"
#include "fuzz/fuzz_common.h"
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    stream_table first, second;
    FUZZ_CHECK(stream_table_init(&first, 2, 16) == 0 && stream_table_init(&second, 2, 16) == 0, "no table");
    const long runs = replay_state_read({reinterpret_cast<const char*>(data), size}, &first, 0);
    std::string text, again;
    replay_state_text(first, 0, &text);
    const long read_back = replay_state_read(text, &second, 0);
    replay_state_text(second, 0, &again);
    FUZZ_CHECK(read_back >= 0 && static_cast<std::size_t>(read_back) == stream_retired_count(first),
               "%ld runs read back of %zu (%ld in the input)", read_back, stream_retired_count(first), runs);
    FUZZ_CHECK(again == text, "the text changed on its way back:\n%s\n%s", text.c_str(), again.c_str());
    stream_table_release(&first);
    stream_table_release(&second);
    return 0;
}
