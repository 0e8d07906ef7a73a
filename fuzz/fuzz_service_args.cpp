// Stored service arguments: the input is the registry value "AppParameters"
// that service_main reads at each start. It runs against a stand-in for the
// operating system that serves the value and catches the argument string
// handed to the run thread; that string must be the stored text (up to its
// first NUL and the buffer's size) with its runs of TABs made single, and
// the run thread's splitting of it must give words without TABs.
//
// Input: type byte (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, other),
// flags byte (bit 0: the key cannot be opened; bit 1: the value is
// repeated to 8190 + (flags >> 2) % 5 bytes, around the buffer's size),
// then the value's bytes.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "run/tap_run.h"
#include "service/service_host.h"

namespace {

struct stand_in {
    std::string value;
    std::uint32_t type = 0;
    bool open_fails = false;
    bool started = false;
    std::string argument_string;
} os;

int dummy_event;

const service_api fake_api = {
    .has_service_manager = true,
    .print = [](const char*) {},
    .console_events = [](bool) {},
    .start_dispatcher = [](const char*, void (*)(unsigned, char**)) { return -1; },
    .register_handler = [](const char*, void (*)(std::uint32_t)) -> svc_handle {
        return &dummy_event;
    },
    .set_status = [](svc_handle, const service_status*) { return 0; },
    .reg_open = [](const char*, std::uint32_t, svc_handle* key) -> long {
        if (os.open_fails)
            return 2;
        *key = &dummy_event;
        return 0;
    },
    .reg_create = [](const char*, const char*, std::uint32_t, std::uint32_t,
                     svc_handle*) -> long { return 5; },
    .reg_query = [](svc_handle, const char*, std::uint32_t* type, void* data,
                    std::uint32_t* size) -> long {
        *type = os.type;
        const auto need = static_cast<std::uint32_t>(os.value.size());
        const std::uint32_t room = *size;
        if (need > room) {
            *size = need;
            return static_cast<long>(win::error_more_data);
        }
        std::memcpy(data, os.value.data(), need);
        *size = need;
        return 0;
    },
    .reg_set = [](svc_handle, const char*, std::uint32_t, const void*, std::uint32_t) -> long {
        return 5;
    },
    .reg_set_security = [](svc_handle, const char*) -> long { return 0; },
    .reg_delete_key = [](const char*) -> long { return 5; },
    .reg_close = [](svc_handle) {},
    .event_source_open = [](const char*) -> svc_handle { return &dummy_event; },
    .event_report = [](svc_handle, std::uint16_t, std::uint16_t, std::uint32_t,
                       const char* text) {
        FUZZ_CHECK(std::strlen(text) < event_message_capacity, "event of %zu characters",
                   std::strlen(text));
        return 0;
    },
    .event_source_close = [](svc_handle) {},
    .scm_open = [](std::uint32_t) -> svc_handle { return nullptr; },
    .service_create = [](svc_handle, const service_create_args*) -> svc_handle { return nullptr; },
    .service_set_description = [](svc_handle, const char*) { return -1; },
    .service_open = [](svc_handle, const char*, std::uint32_t) -> svc_handle { return nullptr; },
    .service_control = [](svc_handle, std::uint32_t, service_status*) { return -1; },
    .service_query = [](svc_handle, service_status*) { return -1; },
    .service_delete = [](svc_handle) { return -1; },
    .service_close = [](svc_handle) {},
    .module_path = [](char*, std::uint32_t) -> std::uint32_t { return 0; },
    .last_error = []() -> std::uint32_t { return 0; },
    .format_message = [](std::uint32_t, std::uint32_t, char** text) -> std::uint32_t {
        *text = nullptr;
        return 0;
    },
    .free_message = [](char*) {},
    .sleep_ms = [](unsigned) {},
    .event_create = []() { return reinterpret_cast<stop_event*>(&dummy_event); },
    .event_set = [](stop_event*) {},
    .event_wait = [](stop_event*) {},
    .event_close = [](stop_event*) {},
    .start_run_thread = [](char* s) {
        os.started = true;
        os.argument_string = s;
        delete[] s;
        return 0;
    },
};

// The stored text with every run of TABs made one TAB and none at either
// end.
std::string normalised(const std::string& text)
{
    std::string out;
    bool pending_tab = false;
    for (char c : text) {
        if (c == '\t') {
            pending_tab = !out.empty();
            continue;
        }
        if (pending_tab)
            out += '\t';
        pending_tab = false;
        out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    service_os = &fake_api;
    console_mode = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    static constexpr std::uint32_t types[] = {win::reg_sz, win::reg_expand_sz, win::reg_multi_sz,
                                              win::reg_dword, 0};
    os = stand_in{};
    os.type = types[data[0] % 5];
    os.open_fails = data[1] & 1;
    os.value.assign(reinterpret_cast<const char*>(data + 2), size - 2);
    if ((data[1] & 2) && !os.value.empty()) {
        const std::size_t want = 8190 + (data[1] >> 2) % 5;
        while (os.value.size() < want)
            os.value += os.value;
        os.value.resize(want);
    }

    char name[] = "vantry_remote";
    char* argv[] = {name, nullptr};
    service_main(1, argv);
    FUZZ_CHECK(tap_stop_event == nullptr, "stop event left behind");

    // What the service may use of the value: a text type, what fits the
    // buffer, up to the first NUL.
    std::string usable;
    if (!os.open_fails && os.value.size() <= argument_string_capacity &&
        (os.type == win::reg_sz || os.type == win::reg_expand_sz))
        usable = os.value.substr(0, os.value.find('\0'));
    const std::string want = normalised(usable);
    // A string longer than the launcher's buffer starts no run at all.
    FUZZ_CHECK(os.started == (want.size() < argument_string_capacity),
               "run %s with %zu characters", os.started ? "started" : "not started", want.size());
    FUZZ_CHECK(os.argument_string == (os.started ? want : std::string()),
               "argument string of %zu characters, expected %zu", os.argument_string.size(),
               want.size());

    std::vector<std::string> words = split_arguments(os.argument_string.c_str());
    for (const std::string& w : words)
        FUZZ_CHECK(!w.empty() && w.find('\t') == std::string::npos, "word '%s'", w.c_str());
    const std::size_t before = words.size();
    drop_mode_word(words);
    FUZZ_CHECK(words.size() <= before && before - words.size() <= 2, "%zu words dropped",
               before - words.size());
    return 0;
}
