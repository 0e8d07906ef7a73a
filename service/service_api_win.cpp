// The service host's calls on Windows: thin wrappers of the Win32 service,
// registry, event-log and kernel calls, with nothing of their own to decide.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstddef>
#include <cstring>

#include "platform/platform.h"
#include "service/service_api.h"

static_assert(win::service_win32_own_process == SERVICE_WIN32_OWN_PROCESS);
static_assert(win::service_stopped == SERVICE_STOPPED);
static_assert(win::service_start_pending == SERVICE_START_PENDING);
static_assert(win::service_stop_pending == SERVICE_STOP_PENDING);
static_assert(win::service_running == SERVICE_RUNNING);
static_assert(win::service_accept_stop == SERVICE_ACCEPT_STOP);
static_assert(win::service_control_stop == SERVICE_CONTROL_STOP);
static_assert(win::service_control_shutdown == SERVICE_CONTROL_SHUTDOWN);
static_assert(win::service_auto_start == SERVICE_AUTO_START);
static_assert(win::service_error_normal == SERVICE_ERROR_NORMAL);
static_assert(win::service_all_access == SERVICE_ALL_ACCESS);
static_assert(win::sc_manager_all_access == SC_MANAGER_ALL_ACCESS);
static_assert(win::reg_sz == REG_SZ);
static_assert(win::reg_expand_sz == REG_EXPAND_SZ);
static_assert(win::reg_dword == REG_DWORD);
static_assert(win::key_read == KEY_READ);
static_assert(win::key_write == KEY_WRITE);
static_assert(win::key_all_access == KEY_ALL_ACCESS);
static_assert(win::reg_option_non_volatile == REG_OPTION_NON_VOLATILE);
static_assert(win::eventlog_error_type == EVENTLOG_ERROR_TYPE);
static_assert(win::eventlog_warning_type == EVENTLOG_WARNING_TYPE);
static_assert(win::eventlog_information_type == EVENTLOG_INFORMATION_TYPE);
static_assert(win::format_message_flags ==
              (FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
               FORMAT_MESSAGE_ARGUMENT_ARRAY));
static_assert(win::error_success == ERROR_SUCCESS);
static_assert(win::error_file_not_found == ERROR_FILE_NOT_FOUND);
static_assert(win::error_already_exists == ERROR_ALREADY_EXISTS);
static_assert(win::error_call_not_implemented == ERROR_CALL_NOT_IMPLEMENTED);

static_assert(sizeof(service_status) == sizeof(SERVICE_STATUS));
static_assert(offsetof(service_status, check_point) == offsetof(SERVICE_STATUS, dwCheckPoint));
static_assert(offsetof(service_status, wait_hint) == offsetof(SERVICE_STATUS, dwWaitHint));

namespace {

// The dispatcher and the handler call with the system's calling convention;
// these trampolines forward to the portable entries. One service per
// process, so one slot each is enough.
void (*service_entry)(unsigned, char**) = nullptr;
void (*control_entry)(std::uint32_t) = nullptr;

void WINAPI service_main_thunk(DWORD argc, LPSTR* argv) { service_entry(argc, argv); }

void WINAPI control_thunk(DWORD control) { control_entry(control); }

int start_dispatcher(const char* name, void (*entry)(unsigned, char**))
{
    service_entry = entry;
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<char*>(name), service_main_thunk},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherA(table) ? 0 : -1;
}

svc_handle register_handler(const char* name, void (*handler)(std::uint32_t))
{
    control_entry = handler;
    return reinterpret_cast<svc_handle>(RegisterServiceCtrlHandlerA(name, control_thunk));
}

int set_status(svc_handle h, const service_status* s)
{
    SERVICE_STATUS st;
    st.dwServiceType = s->service_type;
    st.dwCurrentState = s->current_state;
    st.dwControlsAccepted = s->controls_accepted;
    st.dwWin32ExitCode = s->win32_exit_code;
    st.dwServiceSpecificExitCode = s->service_specific_exit_code;
    st.dwCheckPoint = s->check_point;
    st.dwWaitHint = s->wait_hint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(h), &st) ? 0 : -1;
}

void copy_status(const SERVICE_STATUS& st, service_status* s)
{
    s->service_type = st.dwServiceType;
    s->current_state = st.dwCurrentState;
    s->controls_accepted = st.dwControlsAccepted;
    s->win32_exit_code = st.dwWin32ExitCode;
    s->service_specific_exit_code = st.dwServiceSpecificExitCode;
    s->check_point = st.dwCheckPoint;
    s->wait_hint = st.dwWaitHint;
}

long reg_open(const char* path, std::uint32_t access, svc_handle* key)
{
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &k);
    *key = rc == ERROR_SUCCESS ? reinterpret_cast<svc_handle>(k) : nullptr;
    return rc;
}

long reg_create(const char* path, const char* key_class, std::uint32_t options,
                std::uint32_t access, svc_handle* key)
{
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, const_cast<char*>(key_class), options,
                              access, nullptr, &k, nullptr);
    *key = rc == ERROR_SUCCESS ? reinterpret_cast<svc_handle>(k) : nullptr;
    return rc;
}

long reg_query(svc_handle key, const char* name, std::uint32_t* type, void* data,
               std::uint32_t* size)
{
    DWORD t = 0;
    DWORD n = *size;
    LONG rc = RegQueryValueExA(reinterpret_cast<HKEY>(key), name, nullptr, &t,
                               static_cast<BYTE*>(data), &n);
    *type = t;
    *size = n;
    return rc;
}

long reg_set(svc_handle key, const char* name, std::uint32_t type, const void* data,
             std::uint32_t size)
{
    return RegSetValueExA(reinterpret_cast<HKEY>(key), name, 0, type,
                          static_cast<const BYTE*>(data), size);
}

long reg_set_security(svc_handle key, const char* sddl)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                              nullptr))
        return static_cast<long>(GetLastError());
    // The descriptor's own "protected" flag keeps the parent's entries out.
    LONG rc = RegSetKeySecurity(reinterpret_cast<HKEY>(key), DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    return rc;
}

long reg_delete_key(const char* path) { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path); }

void reg_close(svc_handle key) { RegCloseKey(reinterpret_cast<HKEY>(key)); }

long file_set_security(const char* path, const char* sddl)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                              nullptr))
        return static_cast<long>(GetLastError());
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    DWORD rc = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) ? ERROR_SUCCESS
                                                                          : GetLastError();
    // SetNamedSecurityInfo reads the access list alone, not the
    // descriptor's "protected" flag: the call's own flag keeps the
    // parent's entries out.
    if (rc == ERROR_SUCCESS)
        rc = SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION |
                                       PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr);
    LocalFree(sd);
    return static_cast<long>(rc);
}

long folder_create(const char* path)
{
    return CreateDirectoryA(path, nullptr) ? ERROR_SUCCESS : static_cast<long>(GetLastError());
}

std::uint32_t program_data(char* buf, std::uint32_t size)
{
    char path[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
        return 0;
    const std::size_t n = std::strlen(path);
    if (n >= size)
        return 0;
    std::memcpy(buf, path, n + 1);
    return static_cast<std::uint32_t>(n);
}

svc_handle event_source_open(const char* source)
{
    return reinterpret_cast<svc_handle>(RegisterEventSourceA(nullptr, source));
}

int event_report(svc_handle source, std::uint16_t type, std::uint16_t category,
                 std::uint32_t event_id, const char* text)
{
    const char* strings[1] = {text};
    return ReportEventA(reinterpret_cast<HANDLE>(source), type, category, event_id, nullptr, 1, 0,
                        strings, nullptr)
               ? 0
               : -1;
}

void event_source_close(svc_handle source)
{
    DeregisterEventSource(reinterpret_cast<HANDLE>(source));
}

svc_handle scm_open(std::uint32_t access)
{
    return reinterpret_cast<svc_handle>(OpenSCManagerA(nullptr, nullptr, access));
}

svc_handle service_create(svc_handle scm, const service_create_args* a)
{
    return reinterpret_cast<svc_handle>(CreateServiceA(
        reinterpret_cast<SC_HANDLE>(scm), a->service_name, a->display_name, a->desired_access,
        a->service_type, a->start_type, a->error_control, a->binary_path, a->load_order_group,
        nullptr, a->dependencies, a->account, a->password));
}

int service_set_description(svc_handle service, const char* text)
{
    SERVICE_DESCRIPTIONA d;
    d.lpDescription = const_cast<char*>(text);
    return ChangeServiceConfig2A(reinterpret_cast<SC_HANDLE>(service), SERVICE_CONFIG_DESCRIPTION,
                                 &d)
               ? 0
               : -1;
}

svc_handle service_open(svc_handle scm, const char* name, std::uint32_t access)
{
    return reinterpret_cast<svc_handle>(
        OpenServiceA(reinterpret_cast<SC_HANDLE>(scm), name, access));
}

int service_control(svc_handle service, std::uint32_t control, service_status* s)
{
    SERVICE_STATUS st{};
    BOOL ok = ControlService(reinterpret_cast<SC_HANDLE>(service), control, &st);
    copy_status(st, s);
    return ok ? 0 : -1;
}

int service_query(svc_handle service, service_status* s)
{
    SERVICE_STATUS st{};
    BOOL ok = QueryServiceStatus(reinterpret_cast<SC_HANDLE>(service), &st);
    if (ok)
        copy_status(st, s);
    return ok ? 0 : -1;
}

int service_delete(svc_handle service)
{
    return DeleteService(reinterpret_cast<SC_HANDLE>(service)) ? 0 : -1;
}

void service_close(svc_handle h) { CloseServiceHandle(reinterpret_cast<SC_HANDLE>(h)); }

std::uint32_t module_path(char* buf, std::uint32_t size)
{
    return GetModuleFileNameA(nullptr, buf, size);
}

std::uint32_t last_error() { return GetLastError(); }

std::uint32_t format_message(std::uint32_t flags, std::uint32_t code, char** text)
{
    char* buf = nullptr;
    DWORD n = FormatMessageA(flags, nullptr, code, 0, reinterpret_cast<char*>(&buf), 0, nullptr);
    *text = buf;
    return n;
}

void free_message(char* text) { LocalFree(text); }

}  // namespace

const service_api native_service_api = {
    .has_service_manager = true,
    .print = print_to_stdout,
    .console_events = console_events_enable,
    .start_dispatcher = start_dispatcher,
    .register_handler = register_handler,
    .set_status = set_status,
    .reg_open = reg_open,
    .reg_create = reg_create,
    .reg_query = reg_query,
    .reg_set = reg_set,
    .reg_set_security = reg_set_security,
    .reg_delete_key = reg_delete_key,
    .reg_close = reg_close,
    .file_set_security = file_set_security,
    .folder_create = folder_create,
    .program_data = program_data,
    .event_source_open = event_source_open,
    .event_report = event_report,
    .event_source_close = event_source_close,
    .scm_open = scm_open,
    .service_create = service_create,
    .service_set_description = service_set_description,
    .service_open = service_open,
    .service_control = service_control,
    .service_query = service_query,
    .service_delete = service_delete,
    .service_close = service_close,
    .module_path = module_path,
    .last_error = last_error,
    .format_message = format_message,
    .free_message = free_message,
    .sleep_ms = sleep_ms,
    .event_create = stop_event_create,
    .event_set = stop_event_set,
    .event_wait = stop_event_wait,
    .event_close = stop_event_close,
    .start_run_thread = start_tap_run_thread,
};
