// The operating-system calls of the service host, as one record of function
// pointers.
//
// The service and installer logic is written against this record only, so
// it builds everywhere and its units run against a recording fake. On
// Windows the record holds thin wrappers of the real Win32 calls
// (service_api_win.cpp); elsewhere there is no Service Control Manager and
// the service, registry and event-log entries simply fail
// (service_api_posix.cpp).
#pragma once

#include <cstdint>

struct stop_event;

// SC_HANDLE, SERVICE_STATUS_HANDLE, HKEY or event-source HANDLE; null when
// the call failed.
using svc_handle = void*;

// The Win32 numbers the logic passes and compares. service_api_win.cpp
// checks each one against the system headers at compile time.
namespace win {
inline constexpr std::uint32_t service_win32_own_process = 0x10;
inline constexpr std::uint32_t service_stopped = 1;
inline constexpr std::uint32_t service_start_pending = 2;
inline constexpr std::uint32_t service_stop_pending = 3;
inline constexpr std::uint32_t service_running = 4;
inline constexpr std::uint32_t service_accept_stop = 1;
inline constexpr std::uint32_t service_control_stop = 1;
inline constexpr std::uint32_t service_control_shutdown = 5;
inline constexpr std::uint32_t service_auto_start = 2;
inline constexpr std::uint32_t service_error_normal = 1;
inline constexpr std::uint32_t service_all_access = 0xF01FF;
inline constexpr std::uint32_t sc_manager_all_access = 0xF003F;

inline constexpr std::uint32_t reg_sz = 1;
inline constexpr std::uint32_t reg_expand_sz = 2;
inline constexpr std::uint32_t reg_dword = 4;
inline constexpr std::uint32_t key_read = 0x20019;
inline constexpr std::uint32_t key_write = 0x20006;
inline constexpr std::uint32_t key_all_access = 0xF003F;
inline constexpr std::uint32_t reg_option_non_volatile = 0;

inline constexpr std::uint16_t eventlog_error_type = 1;
inline constexpr std::uint16_t eventlog_warning_type = 2;
inline constexpr std::uint16_t eventlog_information_type = 4;
inline constexpr std::uint32_t format_message_flags = 0x3100;  // allocate | system | argument array

inline constexpr long error_success = 0;
inline constexpr long error_file_not_found = 2;
inline constexpr long error_already_exists = 183;
inline constexpr std::uint32_t error_call_not_implemented = 120;
}  // namespace win

// Same fields and order as SERVICE_STATUS.
struct service_status {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint = 0;
};

// Everything CreateServiceA is given.
struct service_create_args {
    const char* service_name;
    const char* display_name;
    std::uint32_t desired_access;
    std::uint32_t service_type;
    std::uint32_t start_type;
    std::uint32_t error_control;
    const char* binary_path;
    const char* load_order_group;  // null: none
    const char* dependencies;      // double-NUL-terminated list
    const char* account;           // null: LocalSystem
    const char* password;
};

struct service_api {
    // False where no Service Control Manager exists: the launcher then
    // explains how to run the tap without one instead of installing.
    bool has_service_manager;

    // Plain text to standard output, written at once.
    void (*print)(const char* text);

    // Whether console control events stop the run (console_events_enable
    // on Windows; POSIX signals reach console runs only: nothing to do).
    void (*console_events)(bool enabled);

    // Service side. start_dispatcher blocks while the service runs; 0 once
    // the dispatcher has returned, -1 when it could not be reached.
    int (*start_dispatcher)(const char* name, void (*entry)(unsigned argc, char** argv));
    svc_handle (*register_handler)(const char* name, void (*handler)(std::uint32_t control));
    // 0 when the status was accepted, -1 otherwise.
    int (*set_status)(svc_handle status_handle, const service_status* status);

    // Registry below HKEY_LOCAL_MACHINE. Each returns the Win32 error code,
    // win::error_success (0) on success.
    long (*reg_open)(const char* path, std::uint32_t access, svc_handle* key);
    long (*reg_create)(const char* path, const char* key_class, std::uint32_t options,
                       std::uint32_t access, svc_handle* key);
    // size: the capacity of data on entry, the value's size on return.
    long (*reg_query)(svc_handle key, const char* name, std::uint32_t* type, void* data,
                      std::uint32_t* size);
    long (*reg_set)(svc_handle key, const char* name, std::uint32_t type, const void* data,
                    std::uint32_t size);
    // Replaces the key's access list with the one the SDDL text describes
    // (the key must be open with WRITE_DAC access).
    long (*reg_set_security)(svc_handle key, const char* sddl);
    long (*reg_delete_key)(const char* path);
    void (*reg_close)(svc_handle key);

    // Replaces the access list of the file or folder at path with the one
    // the SDDL text describes, cutting off what it inherits from its
    // parent; a folder passes the entries marked for inheritance on to
    // what it holds. The Win32 error code, win::error_success (0) on
    // success.
    long (*file_set_security)(const char* path, const char* sddl);

    // Creates the folder at path (its parent must exist). The Win32 error
    // code: win::error_success (0) when it was made,
    // win::error_already_exists when something of that name is there.
    long (*folder_create)(const char* path);
    // The folder of application data common to all users
    // (%ProgramData%), found whatever the service's environment holds. Its
    // length; 0 when there is none or it does not fit size bytes.
    std::uint32_t (*program_data)(char* buf, std::uint32_t size);

    // Event log of the local computer.
    svc_handle (*event_source_open)(const char* source);
    // Writes one event with text as its one insertion string. 0 / -1.
    int (*event_report)(svc_handle source, std::uint16_t type, std::uint16_t category,
                        std::uint32_t event_id, const char* text);
    void (*event_source_close)(svc_handle source);

    // Service management. The handle results are null on failure; the int
    // results are 0 on success and -1 on failure (see last_error).
    svc_handle (*scm_open)(std::uint32_t access);
    svc_handle (*service_create)(svc_handle scm, const service_create_args* args);
    int (*service_set_description)(svc_handle service, const char* text);
    svc_handle (*service_open)(svc_handle scm, const char* name, std::uint32_t access);
    int (*service_control)(svc_handle service, std::uint32_t control, service_status* status);
    int (*service_query)(svc_handle service, service_status* status);
    int (*service_delete)(svc_handle service);
    void (*service_close)(svc_handle handle);

    // Kernel. module_path returns the length written, 0 on failure, and
    // size when the path was cut to fit. format_message returns the number
    // of characters of the system's text for code and hands over a buffer
    // that free_message releases (*text is null when it returns 0).
    std::uint32_t (*module_path)(char* buf, std::uint32_t size);
    std::uint32_t (*last_error)();
    std::uint32_t (*format_message)(std::uint32_t flags, std::uint32_t code, char** text);
    void (*free_message)(char* text);
    void (*sleep_ms)(unsigned ms);

    // The stop event and the run thread. start_run_thread takes ownership
    // of argument_string (new[]) and passes it to tap_run_thread; 0 when
    // the thread runs, -1 when it could not be started (the string is then
    // freed).
    stop_event* (*event_create)();
    void (*event_set)(stop_event* e);
    void (*event_wait)(stop_event* e);
    void (*event_close)(stop_event* e);
    int (*start_run_thread)(char* argument_string);
};

// The calls of this platform.
extern const service_api native_service_api;

// print and start_run_thread of both platforms: the text to standard
// output, flushed; tap_run_thread on a new thread.
void print_to_stdout(const char* text);
int start_tap_run_thread(char* argument_string);

// The record in use: &native_service_api unless a test put a fake in.
extern const service_api* service_os;
