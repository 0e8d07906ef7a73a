// The process entry's work: the first argument chooses install, remove,
// console run or help; with none the process becomes the service.
#include "service/launcher.h"

#include <cctype>

#include "service/service_host.h"

namespace {

bool same_word(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

void print_help()
{
    const char* n = service_name;
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
                   "or under systemd with the unit shipped in packaging/:\n"
                   "  install %s.service to /etc/systemd/system/ and\n"
                   "  %s.conf (one option per line) to /etc/%s/, then\n"
                   "  systemctl daemon-reload && systemctl enable --now %s\n",
                   n, n, n, n, n);
}

}  // namespace

int launcher_main(int argc, char** argv)
{
    // Started without arguments by the Service Control Manager; argv[0]
    // of the dispatcher's call is the service's name.
    if (argc < 2) {
        if (!service_os->has_service_manager) {
            print_no_service_manager();
            return 0;
        }
        service_printf("\nNOTE:\nUnder your version of Windows, %s is started as a service.\n",
                       service_name);
        service_printf("Please open the services control panel to start/stop %s,\n",
                       service_name);
        service_printf("or type %s /h to see all the available options.\n", service_name);
        // Windows sends the logoff and shutdown console events to services
        // too; only the service manager may stop this one.
        service_os->console_events(false);
        if (service_os->start_dispatcher(service_name, service_main) != 0) {
            const char* failed = "StartServiceControlDispatcher failed!";
            service_printf("\n%s\n", failed);
            report_service_event(failed);
        }
        return 0;
    }

    const char* mode = argv[1];
    if (same_word(mode, "/i") || same_word(mode, "/r")) {
        if (!service_os->has_service_manager)
            print_no_service_manager();
        else if (same_word(mode, "/i"))
            install_service(argc, argv);
        else
            remove_service();
        return 0;
    }
    if (same_word(mode, "/c")) {
        console_mode = 1;
        service_os->console_events(true);
        run_until_stopped(static_cast<unsigned>(argc), argv);
        return 0;
    }
    if (!same_word(mode, "/h"))
        service_printf("\nUnrecognized option: %s\n", mode);
    print_help();
    return 0;
}
