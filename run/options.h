// The tap's option vocabulary and the two readers that turn words or
// configuration lines into (letter, value) pairs. Both are free of process
// state: what a pair does is up to the sink they are given (handle_option
// in a run, a recorder in tests).
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "support/getopt.h"
#include "support/text.h"  // read_int: how every number in an option is read

extern const char tap_short_options[];
// 18 entries and the terminating null entry.
extern const long_option tap_long_options[19];

// What the readers yield for the options that have a long name only:
// codes above every character, so that no letter can stand for them.
enum : int {
    tap_key_file_option = 256,  // --key-file PATH
    tap_salt_option,            // --salt TEXT
    tap_generate_key_option,    // --generate-key
};

// Receives one option. value is null when the option has none; it is valid
// only during the call. 0 reads on; any other result stops the reading.
using option_sink = int (*)(int letter, const char* value, void* ctx);

// Reads the command line (argv[0] the program path) and hands each option to
// sink before reading the next. Stops at the first error, after the
// diagnostic on err. 0 when the options ended or the sink stopped them, -1
// when an error stopped them.
int read_command_line(int argc, const char** argv, bool posixly_correct, std::FILE* err,
                      option_sink sink, void* ctx);

enum config_line_kind : int {
    config_line_ignored,       // blank, too short, comment, or a long name we do not know
    config_line_option,        // letter and value are set
    config_line_unrecognized,  // text holds the trimmed line for the warning
};

struct config_line {
    config_line_kind kind = config_line_ignored;
    int letter = 0;
    std::optional<std::string> value;
    std::string text;
};

// Interprets one configuration line (its line end may still be attached).
config_line parse_config_line(const char* line);

// Reads a configuration file in text mode and hands each option line to
// sink until it stops the reading; warns about lines it does not
// understand. 0 when the file was read, -1 when it could not be opened
// (nothing is reported then).
int read_config_lines(const char* path, option_sink sink, void* ctx);

// The first mandatory option that is missing, as the message that reports
// it, or null when the run has what it needs. Checked in this order: -A
// with -K, -A without a key, key (or -K), then interface or TZSP port,
// then collector. have_key: -k or --key-file.
const char* missing_option_message(bool disable_encryption, bool have_key, bool have_interface,
                                   unsigned tzsp_port, bool have_collector,
                                   bool authenticated = false);
