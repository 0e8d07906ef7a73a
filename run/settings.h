// Reading the options of a run into settings.
#pragma once

#include <optional>
#include <string>
#include <vector>

// args[0] is the program path; the launcher's mode word is already gone.
// Reads a configuration file or the command line, then check_settings().
void parse_settings(std::vector<std::string>& args);

// Applies one option. arg is null when the option has no value. May end
// the process (help, version, key failure, unknown interface).
void handle_option(int letter, const char* arg);

void read_config_file(const char* path);

// The -i option: the interface that text names (null: the default one),
// or nothing when the text asks for the listing; in wait mode it returns
// only once the interface has appeared. Prints the listing and the
// skipped interfaces; when no interface can be chosen, or the capture
// library cannot be loaded, says why and ends the process with status -1.
std::optional<std::string> must_choose_interface(const char* text);

// Returns only when the mandatory options are present.
void check_settings();

[[noreturn]] void print_usage();
[[noreturn]] void print_version();
