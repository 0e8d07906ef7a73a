// The process entry's work: install, remove, console run, service run.
#pragma once

// Returns the process's exit status, as run_end_rule_of decides it for a
// run that was not ended early: 0 on every path. A run that ends the
// process itself (see tap_run_thread) never returns here.
int launcher_main(int argc, char** argv);
