// A recording stand-in for the service host's operating-system calls: an
// in-memory registry and service manager, and logs of every status report,
// event, printed text and run-thread start.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "run/run_settings.h"
#include "service/service_host.h"

struct fake_value {
    std::uint32_t type = 0;
    std::string bytes;
};

struct fake_key_create {
    std::string path;
    std::string key_class;
    std::uint32_t options;
    std::uint32_t access;
};

struct fake_security {
    std::string path, sddl;
    std::size_t values_then;  // values the key held when its access list was set
};

struct fake_create {
    std::string service_name, display_name, binary_path;
    std::uint32_t desired_access, service_type, start_type, error_control;
    bool group_null, dependencies_empty, account_null, password_null;
};

struct fake_os_state {
    // Service side.
    std::vector<service_status> reports;
    std::set<std::size_t> failing_reports;  // indexes into reports
    bool handler_registration_fails = false;
    std::string dispatcher_name;
    bool dispatcher_fails = false;
    std::vector<std::string> events;
    int event_sources_open = 0;
    int set_calls_with_handle = 0;

    // Registry.
    std::map<std::string, std::map<std::string, fake_value>> registry;
    std::vector<std::string> open_paths;  // handle i + 1 names open_paths[i]
    std::vector<std::pair<std::string, std::uint32_t>> opens;  // path, access
    std::vector<fake_key_create> creates;
    std::set<std::string> failing_opens, failing_creates, failing_sets;  // path or "path|name"
    std::vector<std::string> deleted_keys;
    int open_keys = 0;
    std::vector<fake_security> secured;
    long security_error = 0;  // the answer of every reg_set_security

    // Service manager.
    std::uint32_t scm_open_error = 0;
    bool service_exists = false;
    bool service_running = false;
    bool delete_fails = false;
    std::vector<fake_create> created;
    std::vector<std::string> descriptions;
    std::vector<std::uint32_t> query_states;  // answers of successive queries
    bool query_fails = false;
    int sc_handles_open = 0;
    std::vector<std::uint32_t> sleeps;

    // Kernel.
    std::string module_path = "C:\\Tap\\vantry_remote.exe";
    std::uint32_t module_path_error = 0;
    bool module_path_fills_buffer = false;
    std::uint32_t error = 0;
    std::map<std::uint32_t, std::string> messages = {
        {5, "Access is denied.\r\n"},
        {0x424, "The specified service does not exist as an installed service.\r\n"},
        {0x431, "The specified service already exists.\r\n"},
        {1062, "The service has not been started.\r\n"},
    };
    int messages_outstanding = 0;

    // Stop event and run thread.
    std::string out;
    int events_created = 0, events_set = 0, events_closed = 0, waits = 0;
    bool event_create_fails = false;
    std::function<void()> on_wait;
    std::vector<std::string> run_strings;
    bool thread_fails = false;

    std::vector<std::string> calls;  // order of the service-side calls
};

inline fake_os_state fake;

inline stop_event* const fake_stop_event = reinterpret_cast<stop_event*>(0x5e7);
inline svc_handle const fake_status_handle = reinterpret_cast<svc_handle>(0x57);
inline svc_handle const fake_scm = reinterpret_cast<svc_handle>(0x5c);
inline svc_handle const fake_service = reinterpret_cast<svc_handle>(0x5e);
inline svc_handle const fake_source = reinterpret_cast<svc_handle>(0xe5);

inline void (*fake_entry)(unsigned, char**) = nullptr;

inline std::string fake_key_path(svc_handle key)
{
    auto i = reinterpret_cast<std::uintptr_t>(key);
    return i >= 1 && i <= fake.open_paths.size() ? fake.open_paths[i - 1] : std::string("?");
}

inline svc_handle fake_open_handle(const std::string& path)
{
    fake.open_paths.push_back(path);
    ++fake.open_keys;
    return reinterpret_cast<svc_handle>(fake.open_paths.size());
}

inline svc_handle fake_fail_handle(std::uint32_t code)
{
    fake.error = code;
    return nullptr;
}

inline const service_api fake_service_api = {
    .has_service_manager = true,
    .print = [](const char* text) { fake.out += text; },
    .console_events =
        [](bool on) { fake.calls.push_back(on ? "console events on" : "console events off"); },
    .start_dispatcher =
        [](const char* name, void (*entry)(unsigned, char**)) {
            fake.calls.push_back("dispatcher");
            fake.dispatcher_name = name;
            fake_entry = entry;
            if (fake.dispatcher_fails) {
                fake.error = 1063;
                return -1;
            }
            return 0;
        },
    .register_handler =
        [](const char* name, void (*)(std::uint32_t)) {
            fake.calls.push_back(std::string("register ") + name);
            return fake.handler_registration_fails ? fake_fail_handle(1060) : fake_status_handle;
        },
    .set_status =
        [](svc_handle h, const service_status* s) {
            fake.calls.push_back("status");
            if (h == fake_status_handle)
                ++fake.set_calls_with_handle;
            fake.reports.push_back(*s);
            return fake.failing_reports.count(fake.reports.size() - 1) ? -1 : 0;
        },
    .reg_open =
        [](const char* path, std::uint32_t access, svc_handle* key) -> long {
            fake.opens.emplace_back(path, access);
            *key = nullptr;
            if (!fake.registry.count(path) || fake.failing_opens.count(path))
                return 2;  // file not found
            *key = fake_open_handle(path);
            return 0;
        },
    .reg_create =
        [](const char* path, const char* key_class, std::uint32_t options, std::uint32_t access,
           svc_handle* key) -> long {
            fake.creates.push_back({path, key_class ? key_class : "", options, access});
            *key = nullptr;
            if (fake.failing_creates.count(path))
                return 5;
            fake.registry[path];
            *key = fake_open_handle(path);
            return 0;
        },
    .reg_query =
        [](svc_handle key, const char* name, std::uint32_t* type, void* data,
           std::uint32_t* size) -> long {
            auto& values = fake.registry[fake_key_path(key)];
            auto v = values.find(name);
            if (v == values.end())
                return 2;
            *type = v->second.type;
            auto need = static_cast<std::uint32_t>(v->second.bytes.size());
            std::uint32_t room = *size;
            *size = need;
            if (need > room)
                return static_cast<long>(win::error_more_data);
            std::memcpy(data, v->second.bytes.data(), need);
            return 0;
        },
    .reg_set =
        [](svc_handle key, const char* name, std::uint32_t type, const void* data,
           std::uint32_t size) -> long {
            std::string path = fake_key_path(key);
            if (fake.failing_sets.count(path + "|" + name))
                return 5;
            fake.registry[path][name] = {type, std::string(static_cast<const char*>(data), size)};
            return 0;
        },
    .reg_set_security =
        [](svc_handle key, const char* sddl) -> long {
            std::string path = fake_key_path(key);
            fake.secured.push_back({path, sddl, fake.registry[path].size()});
            return fake.security_error;
        },
    .reg_delete_key =
        [](const char* path) -> long {
            fake.deleted_keys.push_back(path);
            fake.registry.erase(path);
            return 0;
        },
    .reg_close = [](svc_handle) { --fake.open_keys; },
    .event_source_open =
        [](const char* source) {
            fake.calls.push_back(std::string("event source ") + source);
            ++fake.event_sources_open;
            return fake_source;
        },
    .event_report =
        [](svc_handle source, std::uint16_t type, std::uint16_t category, std::uint32_t id,
           const char* text) {
            if (source == fake_source && type == 4 && category == 0 && id == 0x40000001)
                fake.events.push_back(text);
            else
                fake.events.push_back("<bad event call>");
            return 0;
        },
    .event_source_close = [](svc_handle) { --fake.event_sources_open; },
    .scm_open =
        [](std::uint32_t access) {
            fake.calls.push_back("scm open");
            if (access != win::sc_manager_all_access)
                return fake_fail_handle(87);
            if (fake.scm_open_error)
                return fake_fail_handle(fake.scm_open_error);
            ++fake.sc_handles_open;
            return fake_scm;
        },
    .service_create =
        [](svc_handle scm, const service_create_args* a) {
            fake.calls.push_back("create");
            fake.created.push_back({a->service_name, a->display_name, a->binary_path,
                                    a->desired_access, a->service_type, a->start_type,
                                    a->error_control, a->load_order_group == nullptr,
                                    a->dependencies && !a->dependencies[0] && !a->dependencies[1],
                                    a->account == nullptr, a->password == nullptr});
            if (scm != fake_scm)
                return fake_fail_handle(6);
            if (fake.service_exists)
                return fake_fail_handle(win::error_service_exists);
            fake.service_exists = true;
            fake.registry[std::string("SYSTEM\\CurrentControlSet\\Services\\") + a->service_name];
            ++fake.sc_handles_open;
            return fake_service;
        },
    .service_set_description =
        [](svc_handle, const char* text) {
            fake.descriptions.push_back(text);
            return 0;
        },
    .service_open =
        [](svc_handle scm, const char* name, std::uint32_t access) {
            if (scm != fake_scm || access != win::service_all_access)
                return fake_fail_handle(6);
            if (!fake.service_exists || std::strcmp(name, service_name) != 0)
                return fake_fail_handle(win::error_service_does_not_exist);
            ++fake.sc_handles_open;
            return fake_service;
        },
    .service_control =
        [](svc_handle, std::uint32_t control, service_status* s) {
            if (control != win::service_control_stop || !fake.service_running) {
                fake.error = 1062;
                return -1;
            }
            s->current_state = win::service_stop_pending;
            return 0;
        },
    .service_query =
        [](svc_handle, service_status* s) {
            if (fake.query_fails)
                return -1;
            std::uint32_t state = win::service_stopped;
            if (!fake.query_states.empty()) {
                state = fake.query_states.front();
                fake.query_states.erase(fake.query_states.begin());
            }
            s->current_state = state;
            return 0;
        },
    .service_delete =
        [](svc_handle) {
            if (fake.delete_fails) {
                fake.error = 5;
                return -1;
            }
            fake.service_exists = false;
            return 0;
        },
    .service_close = [](svc_handle) { --fake.sc_handles_open; },
    .module_path =
        [](char* buf, std::uint32_t size) -> std::uint32_t {
            if (fake.module_path_error) {
                fake.error = fake.module_path_error;
                return 0;
            }
            if (fake.module_path_fills_buffer) {
                std::memset(buf, 'p', size - 1);
                buf[size - 1] = '\0';
                fake.error = win::error_insufficient_buffer;
                return size;
            }
            std::snprintf(buf, size, "%s", fake.module_path.c_str());
            return static_cast<std::uint32_t>(fake.module_path.size());
        },
    .last_error = []() { return fake.error; },
    .format_message =
        [](std::uint32_t flags, std::uint32_t code, char** text) -> std::uint32_t {
            *text = nullptr;
            auto m = fake.messages.find(code);
            if (flags != win::format_message_flags || m == fake.messages.end())
                return 0;
            *text = new char[m->second.size() + 1];
            std::memcpy(*text, m->second.c_str(), m->second.size() + 1);
            ++fake.messages_outstanding;
            return static_cast<std::uint32_t>(m->second.size());
        },
    .free_message =
        [](char* text) {
            --fake.messages_outstanding;
            delete[] text;
        },
    .sleep_ms = [](unsigned ms) { fake.sleeps.push_back(ms); },
    .event_create =
        []() -> stop_event* {
            fake.calls.push_back("event create");
            if (fake.event_create_fails)
                return nullptr;
            ++fake.events_created;
            return fake_stop_event;
        },
    .event_set =
        [](stop_event* e) {
            fake.calls.push_back("event set");
            if (e == fake_stop_event)
                ++fake.events_set;
        },
    .event_wait =
        [](stop_event* e) {
            fake.calls.push_back("wait");
            if (e == fake_stop_event)
                ++fake.waits;
            if (fake.on_wait)
                fake.on_wait();
        },
    .event_close =
        [](stop_event* e) {
            fake.calls.push_back("event close");
            if (e == fake_stop_event)
                ++fake.events_closed;
        },
    .start_run_thread =
        [](char* text) {
            fake.calls.push_back("thread");
            if (fake.thread_fails) {
                delete[] text;
                return -1;
            }
            fake.run_strings.push_back(text);
            delete[] text;
            return 0;
        },
};

// Puts the fake in for one test and gives every process-wide record of the
// service host its starting value.
struct fake_service_scope {
    const service_api* saved = service_os;
    fake_service_scope()
    {
        fake = fake_os_state{};
        service_os = &fake_service_api;
        console_mode = 0;
        status_checkpoint = 1;
        current_status = service_status{};
        status_handle = nullptr;
        tap_stop_event = nullptr;
    }
    ~fake_service_scope()
    {
        service_os = saved;
        console_mode = 0;
        tap_stop_event = nullptr;
    }
};

inline void fake_store_arguments(const std::string& bytes, std::uint32_t type = win::reg_sz)
{
    fake.registry["SYSTEM\\CurrentControlSet\\Services\\vantry_remote\\Parameters"]["AppParameters"] =
        {type, bytes};
}
