#include "run/run_end.h"

run_end_rule run_end_rule_of(run_end end)
{
    switch (end) {
    case run_end::none:
        // The launcher returns once the run has ended (a stop, or a loop
        // that could not go on): the process ends with 0.
        return {0, false, false};
    case run_end::help:
    case run_end::refused:
        // The usage text is the answer, a refusal included: scripts have
        // always seen 0 here, after the usage's closing "Shutting down...".
        return {0, true, true};
    case run_end::version:
        return {0, true, false};
    case run_end::no_interface:
    case run_end::no_socket_library:
        // Nothing the user asked for can run on this machine as it is.
        return {-1, true, false};
    case run_end::no_socket:
        // The run stops at that step and ends as a stopped run does.
        return {0, false, false};
    }
    return {0, false, false};
}
