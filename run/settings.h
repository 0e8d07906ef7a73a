// Reading the options of a run into a tap_options record.
//
// Every function here that returns int returns 0 to go on, 1 when the
// options are done (help or version printed) and -1 when they were refused
// (message printed); when not 0, o.stopped_by says why, and run_end_rule_of
// what that means for the process. None of them ends the process.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run/tap_options.h"

// args[0] is the program path; the launcher's mode word is already gone.
// Reads a configuration file or the command line, then check_settings().
int parse_settings(tap_options& o, std::vector<std::string>& args);

// Applies one option. arg is null when the option has no value.
int handle_option(tap_options& o, int letter, const char* arg);

// Reads each option line of the file at path until one stops the reading.
int read_config_file(tap_options& o, const char* path);

// 0 when the mandatory options are present; -1 after the usage otherwise.
int check_settings(tap_options& o);

// The -i option: *chosen becomes the interface that text names (null: the
// default one), or nothing when the text asks for the listing; in wait
// mode it returns only once the interface has appeared. Prints the listing
// and the skipped interfaces. 0 when chosen or listed; -1 after saying why
// when no interface can be chosen or the capture library cannot be loaded.
int may_choose_interface(const char* text, std::optional<std::string>* chosen);

// The usage, then the interface listing. 0 when both were shown; -1 when
// the listing could not be had (may_choose_interface said why).
int print_usage();
void print_version();

// The usage after a refusal whose message is out: -1, o.stopped_by
// refused (no_interface when the listing cannot be had).
int refuse_with_usage(tap_options& o);
