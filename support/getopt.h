// A portable, reentrant reader of command-line options with the GNU
// getopt_long conventions: short options from a letter string, long options
// from a table, permutation of non-options, "--" and POSIXLY_CORRECT.
//
// Everything a reading needs lives in getopt_state, so several readings can
// run side by side and tests can drive the reader directly. The platform's
// own getopt is never used: it differs between C libraries (and mingw's
// messages differ from glibc's).
#pragma once

#include <cstdio>

enum long_option_arg : int {
    arg_none = 0,
    arg_required = 1,
    arg_optional = 2,  // only after "=" for long options, only in the same word for short ones
};

struct long_option {
    const char* name;  // null name ends the table
    long_option_arg has_arg;
    int letter;  // what the reader yields for this option
};

struct getopt_state {
    // Set by the caller before the first call.
    bool posixly_correct = false;  // stop at the first non-option; POSIX message texts

    // Results of the last call.
    int optind = 1;                // next word to read; after the end: first non-option
    const char* optarg = nullptr;  // argument of the option just returned, or null
    int optopt = 0;                // letter of the option that caused '?' (0 for long names)
    int long_index = -1;           // table index of the long option just returned, or -1

    // Reading position, private to the reader.
    bool started = false;
    const char* next_char = nullptr;  // rest of a word of grouped short options
    int first_nonopt = 1;             // [first_nonopt, last_nonopt): skipped non-options
    int last_nonopt = 1;
};

// Reads the next option from argv[st.optind...] (argv[0] is the program path,
// used in diagnostics). Returns the option's letter; '?' after writing one
// diagnostic line to err (err may be null for silence); -1 when the options
// have ended. Non-options are moved behind the options as they are passed,
// so argv's pointers are reordered but the texts are never written.
// shortopts: letters, each followed by ':' when it takes an argument or
// "::" when it takes an optional one. longopts may be null.
int getopt_long_next(getopt_state& st, int argc, const char** argv, const char* shortopts,
                     const long_option* longopts, std::FILE* err);
