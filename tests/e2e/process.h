// Starting the built programs from end-to-end tests.
//
// A child is started with an argument vector, optional environment
// additions and, when the environment variable VANTRY_RUN_PREFIX is set
// (e.g. "wine"), with that command in front (split at spaces). Its standard
// output and standard error go to files in a private temporary folder, read
// back as strings. Only the child started here is ever signalled, by its PID.
#pragma once

#include <string>
#include <vector>

struct child_process {
    int pid = -1;               // -1: not running (never started or reaped)
    int exit_status = -1;       // exit code once reaped normally
    int term_signal = 0;        // signal number if it died from a signal
    bool exited = false;        // reaped (exit_status or term_signal valid)
    std::string out_path;       // captured standard output
    std::string err_path;       // captured standard error
    std::string dir;            // private temporary folder
};

struct process_options {
    std::vector<std::string> env;   // "NAME=value" additions
    bool use_run_prefix = true;     // honour VANTRY_RUN_PREFIX
    std::string stdin_path;         // empty: /dev/null
};

// True when VANTRY_RUN_PREFIX asks for the programs to run through a
// prefix such as Wine.
bool e2e_under_wine();

// Path of one of the built programs ("vantry_remote", "vantry_collector"):
// the Windows .exe from VANTRY_WIN_BIN_DIR under Wine, else the native one.
std::string e2e_program_path(const char* name);

// Starts program with args (args exclude argv[0]).
// Returns 0 and fills *child, or -1 if it could not be started.
int process_start(child_process* child, const std::string& program,
                  const std::vector<std::string>& args,
                  const process_options& options = {});

// Waits up to timeout_ms for the child to end.
// Returns 0 once it has ended (status in *child), 1 on timeout, -1 on error.
int process_wait(child_process* child, int timeout_ms);

// Sends sig to the child if it is still running.
// Returns 0 when sent, -1 if the child is not running or kill failed.
int process_signal(child_process* child, int sig);

// Waits up to timeout_ms; on timeout sends SIGKILL and reaps.
// Returns 0 if it ended by itself, 1 if it had to be killed, -1 on error.
int process_finish(child_process* child, int timeout_ms);

// Current contents of the captured streams (may be read while it runs).
std::string process_stdout(const child_process& child);
std::string process_stderr(const child_process& child);

// Polls the captured standard output until it contains needle.
// Returns true if found within timeout_ms.
bool process_wait_output(const child_process& child, const std::string& needle,
                         int timeout_ms);

// Kills a still-running child and removes its temporary folder.
void process_cleanup(child_process* child);

// RAII holder: kills and cleans up the child when it goes out of scope.
struct scoped_child {
    child_process proc;
    scoped_child() = default;
    scoped_child(const scoped_child&) = delete;
    scoped_child& operator=(const scoped_child&) = delete;
    ~scoped_child() { process_cleanup(&proc); }
};
