// Placeholder until the capture loop lands.
#include "forward/forwarding.h"
void run_interface_capture() {}
