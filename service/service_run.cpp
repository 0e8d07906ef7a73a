// Console and service runs: status reports, the stop event, the run thread
// and the service's events.
//
// A service lives START_PENDING (check-point 1, from service_main) ->
// START_PENDING (check-point 2, run_until_stopped) -> RUNNING -> on a stop
// control STOP_PENDING -> STOPPED. A console run reports nothing.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "support/argument_string.h"
#include "support/getopt.h"
#include "support/trace_log.h"
#include "run/options.h"
#include "run/tap_run.h"
#include "service/service_host.h"

int console_mode = 0;
std::uint32_t status_checkpoint = 1;
service_status current_status;
svc_handle status_handle = nullptr;
const service_api* service_os = &native_service_api;

namespace {

constexpr std::uint32_t event_id_information = 0x40000001;
constexpr std::uint32_t event_id_warning = 0x80000002;
constexpr std::uint32_t event_id_error = 0xC0000003;
constexpr std::uint32_t start_wait_hint_ms = 3000;

// The log file, written by whichever thread logs, one line at a time.
std::mutex log_lock;
trace_file log_file;

// The limit of the log file. Test builds take the DWORD TestLogLimit
// beside AppParameters when it is there, so that the Wine test sees the
// file rotate within a few lines (the service manager hands a service an
// environment of its own).
std::uint64_t log_limit()
{
#if defined(VANTRY_TEST_HOOKS)
    svc_handle key = nullptr;
    if (service_os->reg_open(parameters_key_path(service_name).c_str(), win::key_read, &key) ==
        win::error_success) {
        std::uint32_t value = 0;
        std::uint32_t type = 0;
        std::uint32_t size = sizeof value;
        const long rc = service_os->reg_query(key, "TestLogLimit", &type, &value, &size);
        service_os->reg_close(key);
        if (rc == win::error_success && type == win::reg_dword && size == sizeof value)
            return value;
    }
#endif
    return log_file_limit;
}

void service_log_line(int level, const char* line, const char* message)
{
    const std::lock_guard<std::mutex> hold(log_lock);
    trace_file_write(log_file, line);
    if (level <= trace_level_warning)
        report_service_event_of(level, message);
}

// Opens the log file in its folder, made with log_folder_sddl when missing.
// 0; -1 after a warning event that says what failed.
int open_log_file(const char* program_data)
{
    const std::string folder = std::string(program_data) + "\\" + log_folder_name;
    const std::string path = folder + "\\" + log_file_name;
    char msg[600];
    long rc = service_os->folder_create(folder.c_str());
    if (rc == win::error_success) {
        rc = service_os->file_set_security(folder.c_str(), log_folder_sddl);
        if (rc != win::error_success) {
            std::snprintf(msg, sizeof msg,
                          "Could not restrict access to the log folder %s (error 0x%lx): set it "
                          "by hand to SYSTEM and Administrators full control, Users read",
                          folder.c_str(), static_cast<unsigned long>(rc));
            report_service_event_of(trace_level_warning, msg);
        }
    } else if (rc != win::error_already_exists) {
        std::snprintf(msg, sizeof msg,
                      "No log file: the folder %s cannot be created (error 0x%lx); warnings and "
                      "errors still go to the event log",
                      folder.c_str(), static_cast<unsigned long>(rc));
        report_service_event_of(trace_level_warning, msg);
        return -1;
    }
    const std::lock_guard<std::mutex> hold(log_lock);
    if (trace_file_open(log_file, path.c_str(), log_limit()) == 0)
        return 0;
    std::snprintf(msg, sizeof msg,
                  "No log file: %s cannot be opened for writing; warnings and errors still go to "
                  "the event log",
                  path.c_str());
    report_service_event_of(trace_level_warning, msg);
    return -1;
}

// Fills the status record and hands it to the Service Control Manager. A
// pending report takes the next check-point. 0 when it was accepted; -1
// otherwise, and the refusal is written to the event log.
int report_status(std::uint32_t state, std::uint32_t accepted, bool pending,
                  std::uint32_t wait_hint)
{
    current_status.service_type = win::service_win32_own_process;
    current_status.service_specific_exit_code = 0;
    current_status.current_state = state;
    current_status.controls_accepted = accepted;
    current_status.win32_exit_code = 0;
    current_status.check_point = pending ? status_checkpoint++ : 0;
    current_status.wait_hint = wait_hint;
    if (service_os->set_status(status_handle, &current_status) == 0)
        return 0;
    report_service_event("SetServiceStatus");
    return -1;
}

// Prints text as a line and writes it to the event log.
void complain(const char* text)
{
    service_printf("%s\n", text);
    report_service_event(text);
}

// Takes the stop event back and closes it. In service mode the run thread
// may outlive the wait, and the control handler may be setting the event
// just now: neither may signal a handle value that has been closed and
// reused, hence the hand-over (platform.h).
void close_stop_event(stop_event* e)
{
    stop_event_close_shared(tap_stop_event, e, service_os->event_close, service_os->sleep_ms);
}

// The stored argument string of the service called name: the text value
// AppParameters as stored (an expandable text is not expanded), up to its
// first NUL and at most argument_string_capacity characters; empty when
// there is none.
std::string read_stored_arguments(const char* name)
{
    svc_handle key = nullptr;
    if (service_os->reg_open(parameters_key_path(name).c_str(), win::key_read, &key) !=
        win::error_success)
        return {};
    char buf[argument_string_capacity + 1];
    std::uint32_t type = 0;
    std::uint32_t size = argument_string_capacity;
    long rc = service_os->reg_query(key, "AppParameters", &type, buf, &size);
    service_os->reg_close(key);
    if (rc != win::error_success || (type != win::reg_sz && type != win::reg_expand_sz))
        return {};
    // A value need not carry its terminator.
    buf[size < argument_string_capacity ? size : argument_string_capacity] = '\0';
    return buf;
}

}  // namespace

std::string parameters_key_path(const char* name)
{
    return std::string(services_key) + name + "\\Parameters";
}

void service_printf(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    // Measured first, then written in full: no text is cut.
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    if (n >= 0) {
        std::string text(static_cast<std::size_t>(n) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        service_os->print(text.c_str());
    }
    va_end(again);
}

int join_argument_string(unsigned count, char* const* args, std::string& out,
                         std::size_t* length)
{
    out = join_arguments(std::vector<std::string>(args, args + count));
    if (length)
        *length = out.size();
    // Refused whole rather than cut: a cut option list would run a tap
    // nobody asked for.
    if (out.size() > argument_string_capacity - 1) {
        out.clear();
        return -1;
    }
    return 0;
}

std::string shown_argument_string(const std::string& joined, bool posixly_correct)
{
    // The words and options exactly as the run will read them.
    std::vector<std::string> words = split_arguments(joined.c_str());
    std::vector<std::string> kept = words;
    drop_mode_word(kept);
    const std::size_t dropped = words.size() - kept.size();
    // Pointers into words, so that every value found leads back to its word.
    std::vector<const char*> argv;
    if (!kept.empty()) {
        argv.push_back(words[0].c_str());
        for (std::size_t i = 1 + dropped; i < words.size(); ++i)
            argv.push_back(words[i].c_str());
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    std::vector<std::pair<std::size_t, std::size_t>> keys;  // word, offset of the value
    getopt_state st;
    st.posixly_correct = posixly_correct;
    // Each reading takes at least one letter or word.
    for (std::size_t guard = 0; argc > 1 && guard <= joined.size(); ++guard) {
        int letter = getopt_long_next(st, argc, argv.data(), tap_short_options, tap_long_options,
                                      nullptr);
        if (letter == -1)
            break;
        // Read on past an error: the run stops there, but a key further on
        // is still the user's key. "--k" and "--ke", which also begin
        // "--key-file", are refused as ambiguous; what follows them was
        // meant as a key all the same.
        const char* word = argv[st.optind - 1];
        if (letter == '?' && st.optind < argc && (std::strcmp(word, "--k") == 0 || std::strcmp(word, "--ke") == 0))
            st.optarg = argv[st.optind];
        else if (letter != 'k' || !st.optarg)
            continue;
        const auto at = reinterpret_cast<std::uintptr_t>(st.optarg);
        for (std::size_t i = 0; i < words.size(); ++i) {
            const auto begin = reinterpret_cast<std::uintptr_t>(words[i].c_str());
            if (at >= begin && at <= begin + words[i].size())
                keys.emplace_back(i, at - begin);
        }
    }
    for (const auto& [word, offset] : keys) {
        words[word].resize(offset);
        words[word] += key_mask;
    }

    return join_arguments(words);
}

std::string event_message(const char* text)
{
    static constexpr char cut_marker[] = " [message cut]";
    std::string msg = service_name;
    msg += ": ";
    msg += text;
    if (msg.size() > event_message_capacity - 1) {
        msg.resize(event_message_capacity - sizeof cut_marker);
        msg += cut_marker;
    }
    return msg;
}

void report_service_event(const char* text) { report_service_event_of(trace_level_normal, text); }

void report_service_event_of(int level, const char* text)
{
    if (console_mode)
        return;
    svc_handle source = service_os->event_source_open(service_name);
    if (!source)
        return;
    std::string msg = event_message(text);
    const std::uint16_t type = level <= trace_level_error     ? win::eventlog_error_type
                               : level == trace_level_warning ? win::eventlog_warning_type
                                                              : win::eventlog_information_type;
    const std::uint32_t id = level <= trace_level_error     ? event_id_error
                             : level == trace_level_warning ? event_id_warning
                                                            : event_id_information;
    service_os->event_report(source, type, 0, id, msg.c_str());
    service_os->event_source_close(source);
}

void service_log_start()
{
    // Windows always has the folder; elsewhere (the unit tests) there is no
    // log file, only the events.
    char program_data[300];
    if (service_os->program_data(program_data, sizeof program_data) != 0)
        open_log_file(program_data);
    trace_sink.store(service_log_line);
}

void service_log_stop()
{
    trace_sink.store(nullptr);
    // A run thread that outlives the service finds the file closed.
    const std::lock_guard<std::mutex> hold(log_lock);
    trace_file_close(log_file);
}

void run_until_stopped(unsigned count, char** args)
{
    if (!args)
        count = 0;
    if (!console_mode &&
        report_status(win::service_start_pending, 0, true, start_wait_hint_ms) != 0)
        return;
    stop_event* e = service_os->event_create();
    if (!e)
        return;
    tap_stop_event.store(e);
    // Stop controls are accepted from this report on, so the stop event
    // exists whenever one arrives.
    if (!console_mode &&
        report_status(win::service_running, win::service_accept_stop, false, 0) != 0) {
        close_stop_event(e);
        return;
    }

    std::string joined;
    std::size_t length = 0;
    if (join_argument_string(count, args, joined, &length) != 0) {
        char msg[96];
        std::snprintf(msg, sizeof msg, "Arguments too long: %zu characters, at most %zu", length,
                      argument_string_capacity - 1);
        complain(msg);
        close_stop_event(e);
        return;
    }
    if (!args)
        service_printf("Could not create AppParameters string.\n");
    // The event log is open to every user; the run's own reading of the
    // options decides what a key is.
    report_service_event(
        shown_argument_string(joined, std::getenv("POSIXLY_CORRECT") != nullptr).c_str());

    char* copy = new (std::nothrow) char[joined.size() + 1];
    if (copy)
        std::memcpy(copy, joined.c_str(), joined.size() + 1);
    if (!copy || service_os->start_run_thread(copy) != 0) {
        complain("Could not start the run thread.");
        close_stop_event(e);
        return;
    }
    service_os->event_wait(e);
    close_stop_event(e);
}

void service_main(unsigned argc, char** argv)
{
    const char* name = argc > 0 && argv && argv[0] ? argv[0] : service_name;
    status_handle = service_os->register_handler(service_name, service_control_handler);
    if (!status_handle)
        return;

    service_log_start();
    if (report_status(win::service_start_pending, 0, true, start_wait_hint_ms) == 0) {
        // Start parameters after argv[0] are ignored: the service runs with
        // what was stored at installation only.
        std::vector<std::string> words = split_arguments(read_stored_arguments(name).c_str());
        std::vector<char*> pointers;
        pointers.reserve(words.size());
        for (std::string& w : words)
            pointers.push_back(w.data());
        run_until_stopped(static_cast<unsigned>(pointers.size()),
                          pointers.empty() ? nullptr : pointers.data());
    }

    service_log_stop();
    report_status(win::service_stopped, win::service_accept_stop, false, 0);
}

void service_control_handler(std::uint32_t control)
{
    if (control == win::service_control_stop || control == win::service_control_shutdown) {
        if (!console_mode)
            report_status(win::service_stop_pending, win::service_accept_stop, true, 0);
        stop_event_set_shared(tap_stop_event, service_os->event_set);
        return;
    }
    if (console_mode)
        return;
    std::uint32_t state = current_status.current_state;
    bool settled = state == win::service_running || state == win::service_stopped;
    report_status(state, state == win::service_start_pending ? 0 : win::service_accept_stop,
                       !settled, 0);
}

void print_to_stdout(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int start_tap_run_thread(char* argument_string)
{
    if (thread_start(tap_run_thread, argument_string) == 0)
        return 0;
    delete[] argument_string;
    return -1;
}
