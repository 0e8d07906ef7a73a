#include "forward/tzsp.h"

int tzsp_find_frame(const std::uint8_t* data, std::size_t len, tzsp_frame* out)
{
    std::size_t pos = tzsp_header_size;
    while (pos < len) {
        std::uint8_t tag = data[pos];
        if (tag == tzsp_tag_end) {
            out->offset = static_cast<std::uint32_t>(pos + 1);
            out->length = static_cast<std::uint32_t>(len - pos - 1);
            return 0;
        }
        if (tag == tzsp_tag_padding) {
            ++pos;
            continue;
        }
        // Type byte, length byte, value: a length byte beyond the end also
        // lands here, because pos + 1 >= len makes the loop test fail next.
        if (pos + 1 >= len)
            return -1;
        pos += 2 + static_cast<std::size_t>(data[pos + 1]);
    }
    return -1;
}
