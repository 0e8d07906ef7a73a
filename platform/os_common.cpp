// What the process calls look like on every system.
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

void process_exit(int status)
{
    if (process_exit_hook)
        process_exit_hook(status);
    std::fflush(nullptr);
    std::_Exit(status);
}
