// A recording stand-in for the service host's operating-system calls, for
// the unit tests and the service fuzzer. Each call adds a line to fake.log:
// the call and what it was given ("status 4 1 0 0"), "bad" at the end for a
// value no caller should pass. A call whose line starts with an entry of
// fake.fail fails, with error 5. fake.handles counts what is open.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "run/run_settings.h"
#include "service/service_host.h"

struct fake_os {
    std::string log, out;  // calls; printed text
    std::vector<std::string> fail;
    int handles = 0;
    std::uint32_t stored_type = 1;  // of AppParameters; 0: no such value
    std::string stored{"p\t-k\tmango", 11}, run = "<no run>";  // run: the last one started
    std::string module_path = "C:\\Program Files\\vantry_remote.exe";  // "": cannot be had
    std::string states;  // answers of the service queries, one digit each, then stopped
    std::uint32_t error = 0;
    std::map<std::uint32_t, std::string> messages = {{5, "Access is denied.\r\n"}};
};
inline fake_os fake;

inline std::string fake_text(const char* s) { return s; }
inline std::string fake_text(const std::string& s) { return s; }
inline std::string fake_text(std::uint32_t v) { return std::to_string(v); }
inline std::string fake_text(bool bad) { return bad ? "bad" : ""; }

// Logs the parts as one line; true when the call is to fail.
template <typename... T>
bool fake_fails(const T&... parts)
{
    std::string line;
    for (std::string p : {fake_text(parts)...})
        line += line.empty() || p.empty() ? p : " " + p;
    const std::string root = "SYSTEM\\CurrentControlSet\\Services\\";
    if (auto at = line.find(root); at != std::string::npos)
        line.replace(at, root.size(), "Services\\");
    fake.log += line + '\n';
    auto starts = [&line](const std::string& f) { return line.rfind(f, 0) == 0; };
    return std::any_of(fake.fail.begin(), fake.fail.end(), starts) && (fake.error = 5);
}

template <typename... T>  // a new handle, or null when the call is to fail
svc_handle fake_open(const T&... parts)
{
    return fake_fails(parts...) ? nullptr : (++fake.handles, &fake);
}

inline std::vector<char*> argv_of(std::vector<std::string>& words)
{
    std::vector<char*> argv(words.size() + 1);  // null-terminated
    std::transform(words.begin(), words.end(), argv.begin(), [](auto& w) { return w.data(); });
    return argv;
}

inline const service_api fake_service_api = {
    .has_service_manager = true,
    .print = [](auto text) { fake.out += text; },
    .console_events = [](bool on) { fake_fails("console", on ? "on" : "off"); },
    .start_dispatcher = [](auto name, auto entry) {
        return fake_fails("dispatcher", name, entry != service_main) ? -1 : 0;
    },
    .register_handler = [](auto name, auto handler) -> svc_handle {
        return fake_fails("register", name, handler != service_control_handler) ? nullptr : &fake;
    },
    .set_status = [](auto, auto s) {
        const bool bad = s->service_type != 0x10 || s->win32_exit_code ||
                         s->service_specific_exit_code;
        return fake_fails("status", s->current_state, s->controls_accepted, s->check_point,
                          s->wait_hint, bad) ? -1 : 0;
    },
    .reg_open = [](auto path, auto access, auto key) -> long {
        const char* use = access == 0x20019 ? "read" : access == 0x20006 ? "write" : "bad";
        return (*key = fake_open("reg open", path, use)) ? 0 : 2;
    },
    .reg_create = [](auto path, auto key_class, auto options, auto access, auto key) -> long {
        const bool bad = std::strcmp(key_class, "LocalSystem") || options || access != 0xF003F;
        return (*key = fake_open("reg create", path, bad)) ? 0 : 5;
    },
    .reg_query = [](auto, auto name, auto type, auto data, auto size) -> long {
        const std::uint32_t room = *size;
        *type = fake.stored_type;
        *size = static_cast<std::uint32_t>(fake.stored.size());
        std::memcpy(data, fake.stored.data(), *size > room ? 0 : *size);
        // Not found, more data.
        return fake_fails("reg query", name) || !fake.stored_type ? 2 : *size > room ? 234 : 0;
    },
    // A text is written with its terminator counted, a number as 4 bytes.
    .reg_set = [](auto, auto name, auto type, auto data, auto size) -> long {
        const std::string v(static_cast<const char*>(data), size);
        const bool text = type == 1 && v.find('\0') + 1 == size, number = type == 4 && size == 4;
        const std::string shown =
            text ? v.substr(0, size - 1) : number ? fake_text(std::uint32_t(v[0])) : "bad";
        return fake_fails("reg set", name, shown) ? 5 : 0;
    },
    .reg_set_security = [](auto, auto d) -> long { return fake_fails("reg secure", d) ? 5 : 0; },
    .reg_delete_key = [](auto path) -> long { return fake_fails("reg delete", path) ? 5 : 0; },
    .reg_close = [](auto) { --fake.handles; },
    .event_source_open = [](auto source) -> svc_handle {
        return std::strcmp(source, "vantry_remote") ? nullptr : (++fake.handles, &fake);
    },
    .event_report = [](auto, auto type, auto category, auto id, auto text) {
        return fake_fails("event", text, type != 4 || category || id != 0x40000001) ? -1 : 0;
    },
    .event_source_close = [](auto) { --fake.handles; },
    .scm_open = [](auto access) { return fake_open("scm", access != 0xF003F); },
    // The other arguments are checked under Wine, in the service's registry values.
    .service_create = [](auto, auto a) {
        return fake_open("service create", a->service_name, a->display_name, a->binary_path);
    },
    .service_set_description = [](auto, auto t) { return fake_fails("describe", t) ? -1 : 0; },
    .service_open = [](auto, auto n, auto a) { return fake_open("service open", n, a != 0xF01FF); },
    .service_control = [](auto, auto c, auto) { return fake_fails("service control", c) ? -1 : 0; },
    .service_query = [](auto, auto s) {
        if (fake_fails("service query"))
            return -1;
        s->current_state = fake.states.empty() ? 1 : fake.states[0] - '0';
        fake.states.erase(0, 1);
        return 0;
    },
    .service_delete = [](auto) { return fake_fails("service delete") ? -1 : 0; },
    .service_close = [](auto) { --fake.handles; },
    .module_path = [](auto buf, auto size) -> std::uint32_t {
        fake.error = fake.module_path.empty() ? 5 : 0;
        const std::string fits = fake.module_path.substr(0, size - 1);
        std::memcpy(buf, fits.c_str(), fits.size() + 1);
        return fake.module_path.size() < size ? fits.size() : size;  // cut: the buffer's size
    },
    .last_error = [] { return fake.error; },
    .format_message = [](auto flags, auto code, auto text) -> std::uint32_t {
        auto m = fake.messages.find(code);
        *text = m == fake.messages.end() || flags != 0x3100 ? nullptr : m->second.data();
        fake.handles += *text != nullptr;
        return *text ? m->second.size() : 0;
    },
    .free_message = [](auto) { --fake.handles; },
    .sleep_ms = [](unsigned ms) { fake_fails("sleep", std::uint32_t{ms}); },
    .event_create = [] { return static_cast<stop_event*>(fake_open("stop event create")); },
    .event_set = [](auto) { fake_fails("stop event set"); },
    // Stop controls arrive while the run waits: interrogate, stop, shutdown.
    .event_wait = [](auto) {
        fake_fails("wait");
        for (std::uint32_t control : {4, 1, 5})
            service_control_handler(control);
    },
    .event_close = [](auto) { fake.handles -= fake_fails("stop event close") ? 0 : 1; },
    .start_run_thread = [](auto text) {
        fake.run = text;
        delete[] text;
        return fake_fails("thread", fake.run) ? -1 : 0;
    },
};

// Puts api (the fake unless given) in, the host's records at their starting
// values. It stays in after a test: no unit test reaches the real run thread.
inline void fake_reset(const service_api* api = &fake_service_api)
{
    fake = fake_os{};
    service_os = api;
    console_mode = 0;
    status_checkpoint = 1;
    current_status = service_status{};
    status_handle = nullptr;
    tap_stop_event = nullptr;
}
