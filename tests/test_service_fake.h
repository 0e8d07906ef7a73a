// A recording stand-in for the service host's operating-system calls, for the unit tests and the service fuzzer. Each
// call adds a line to fake.log: the call and what it was given, "bad" at the end for a value no caller should pass. A
// call whose line starts with an entry of fake.fail fails (error 5; a registry call returns 5, or 2 for a missing key).
#pragma once
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include "run/tap_run.h"
#include "service/service_host.h"
struct fake_os {
    std::vector<std::string> fail{};
    std::string log{}, out{}, states{};  // calls; printed text; answers of the service queries, a digit each
    int stored_type = 1, error = 0, handles = 0;                // of AppParameters (0: no such value); the last error
    std::string stored{"p\t-k\tmango", 11}, run = "<no run>";  // run: the last one started
    std::string module_path = "C:\\Program Files\\Vantry\\vantry_remote.exe";  // "": cannot be had
    std::string message = "Access is denied.\r\n";                     // the system's text for every error but 0
};

inline fake_os fake;
inline const svc_handle fake_handle = &fake;  // fake.handles counts the handles open
inline std::string fake_text(const char* s) { return s; }
inline std::string fake_text(std::uint32_t v) { return std::to_string(v); }
inline std::string fake_text(bool bad) { return bad ? "bad" : ""; }
// Logs the parts as one line ("status 4 1 0 0"); -1 when the call is to fail, else 0.
template <typename... T>
int fake_call(const T&... parts)
{
    std::string line;
    for (std::string p : {fake_text(parts)...})
        line += line.empty() || p.empty() ? p : " " + p;
    if (auto at = line.find(services_key); at != std::string::npos)
        line.replace(at, std::strlen(services_key), "Services\\");
    fake.log += line + '\n';
    return std::ranges::any_of(fake.fail, [&](auto& f) { return line.starts_with(f); }) && (fake.error = 5) ? -1 : 0;
}

template <int open = 1, typename... T>  // null when the call is to fail, else a handle (counted unless open is 0)
svc_handle fake_open(const T&... parts) { return fake_call(parts...) ? nullptr : (fake.handles += open, fake_handle); }
inline const service_api fake_service_api = {
    .has_service_manager = true,
    .print = [](auto text) { fake.out += text; },
    .console_events = [](bool on) { fake_call("console", on ? "on" : "off"); },
    .start_dispatcher = [](auto name, auto entry) {  // the service started under another name, with a start parameter
        static char n[] = "other_tap", t[] = "-t", one[] = "1", *argv[] = {n, t, one, nullptr};
        return fake_call("dispatcher", name, entry != service_main) ? -1 : (entry(3, argv), 0);
    },
    .register_handler = [](auto n, auto f) { return fake_open<0>("register", n, f != service_control_handler); },
    .set_status = [](auto, auto s) {
        return fake_call("status", s->current_state, s->controls_accepted, s->check_point, s->wait_hint,
                         s->service_type != 0x10 || s->win32_exit_code || s->service_specific_exit_code);
    },
    .reg_open = [](auto path, auto a, auto key) -> long {
        return (*key = fake_open("reg open", path, a == 0x20019 ? "read" : a == 0x20006 ? "write" : "bad")) ? 0 : 2;
    },
    .reg_create = [](auto path, auto c, auto options, auto a, auto key) -> long {
        return (*key = fake_open("reg create", path, std::strcmp(c, "LocalSystem") || options || a != 0xF003F)) ? 0 : 5;
    },
    .reg_query = [](auto, auto name, auto type, auto data, auto size) -> long {
        const std::uint32_t cap = *size;  // 234: more data
        std::memcpy(data, fake.stored.data(), (*type = fake.stored_type, *size = fake.stored.size()) > cap ? 0 : *size);
        return fake_call("reg query", name) || !fake.stored_type ? 2 : *size > cap ? 234 : 0;
    },
    .reg_set = [](auto, auto name, auto type, auto data, auto size) -> long {  // a text counts its terminator
        const std::string v(static_cast<const char*>(data), size);
        const bool text = type == 1 && v.find('\0') + 1 == size, number = type == 4 && size == 4;
        const std::string shown = text ? v.substr(0, size - 1) : number ? std::to_string(v[0]) : "bad";
        return -5 * fake_call("reg set", name, shown.c_str());
    },
    .reg_set_security = [](auto, auto sddl) -> long { return -5 * fake_call("reg secure", sddl); },
    .reg_delete_key = [](auto path) -> long { return -5 * fake_call("reg delete", path); },
    .reg_close = [](auto) { --fake.handles; },
    .file_set_security = [](auto path, auto sddl) -> long { return -5 * fake_call("secure", path, sddl); },
    .folder_create = [](auto path) -> long { return fake_call("folder", path) ? 5 : 183; },
    .program_data = [](auto, auto) { return std::uint32_t{0}; },  // no log file: the units write none
    .event_source_open = [](auto s) { return std::strcmp(s, service_name) ? nullptr : (++fake.handles, fake_handle); },
    .event_report = [](auto, auto type, auto category, auto id, auto text) {
        const bool paired = (type == 4 && id == 0x40000001) || (type == 2 && id == 0x80000002) ||
                            (type == 1 && id == 0xC0000003);
        return fake_call("event", type == 4 ? "" : type == 2 ? "warning" : "error", text, !paired || category);
    },
    .event_source_close = [](auto) { --fake.handles; },
    .scm_open = [](auto a) { return fake_open("scm", a != 0xF003F); },
    .service_create = [](auto, auto a) {  // the other arguments are checked under Wine, in the registry
        return fake_open("service create", a->service_name, a->display_name, a->binary_path);
    },
    .service_set_description = [](auto, auto text) { return fake_call("describe", text); },
    .service_open = [](auto, auto n, auto a) { return fake_open("service open", n, a != 0xF01FF); },
    .service_control = [](auto, auto c, auto) { return fake_call("service control", c); },
    .service_query = [](auto, auto s) {  // the next state in fake.states, then stopped
        if (fake_call("service query"))
            return -1;
        return s->current_state = (fake.states += "1")[0] - '0', fake.states.erase(0, 1), 0;
    },
    .service_delete = [](auto) { return fake_call("service delete"); },
    .service_close = [](auto) { --fake.handles; },
    .module_path = [](auto buf, auto size) -> std::uint32_t {  // size: cut to fit
        std::strncpy(buf, fake.module_path.c_str(), size - 1)[size - 1] = '\0';
        return fake.error = fake.module_path.empty() ? 5 : 0, std::min<std::size_t>(fake.module_path.size(), size);
    },
    .last_error = []() -> std::uint32_t { return fake.error; },
    .format_message = [](auto flags, auto code, auto text) -> std::uint32_t {
        *text = !code || fake.message.empty() || flags != 0x3100 ? nullptr : fake.message.data();
        return *text ? (++fake.handles, fake.message.size()) : 0;
    },
    .free_message = [](auto) { --fake.handles; },
    .sleep_ms = [](unsigned ms) { fake_call("sleep", std::uint32_t{ms}); },
    .event_create = [] { return service_control_handler(4), static_cast<stop_event*>(fake_open("stop event create")); },
    .event_set = [](auto) { fake_call("stop event set"); },
    .event_wait = [](auto) {  // the controls that arrive meanwhile (and an interrogation as the event is made)
        fake_call("wait");
        for (std::uint32_t control : {4, 1, 4, 5})
            service_control_handler(control);
    },
    .event_close = [](auto) { fake.handles -= 1 + fake_call("stop event close"); },
    .start_run_thread = [](auto text) { return fake.run = text, delete[] text, fake_call("thread", fake.run.c_str()); },
};

// Puts api (the fake unless given) in, as set up, and the host's records as at start. Tests keep service_os with a
// probe_guard; the service fuzzer leaves the fake in, as it never runs a tap.
inline void fake_reset(const fake_os& setup = {}, const service_api* api = &fake_service_api)
{
    fake = setup, service_os = api, console_mode = 0, status_checkpoint = 1, current_status = {};
    status_handle = nullptr, tap_stop_event = nullptr;
}
