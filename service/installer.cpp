// Installation and removal of the service, and the text of the last error.
//
// Installation stops only where nothing has been created yet (arguments,
// own path, service manager, the access lists of the program's folder, the
// service itself); once the service exists
// every registry step is reported on its own and the next one still tried.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "service/service_host.h"
#include "support/text.h"

namespace {

constexpr std::size_t module_path_capacity = 512;
constexpr const char* key_class = "LocalSystem";
// Full access for SYSTEM (the service) and Administrators, nothing for
// anyone else, and nothing inherited from the Services key, which every
// user may read: AppParameters holds the key.
constexpr const char* parameters_key_sddl = "D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";
// The service runs the program in its folder as LocalSystem, and with it
// the libraries Windows finds beside it: only SYSTEM and Administrators
// may change anything there; Users may read and run (0x1200a9: read,
// execute, synchronize). Whatever the folder (Program Files, a folder
// given to the installer, a zip unpacked anywhere), nothing is inherited.
constexpr const char* program_folder_sddl =
    "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// The sample configuration beside the program may hold the key, and the
// key file its sample names is beside it too: SYSTEM and Administrators
// only.
constexpr const char* secret_sddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr const char* secret_names[] = {"vantry_remote.conf", "vantry_remote.key"};

// The event-log source's key.
std::string event_log_key()
{
    return std::string(services_key) + "EventLog\\Application\\" + service_name;
}

// Creates the key if need be. 0 and the open key in *keep, or closed again
// when keep is null; the Win32 error otherwise.
long create_key(const std::string& path, svc_handle* keep = nullptr)
{
    svc_handle key = nullptr;
    long rc = service_os->reg_create(path.c_str(), key_class, win::reg_option_non_volatile,
                                     win::key_all_access, &key);
    if (keep)
        *keep = key;
    else if (rc == win::error_success)
        service_os->reg_close(key);
    return rc;
}

// The service manager, or null after printing why not.
svc_handle open_service_manager()
{
    svc_handle scm = service_os->scm_open(win::sc_manager_all_access);
    if (!scm)
        service_printf("OpenSCManager failed - %s\n", last_error_text());
    return scm;
}

// Opens the key for writing, sets one value and closes the key. 0 when the
// value was written, the Win32 error of the open or the write otherwise.
long write_value(const std::string& path, const char* name, std::uint32_t type, const void* data,
                 std::uint32_t size)
{
    svc_handle key = nullptr;
    long rc = service_os->reg_open(path.c_str(), win::key_write, &key);
    if (rc == win::error_success) {
        rc = service_os->reg_set(key, name, type, data, size);
        service_os->reg_close(key);
    }
    return rc;
}

long write_text(const std::string& path, const char* name, const char* text)
{
    return write_value(path, name, win::reg_sz, text,
                       static_cast<std::uint32_t>(std::strlen(text) + 1));
}

// Whether folder is the one named by the environment variable name, or
// (within) one in it.
bool is_system_folder(const std::string& folder, const char* name, bool within)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        return false;
    const std::string_view v(value);
    if (equals_nocase(folder, v))
        return true;
    return within && folder.size() > v.size() && folder[v.size()] == '\\' &&
           equals_nocase(std::string_view(folder).substr(0, v.size()), v);
}

// The folder of the program at exe_path, or the empty text when that is a
// folder of Windows' own (a drive's root, the Windows folder or one in
// it, a Program Files folder itself), whose access lists are not ours to
// replace.
std::string own_folder(const std::string& exe_path)
{
    const std::size_t slash = exe_path.find_last_of("\\/");
    if (slash == std::string::npos)
        return {};
    const std::string folder = exe_path.substr(0, slash);
    const bool root = folder.size() <= 2 && folder.find(':') != std::string::npos;
    if (root || is_system_folder(folder, "SystemRoot", true) ||
        is_system_folder(folder, "ProgramFiles", false) ||
        is_system_folder(folder, "ProgramFiles(x86)", false) ||
        is_system_folder(folder, "ProgramW6432", false))
        return {};
    return folder;
}

// Gives the program's folder program_folder_sddl and each of secret_names
// in it that is there secret_sddl. 0 when all hold; -1 after
// saying why not, and the service must not be installed: anyone who may
// write in the folder could replace what it runs as LocalSystem.
int secure_program_folder(const char* exe_path)
{
    const std::string folder = own_folder(exe_path);
    if (folder.empty()) {
        service_printf("%s is not in a folder of its own. The service runs it as LocalSystem, so "
                       "/i lets only administrators change its folder, and never changes the "
                       "access of Windows' own folders: put it in a folder of its own (for example "
                       "C:\\Program Files\\Vantry) and install from there.\n",
                       exe_path);
        return -1;
    }
    long rc = service_os->file_set_security(folder.c_str(), program_folder_sddl);
    if (rc != win::error_success) {
        service_printf("Could not restrict access to the folder %s (error 0x%lx): users could "
                       "replace the program the service runs as LocalSystem. Install as an "
                       "administrator, from a folder on an NTFS disk.\n",
                       folder.c_str(), static_cast<unsigned long>(rc));
        return -1;
    }
    for (const char* name : secret_names) {
        const std::string path = folder + "\\" + name;
        rc = service_os->file_set_security(path.c_str(), secret_sddl);
        if (rc != win::error_success && rc != win::error_file_not_found) {
            service_printf("Could not restrict access to %s (error 0x%lx): every user could read "
                           "the key in it.\n",
                           path.c_str(), static_cast<unsigned long>(rc));
            return -1;
        }
    }
    return 0;
}

// The registry steps that follow a successful CreateServiceA.
void write_registry(const char* exe_path, const std::string& stored, const char* description)
{
    std::string service_key = std::string(services_key) + service_name;
    if (write_text(service_key, "Description", description) != win::error_success) {
        service_printf("Unable to set service description.\n");
        service_os->print(description);
        service_os->print(service_key.c_str());
    }

    std::string event_key = event_log_key();
    if (create_key(event_key) != win::error_success)
        service_printf("The EventLog subkey could not be created.\n");
    if (write_text(event_key, "EventMessageFile", exe_path) != win::error_success)
        service_printf("The Message File value could not be assigned.\n");
    std::uint32_t types =
        win::eventlog_information_type | win::eventlog_warning_type | win::eventlog_error_type;
    if (write_value(event_key, "TypesSupported", win::reg_dword, &types, sizeof types) !=
        win::error_success)
        service_printf("The Types Supported value could not be assigned.\n");

    std::string parameters_key = parameters_key_path(service_name);
    svc_handle key = nullptr;
    if (create_key(parameters_key, &key) != win::error_success) {
        service_printf("Could not create Parameters subkey.\n");
        return;
    }
    // Restricted before the options are written, so they are never readable.
    long rc = service_os->reg_set_security(key, parameters_key_sddl);
    service_os->reg_close(key);
    if (rc != win::error_success) {
        // Not stored at all rather than stored readable: the service then
        // has no options and its run stops at once with "Missing encryption
        // key -k", plain to see, while a readable key gives no sign.
        // Deleting the Parameters key also removes options left from an
        // earlier installation.
        service_os->reg_delete_key(parameters_key.c_str());
        service_printf("Could not restrict access to the Parameters subkey (error 0x%lx).\n"
                       "The options were not saved, as every user could read the key in "
                       "them: remove the service and install it again.\n",
                       static_cast<unsigned long>(rc));
        return;
    }
    if (write_text(parameters_key, "AppParameters", stored.c_str()) != win::error_success)
        service_printf("Could not save AppParameters value.\n");
}

}  // namespace

void install_service(int argc, char** argv)
{
    // The stored string is checked before anything exists, so an argument
    // list that cannot be stored whole installs nothing.
    if (argc >= 2)
        argv[1] = const_cast<char*>("/c");
    std::string stored;
    std::size_t length = 0;
    if (join_argument_string(static_cast<unsigned>(argc), argv, stored, &length) != 0) {
        service_printf("Arguments too long: %zu characters, at most %zu\n", length,
                       argument_string_capacity - 1);
        service_printf("%s not installed.\n", service_name);
        return;
    }

    char exe_path[module_path_capacity];
    std::uint32_t n = service_os->module_path(exe_path, sizeof exe_path);
    // A path cut to fit the buffer would name another file.
    if (n == 0 || n >= sizeof exe_path) {
        service_printf("Unable to install %s - %s\n", service_name, last_error_text());
        return;
    }

    svc_handle scm = open_service_manager();
    if (!scm)
        return;
    // After the service manager, which only administrators may open: the
    // access lists are theirs to change.
    if (secure_program_folder(exe_path) != 0) {
        service_os->service_close(scm);
        service_printf("%s not installed.\n", service_name);
        return;
    }

    // The service manager splits an unquoted command line at blanks and
    // would try "C:\Program" first.
    std::string command_line = exe_path;
    if (command_line.find(' ') != std::string::npos)
        command_line = "\"" + command_line + "\"";
    // Also the description in the registry.
    const std::string display_name = std::string(service_name) + " for Windows";
    service_create_args create{};
    create.service_name = service_name;
    create.display_name = display_name.c_str();
    create.desired_access = win::service_all_access;
    create.service_type = win::service_win32_own_process;
    create.start_type = win::service_auto_start;
    create.error_control = win::service_error_normal;
    create.binary_path = command_line.c_str();
    create.load_order_group = nullptr;
    create.dependencies = "\0";
    create.account = nullptr;
    create.password = nullptr;
    svc_handle service = service_os->service_create(scm, &create);
    if (!service) {
        service_printf("CreateService %s failed - %s\n", service_name, last_error_text());
        service_os->service_close(scm);
        return;
    }
    service_printf("%s installed.\n", service_name);

    // Overwritten by the registry's "Description" below; kept because the
    // service manager caches the description it was last given. Every user
    // may read it, so the key is masked. The service's environment is not
    // this console's: the reading without POSIXLY_CORRECT, which finds
    // every key the stricter one finds and more, decides.
    service_os->service_set_description(service, shown_argument_string(stored, false).c_str());
    service_os->service_close(service);

    write_registry(exe_path, stored, display_name.c_str());
    service_os->service_close(scm);
}

void remove_service()
{
    svc_handle scm = open_service_manager();
    if (!scm)
        return;
    svc_handle service = service_os->service_open(scm, service_name, win::service_all_access);
    if (!service) {
        service_printf("OpenService %s failed - %s\n", service_name, last_error_text());
        service_os->service_close(scm);
        return;
    }

    service_status status;
    if (service_os->service_control(service, win::service_control_stop, &status) == 0) {
        service_printf("Stopping %s.", service_name);
        service_os->sleep_ms(1000);
        while (service_os->service_query(service, &status) == 0 &&
               status.current_state == win::service_stop_pending) {
            service_printf(".");
            service_os->sleep_ms(1000);
        }
        if (status.current_state == win::service_stopped)
            service_printf("\n%s stopped.\n", service_name);
        else
            service_printf("\n%s failed to stop.\n", service_name);
    }

    if (service_os->service_delete(service) == 0) {
        service_printf("%s removed.\n", service_name);
        service_os->reg_delete_key(event_log_key().c_str());
    } else {
        service_printf("DeleteService failed - %s\n", last_error_text());
    }
    service_os->service_close(service);
    service_os->service_close(scm);
}

const char* last_error_text()
{
    static char text[256];
    std::uint32_t code = service_os->last_error();
    char* system_text = nullptr;
    std::uint32_t n = service_os->format_message(win::format_message_flags, code, &system_text);
    text[0] = '\0';
    if (n != 0 && system_text && n + 14 <= sizeof text) {
        // System texts end in a line end, which the messages do not want.
        std::size_t len = n;
        while (len > 0 && (system_text[len - 1] == '\n' || system_text[len - 1] == '\r'))
            --len;
        std::snprintf(text, sizeof text, "%.*s (0x%x)", static_cast<int>(len), system_text,
                      static_cast<unsigned>(code));
    }
    if (system_text)
        service_os->free_message(system_text);
    return text;
}
