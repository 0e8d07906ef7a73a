// The process entry's work: the first argument chooses install, remove,
// console run or help; with none the process becomes the service.
#include "service/launcher.h"

#include <cctype>

#include "run/run_end.h"
#include "service/service_host.h"

namespace {

// Whether a and b are the same word but for letter case.
bool same_word(const char* a, const char* b)
{
    for (; std::tolower(static_cast<unsigned char>(*a)) ==
           std::tolower(static_cast<unsigned char>(*b));
         ++a, ++b)
        if (!*a)
            return true;
    return false;
}

// The launcher's help, after the word it did not recognize if any.
void print_help(const char* unrecognized)
{
    const char* n = service_name;
    if (unrecognized)
        service_printf("\nUnrecognized option: %s\n", unrecognized);
    service_printf("Available options:\n");
    service_printf("/i <service name> [options] - Install %s as service\n", n);
    service_printf("/c [options]                - Run %s on a console\n", n);
    service_printf("/r <service name>           - Deinstall the service\n\n");
    service_printf("Example:\nInstall %s as a service: '%s /i my_Strael -i 0 -n 192.168.0.1:2055'\n"
                   "Remove the %s service:   '%s /r my_Strael'\n\n",
                   n, n, n, n);
    service_printf("Notes:\n1. Type '%s /c -h' to see all options\n"
                   "1. In order to reinstall a service with new options\n"
                   "   it is necessary to first remove the service, then add it\n"
                   "   again with the new options.\n"
                   "2. Services are started/stopped using the Services\n"
                   "   control panel item.\n"
                   "3. You can install the %s service multiple times\n"
                   "   as long as you use different service names.\n\n",
                   n, n);
}

// Where there is no Service Control Manager the tap runs in the
// foreground under the system's own service manager instead.
void print_no_service_manager()
{
    const char* n = service_name;
    service_printf("\nInstalling and running %s as a service is a Windows feature.\n", n);
    service_printf("On this system run the tap on a console with '%s /c [options]',\n"
                   "or under systemd with the unit %s.service that the package installs:\n"
                   "  put the options in /etc/%s/%s.conf (one per line), then\n"
                   "  systemctl enable --now %s\n",
                   n, n, n, n, n);
}

// Hands the process to the service dispatcher, which calls service_main.
void run_as_service()
{
    service_printf("\nNOTE:\nUnder your version of Windows, %s is started as a service.\n",
                   service_name);
    service_printf("Please open the services control panel to start/stop %s,\n", service_name);
    service_printf("or type %s /h to see all the available options.\n", service_name);
    // Windows sends the logoff and shutdown console events to services
    // too; only the service manager may stop this one.
    service_os->console_events(false);
    if (service_os->start_dispatcher(service_name, service_main) != 0) {
        const char* failed = "StartServiceControlDispatcher failed!";
        service_printf("\n%s\n", failed);
        report_service_event(failed);
    }
}

void run_on_console(int argc, char** argv)
{
    console_mode = 1;
    service_os->console_events(true);
    run_until_stopped(static_cast<unsigned>(argc), argv);
}

}  // namespace

int launcher_main(int argc, char** argv)
{
    // No argument: started by the Service Control Manager.
    const char* mode = argc >= 2 ? argv[1] : nullptr;
    auto mode_is = [mode](const char* word) { return mode && same_word(mode, word); };
    if ((!mode || mode_is("/i") || mode_is("/r")) && !service_os->has_service_manager)
        print_no_service_manager();
    else if (!mode)
        run_as_service();
    else if (mode_is("/i"))
        install_service(argc, argv);
    else if (mode_is("/r"))
        remove_service();
    else if (mode_is("/c"))
        run_on_console(argc, argv);
    else
        print_help(mode_is("/h") ? nullptr : mode);
    return run_end_rule_of(run_end::none).status;
}
