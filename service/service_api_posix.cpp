// No Service Control Manager, registry or event log here: those entries
// fail with "call not implemented", and the launcher offers a console run
// under the system's own service manager instead. Output, the stop event
// and the run thread are real.
#include "platform/platform.h"
#include "service/service_api.h"

namespace {

std::uint32_t posix_last_error = 0;

svc_handle no_handle()
{
    posix_last_error = win::error_call_not_implemented;
    return nullptr;
}

long no_registry()
{
    posix_last_error = win::error_call_not_implemented;
    return static_cast<long>(win::error_call_not_implemented);
}

}  // namespace

const service_api native_service_api = {
    .has_service_manager = false,
    .print = print_to_stdout,
    .console_events = [](bool) {},
    .start_dispatcher = [](const char*, void (*)(unsigned, char**)) {
        posix_last_error = win::error_call_not_implemented;
        return -1;
    },
    .register_handler = [](const char*, void (*)(std::uint32_t)) { return no_handle(); },
    .set_status = [](svc_handle, const service_status*) { return -1; },
    .reg_open = [](const char*, std::uint32_t, svc_handle*) { return no_registry(); },
    .reg_create = [](const char*, const char*, std::uint32_t, std::uint32_t, svc_handle*) {
        return no_registry();
    },
    .reg_query = [](svc_handle, const char*, std::uint32_t*, void*, std::uint32_t*) {
        return no_registry();
    },
    .reg_set = [](svc_handle, const char*, std::uint32_t, const void*, std::uint32_t) {
        return no_registry();
    },
    .reg_set_security = [](svc_handle, const char*) { return no_registry(); },
    .reg_delete_key = [](const char*) { return no_registry(); },
    .reg_close = [](svc_handle) {},
    .file_set_security = [](const char*, const char*) { return no_registry(); },
    .folder_create = [](const char*) { return no_registry(); },
    .program_data = [](char*, std::uint32_t) { return std::uint32_t{0}; },
    .event_source_open = [](const char*) { return no_handle(); },
    .event_report = [](svc_handle, std::uint16_t, std::uint16_t, std::uint32_t, const char*) {
        return -1;
    },
    .event_source_close = [](svc_handle) {},
    .scm_open = [](std::uint32_t) { return no_handle(); },
    .service_create = [](svc_handle, const service_create_args*) { return no_handle(); },
    .service_set_description = [](svc_handle, const char*) { return -1; },
    .service_open = [](svc_handle, const char*, std::uint32_t) { return no_handle(); },
    .service_control = [](svc_handle, std::uint32_t, service_status*) { return -1; },
    .service_query = [](svc_handle, service_status*) { return -1; },
    .service_delete = [](svc_handle) { return -1; },
    .service_close = [](svc_handle) {},
    .module_path = [](char* buf, std::uint32_t size) -> std::uint32_t {
        if (size == 0)
            return 0;
        buf[0] = '\0';
        posix_last_error = win::error_call_not_implemented;
        return 0;
    },
    .last_error = []() { return posix_last_error; },
    .format_message = [](std::uint32_t, std::uint32_t, char** text) -> std::uint32_t {
        *text = nullptr;
        return 0;
    },
    .free_message = [](char*) {},
    .sleep_ms = sleep_ms,
    .event_create = stop_event_create,
    .event_set = stop_event_set,
    .event_wait = stop_event_wait,
    .event_close = stop_event_close,
    .start_run_thread = start_tap_run_thread,
};
