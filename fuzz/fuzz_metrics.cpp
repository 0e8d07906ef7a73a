// --metrics: the input as a request header read in pieces must get the answer it gets whole, bytes past its end
// changing nothing, and GET /metrics only for that request line; as a label value, escaped, it must read back
// whole; as an address that is taken, its text must name the same address again.
#include <string_view>
#include "collector/metrics.h"
#include "fuzz/fuzz_common.h"
namespace {
std::string unescape(const std::string& e)
{
    std::string out;
    for (std::size_t i = 0; i < e.size(); ++i)
        out += e[i] != '\\' || i + 1 == e.size() ? e[i] : e[++i] == 'n' ? '\n' : e[i];
    return out;
}
}  // namespace
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), std::min(size, metrics_header_max));
    const metrics_request whole = metrics_parse_request(in.data(), in.size());
    const std::size_t crlf = in.find("\r\n\r\n"), lf = in.find("\n\n");
    const std::size_t end = std::min(crlf == in.npos ? in.npos : crlf + 4, lf == in.npos ? in.npos : lf + 2);
    if (end != in.npos) {
        FUZZ_CHECK(metrics_parse_request(in.data(), end - 1) == metrics_incomplete, "answered before the end");
        FUZZ_CHECK(metrics_parse_request(in.data(), end) == whole, "bytes past the end changed the answer");
    } else {
        FUZZ_CHECK(whole == (in.size() == metrics_header_max ? metrics_too_long : metrics_incomplete), "no end: %d",
                   whole);
    }
    FUZZ_CHECK(whole != metrics_get || in.starts_with("GET /metrics ") || in.starts_with("GET /metrics?"),
               "GET /metrics answered for another request line");
    const std::string text(in.substr(0, std::min<std::size_t>(in.size(), 200)));
    if (text.find('\0') != std::string::npos)
        return 0;
    std::string escaped;
    metrics_escape(text.c_str(), &escaped);
    FUZZ_CHECK(unescape(escaped) == text && escaped.find('\n') == escaped.npos, "escaped as '%s'", escaped.c_str());
    net_peer at, again;
    char named[net_peer_text_max];
    if (metrics_parse_address(text.c_str(), &at) == 0) {
        net_peer_text(at, named, sizeof named);
        FUZZ_CHECK(metrics_parse_address(named, &again) == 0 && net_peer_same(at, again), "'%s' named as '%s'",
                   text.c_str(), named);
    }
    return 0;
}
