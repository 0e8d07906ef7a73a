// Why a tap run may end before its loop, and what each end means for the
// process: the one place that decides the process status of a run.
#pragma once

// Why a run ends before its loop; none while it goes on. run_end_rule_of
// holds what each means for the process.
enum class run_end : int {
    none,               // nothing ended it early: the run forwards until stopped
    help,               // -h: the usage and the interface listing shown
    version,            // -V: the version shown
    refused,            // a mandatory option missing, a key or -A that cannot be set up: usage shown
    no_interface,       // no interface can be chosen, or the capture library cannot be loaded
    no_socket_library,  // the socket library cannot be started
    no_socket,          // the UDP socket cannot be created
};

struct run_end_rule {
    int status;               // the process status
    bool ends_process;        // the run thread ends the process at once with status
    bool announces_shutdown;  // "Shutting down..." comes before that end
};

// The one place that decides how a run's end ends the process.
run_end_rule run_end_rule_of(run_end end);
