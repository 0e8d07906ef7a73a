// The process entry's work: install, remove, console run, service run.
#pragma once

// Returns the process's exit status: 0 on every path. A run that ends the
// process itself (see tap_run_thread) never returns here.
int launcher_main(int argc, char** argv);
