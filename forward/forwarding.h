// The two forwarding loops. Each returns when settings.stop_requested is
// set or on its own failure, after logging its closing lines.
#pragma once

void run_interface_capture();
void run_tzsp_receiver();
