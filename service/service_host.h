// Console and service runs, installation and removal of the service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "service/service_api.h"

inline constexpr const char* service_name = "vantry_remote";

// Where the service manager keeps the keys of its services, below
// HKEY_LOCAL_MACHINE.
inline constexpr const char* services_key = "SYSTEM\\CurrentControlSet\\Services\\";

// The key of the service called name that holds its stored options
// (the value AppParameters).
std::string parameters_key_path(const char* name);

// The argument string is built in a buffer of this many bytes.
inline constexpr std::size_t argument_string_capacity = 8192;
inline constexpr std::size_t event_message_capacity = 4096;

// 1 for a console run (set by the launcher before anything else runs): no
// service status is reported and no event is written.
extern int console_mode;

// Next check-point of a pending status report; never reset.
extern std::uint32_t status_checkpoint;

// The status record given whole to every report, and the handle the
// control handler was registered under (null before that).
extern service_status current_status;
extern svc_handle status_handle;

// Joins args into out as join_arguments does (support/argument_string.h:
// TABs between, a word that is empty or holds a blank, TAB or quote in
// quotes). 0 on success; -1 when the result would exceed
// argument_string_capacity - 1 characters (out then holds nothing and
// *length the length the string would have).
int join_argument_string(unsigned count, char* const* args, std::string& out,
                         std::size_t* length);

// What every value of the encryption key is shown as.
inline constexpr const char* key_mask = "********";

// The argument string (as join_argument_string builds it) for showing to
// anyone who can read the event log or the service list: the words as the
// run splits them, joined again, with every value that the run's option
// reader takes for the key replaced by key_mask ("-k VALUE", "-kVALUE",
// "-vkVALUE", "--key VALUE", "--ke=VALUE", ...). posixly_correct as for
// the run's reading.
std::string shown_argument_string(const std::string& joined, bool posixly_correct);

// Formats text and writes it with service_os->print.
void service_printf(const char* format, ...) VANTRY_PRINTF(1, 2);

// Starts the run thread with the joined arguments (args may be null when
// count is 0) and returns once the stop event is set, or earlier when a
// status report, the stop event or the thread cannot be had.
void run_until_stopped(unsigned count, char** args);

// The service's entry, given to the dispatcher. argv[0] is the name under
// which it was started; start parameters after it are ignored.
void service_main(unsigned argc, char** argv);

void service_control_handler(std::uint32_t control);

// One information event "vantry_remote: <text>"; nothing in console mode.
void report_service_event(const char* text);

// The same, as an event of the trace level's type: an error event for
// trace_level_error, a warning event for trace_level_warning, information
// otherwise.
void report_service_event_of(int level, const char* text);

// The service's log file: every trace line while the service runs, in
// %ProgramData%\Vantry\vantry_remote.log, renamed vantry_remote.log.1
// at log_file_limit bytes.
inline constexpr const char* log_folder_name = "Vantry";
inline constexpr const char* log_file_name = "vantry_remote.log";
inline constexpr std::uint64_t log_file_limit = 4 * 1024 * 1024;

// The folder's access list when the service makes it: SYSTEM and
// Administrators everything, Users read.
inline constexpr const char* log_folder_sddl =
    "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Sends every trace line to the log file and each warning and error to the
// event log as well, from now until service_log_stop. Without a
// %ProgramData% folder or a log file that can be opened there (said in an
// event), the events still go out.
void service_log_start();
void service_log_stop();

// The event text for text: "<service name>: <text>", cut to fit
// event_message_capacity with a visible marker.
std::string event_message(const char* text);

// Installs the service from the launcher's arguments ("/i" second; it is
// replaced by "/c" in place) and prints what happened.
void install_service(int argc, char** argv);

// Stops the service if it runs and removes it, printing what happened.
void remove_service();

// "<system text> (0x<code>)" for the calling thread's last error, or the
// empty text when there is none or it would not fit. Static buffer,
// overwritten by the next call.
const char* last_error_text();
