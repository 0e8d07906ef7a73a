// Placeholder launcher: console run only, until the service host lands.
#include "service/launcher.h"

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "run/run_settings.h"
#include "run/tap_run.h"

int launcher_main(int argc, char** argv)
{
    std::string joined;
    for (int i = 0; i < argc; ++i) {
        if (i)
            joined += '\t';
        joined += argv[i];
    }
    tap_stop_event = stop_event_create();
    char* copy = new char[joined.size() + 1];
    std::memcpy(copy, joined.c_str(), joined.size() + 1);
    thread_start(tap_run_thread, copy);
    stop_event_wait(tap_stop_event);
    stop_event_close(tap_stop_event);
    return 0;
}
