#include "support/getopt.h"

#include <algorithm>
#include <cstring>

namespace {

bool is_non_option(const char* word) { return word[0] != '-' || word[1] == '\0'; }

// Moves the skipped non-options [first_nonopt, last_nonopt) behind the
// options read since, [last_nonopt, optind), keeping both runs in order.
void move_non_options_back(getopt_state& st, const char** argv)
{
    std::rotate(argv + st.first_nonopt, argv + st.last_nonopt, argv + st.optind);
    st.first_nonopt += st.optind - st.last_nonopt;
    st.last_nonopt = st.optind;
}

void diagnose(std::FILE* err, const char* format, const char* prog, const char* what)
{
    if (err)
        std::fprintf(err, format, prog, what);
}

void diagnose_letter(std::FILE* err, const char* format, const char* prog, int letter)
{
    if (err)
        std::fprintf(err, format, prog, letter);
}

// "--name[=value]" at argv[optind]; next_char points after the dashes.
int read_long_option(getopt_state& st, int argc, const char** argv, const long_option* longopts,
                     std::FILE* err)
{
    const char* name = st.next_char;
    const char* name_end = name;
    while (*name_end && *name_end != '=')
        ++name_end;
    std::size_t name_len = static_cast<std::size_t>(name_end - name);

    // An exact name wins over longer names it is a prefix of. Two prefix
    // matches are ambiguous only when they would yield different results.
    int found = -1;
    bool ambiguous = false;
    for (int i = 0; longopts[i].name; ++i) {
        if (std::strncmp(longopts[i].name, name, name_len) != 0)
            continue;
        if (std::strlen(longopts[i].name) == name_len) {
            found = i;
            ambiguous = false;
            break;
        }
        if (found < 0)
            found = i;
        else if (longopts[i].has_arg != longopts[found].has_arg ||
                 longopts[i].letter != longopts[found].letter)
            ambiguous = true;
    }

    const char* prog = argv[0];
    st.next_char = nullptr;
    ++st.optind;

    if (ambiguous) {
        diagnose(err, "%s: option `--%s' is ambiguous\n", prog, name);
        st.optopt = 0;
        return '?';
    }
    if (found < 0) {
        diagnose(err, "%s: unrecognized option `--%s'\n", prog, name);
        st.optopt = 0;
        return '?';
    }

    const long_option& opt = longopts[found];
    if (*name_end) {
        if (opt.has_arg == arg_none) {
            diagnose(err, "%s: option `--%s' doesn't allow an argument\n", prog, opt.name);
            st.optopt = opt.letter;
            return '?';
        }
        st.optarg = name_end + 1;
    } else if (opt.has_arg == arg_required) {
        if (st.optind >= argc) {
            diagnose(err, "%s: option `--%s' requires an argument\n", prog, opt.name);
            st.optopt = opt.letter;
            return '?';
        }
        st.optarg = argv[st.optind++];
    }
    st.long_index = found;
    return opt.letter;
}

int read_short_option(getopt_state& st, int argc, const char** argv, const char* shortopts,
                      std::FILE* err)
{
    int letter = static_cast<unsigned char>(*st.next_char++);
    const char* entry = letter == ':' ? nullptr : std::strchr(shortopts, letter);
    bool word_done = *st.next_char == '\0';
    if (word_done)
        ++st.optind;

    if (!entry) {
        diagnose_letter(err,
                        st.posixly_correct ? "%s: illegal option -- %c\n"
                                           : "%s: invalid option -- %c\n",
                        argv[0], letter);
        st.optopt = letter;
        if (word_done)
            st.next_char = nullptr;
        return '?';
    }
    if (entry[1] != ':') {
        if (word_done)
            st.next_char = nullptr;
        return letter;
    }

    bool optional = entry[2] == ':';
    if (!word_done) {
        // The rest of the word is the argument, whatever it holds.
        st.optarg = st.next_char;
        ++st.optind;
    } else if (!optional) {
        if (st.optind >= argc) {
            diagnose_letter(err, "%s: option requires an argument -- %c\n", argv[0], letter);
            st.optopt = letter;
            st.next_char = nullptr;
            return '?';
        }
        // The whole next word, even when it begins with '-'.
        st.optarg = argv[st.optind++];
    }
    st.next_char = nullptr;
    return letter;
}

}  // namespace

int getopt_long_next(getopt_state& st, int argc, const char** argv, const char* shortopts,
                     const long_option* longopts, std::FILE* err)
{
    st.optarg = nullptr;
    st.long_index = -1;
    if (!st.started) {
        st.started = true;
        st.next_char = nullptr;
        st.first_nonopt = st.last_nonopt = st.optind;
    }

    if (!st.next_char || !*st.next_char) {
        // The caller may have moved optind back; never rotate past it.
        st.last_nonopt = std::min(st.last_nonopt, st.optind);
        st.first_nonopt = std::min(st.first_nonopt, st.optind);

        if (!st.posixly_correct) {
            if (st.first_nonopt != st.last_nonopt && st.last_nonopt != st.optind)
                move_non_options_back(st, argv);
            else if (st.last_nonopt != st.optind)
                st.first_nonopt = st.optind;
            while (st.optind < argc && is_non_option(argv[st.optind]))
                ++st.optind;
            st.last_nonopt = st.optind;
        }

        if (st.optind < argc && std::strcmp(argv[st.optind], "--") == 0) {
            ++st.optind;
            if (st.first_nonopt != st.last_nonopt && st.last_nonopt != st.optind)
                move_non_options_back(st, argv);
            else if (st.first_nonopt == st.last_nonopt)
                st.first_nonopt = st.optind;
            st.last_nonopt = argc;
            st.optind = argc;
        }

        if (st.optind >= argc) {
            // Leave optind on the first non-option, as callers expect.
            if (st.first_nonopt != st.last_nonopt)
                st.optind = st.first_nonopt;
            return -1;
        }
        // Only reached with POSIXLY_CORRECT: the first non-option ends reading.
        if (is_non_option(argv[st.optind]))
            return -1;

        const char* word = argv[st.optind];
        bool long_form = longopts && word[1] == '-';
        st.next_char = word + (long_form ? 2 : 1);
        if (long_form)
            return read_long_option(st, argc, argv, longopts, err);
    }
    return read_short_option(st, argc, argv, shortopts, err);
}
