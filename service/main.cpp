#include "platform/platform.h"
#include "service/launcher.h"

// Ended through process_exit so that no static destructor runs while the
// run thread, which a service stop does not wait for, may still be working.
int main(int argc, char** argv) { process_exit(launcher_main(argc, argv)); }
