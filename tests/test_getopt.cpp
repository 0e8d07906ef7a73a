// The option reader (orders and indices are those of the C library's
// getopt_long) over the tap's options and tables that exercise the rest,
// and the tap's reader, which stops at the first error.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "run/getopt.h"
#include "run/options.h"
#include "run/tap_run.h"

namespace {

const long_option exact_and_longer[] = {
    {"version", arg_none, 'V'}, {"ver", arg_none, 'a'}, {"verbose", arg_none, 'v'}, {nullptr, arg_none, 0}};
const long_option same_result[] = {{"colour", arg_none, 'c'}, {"color", arg_none, 'c'}, {nullptr, arg_none, 0}};
const long_option optional_arg[] = {{"level", arg_optional, 'l'}, {nullptr, arg_none, 0}};

// The words of line, split at blanks and TABs as the run thread splits them.
std::vector<std::string> words_of(std::string line)
{
    std::replace(line.begin(), line.end(), ' ', '\t');
    return split_arguments(line.c_str());
}

void record(int letter, const char* value, void* ctx)
{
    std::string& s = *static_cast<std::string*>(ctx);
    s += (s.empty() ? "" : " ") + std::string(1, static_cast<char>(letter)) + (value ? "=" + std::string(value) : "");
}

}  // namespace

TEST(Getopt, ReadsReordersAndDiagnosesLikeGnu)
{
    const struct {
        const char* words;
        const char* seen;  // letters or long names, "=value"; '?' followed by optopt
        const char* err;   // the diagnostics
        int optind = 0;    // after the end; 0: not checked
        const char* order = nullptr;  // the words after reading; null: not checked
        bool posix = false;
        const char* shortopts = tap_short_options;
        const long_option* longopts = tap_long_options;
    } rows[] = {
        {"prog a -v b -c x c", "v c=x", "", 4, "prog -v -c x a b c"},
        {"prog -v a -K", "v", "", 2, "prog -v a -K", true}, {"prog a -v", "", "", 1, "prog a -v", true},
        {"prog - -v", "v", "", 2, "prog -v -"}, {"prog -v -- -K x", "v", "", 3, "prog -v -- -K x"},
        {"prog a -- -K", "", "", 2, "prog -- a -K"}, {"prog a -v -- b", "v", "", 3, "prog -v -- a b"},
        {"prog -vK -vc10.0.0.1:5000 -c -v -c -- -g x -G --tzsp=37008 --tzsp 37008 --tzsp= --collector --key --hel --d "
         "--vers --verb --col=1:5",
         "v K v c=10.0.0.1:5000 c=-v c=-- g=x G --tzsp=37008 --tzsp=37008 --tzsp= --collector=--key --help "
         "--disable-encryption --version --verbose --collector=1:5", "", 21},
        {"./tap -x -v -xv -: -K -c", "?x v ?x v ?: K ?c",
         "./tap: invalid option -- x\n./tap: invalid option -- x\n./tap: invalid option -- :\n"
         "./tap: option requires an argument -- c\n", 7},
        {"./tap -vx", "v ?x", "./tap: illegal option -- x\n", 2, nullptr, true},
        {"prog --ver --h --t --snaplen 1500 --vers=2 --nope=1 --tz", "? ? ? ? ?V ? ?t",
         "prog: option `--ver' is ambiguous\nprog: option `--h' is ambiguous\nprog: option `--t' is ambiguous\n"
         "prog: unrecognized option `--snaplen'\nprog: option `--version' doesn't allow an argument\n"
         "prog: unrecognized option `--nope=1'\nprog: option `--tzsp' requires an argument\n",
         8, "prog --ver --h --t --snaplen --vers=2 --nope=1 --tz 1500"},
        {"prog --ver --ve", "--ver ?", "prog: option `--ve' is ambiguous\n", 0, nullptr, false, "", exact_and_longer},
        {"prog --col", "--colour", "", 0, nullptr, false, "", same_result},
        {"p -l x -l3 --level x --level=3", "l l=3 --level --level=3", "", 0, nullptr, false, "l::", optional_arg},
        {"p --v", "?- v", "p: invalid option -- -\n", 0, nullptr, false, "v", nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.words);
        const std::vector<std::string> words = words_of(r.words);
        const int argc = static_cast<int>(words.size());
        std::vector<const char*> argv;
        for (const std::string& w : words)
            argv.push_back(w.c_str());
        argv.push_back(nullptr);
        std::vector<const char*> twin_argv = argv, tap_argv = argv;
        // The twin reads the same words alongside, silently: readings share no state.
        getopt_state st, twin;
        st.posixly_correct = twin.posixly_correct = r.posix;
        std::string seen, order, before_error;
        testing::internal::CaptureStderr();
        for (int c, n = 0;
             n < 100 && (c = getopt_long_next(st, argc, argv.data(), r.shortopts, r.longopts, stderr)) != -1; ++n) {
            EXPECT_EQ(getopt_long_next(twin, argc, twin_argv.data(), r.shortopts, r.longopts, nullptr), c);
            EXPECT_EQ(std::string(twin.optarg ? twin.optarg : "-"), st.optarg ? st.optarg : "-");
            if (seen.find('?') == std::string::npos && c != '?')
                record(c, st.optarg, &before_error);
            seen += (seen.empty() ? "" : " ") +
                    (st.long_index >= 0 ? "--" + std::string(r.longopts[st.long_index].name) : std::string(1, c)) +
                    (c == '?' && st.optopt ? std::string(1, st.optopt) : "") +
                    (st.optarg ? "=" + std::string(st.optarg) : "");
        }
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(getopt_long_next(twin, argc, twin_argv.data(), r.shortopts, r.longopts, nullptr), -1);
        EXPECT_EQ(twin.optind, st.optind);
        for (int i = 0; i < argc; ++i)
            order += (i ? " " : "") + std::string(argv[i]);
        EXPECT_EQ(seen, r.seen);
        EXPECT_EQ(said, r.err);
        EXPECT_EQ(st.optind, r.optind ? r.optind : st.optind);
        EXPECT_EQ(order, r.order ? r.order : order);
        if (r.longopts == tap_long_options) {  // the tap's reader: the same options up to the first error
            std::string sunk;
            EXPECT_EQ(read_command_line(argc, tap_argv.data(), r.posix, nullptr, record, &sunk), said.empty() ? 0 : -1);
            EXPECT_EQ(sunk, before_error);
        }
    }
}
