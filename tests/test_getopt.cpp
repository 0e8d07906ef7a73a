// The option reader: what it yields, says and does to the word order, for
// the tap's options and for option tables that exercise the rest. Orders
// and indices are those of the C library's getopt_long.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "run/getopt.h"
#include "run/options.h"

namespace {

const long_option exact_and_longer[] = {
    {"version", arg_none, 'V'}, {"ver", arg_none, 'a'}, {"verbose", arg_none, 'v'}, {nullptr, arg_none, 0}};
const long_option same_result[] = {{"colour", arg_none, 'c'}, {"color", arg_none, 'c'}, {nullptr, arg_none, 0}};
const long_option optional_arg[] = {{"level", arg_optional, 'l'}, {nullptr, arg_none, 0}};

void record(int letter, const char* value, void* ctx)
{
    std::string& s = *static_cast<std::string*>(ctx);
    s += (s.empty() ? "" : " ") + std::string(1, static_cast<char>(letter)) + (value ? std::string("=") + value : "");
}

// "prog -a b" as words (kept alive in *store) and a null-ended argv.
std::vector<const char*> argv_of(const std::string& line, std::vector<std::string>* store)
{
    std::istringstream in(line);
    for (std::string w; in >> w;)
        store->push_back(w);
    std::vector<const char*> argv;
    for (const std::string& w : *store)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

TEST(Getopt, ReadsReordersAndDiagnosesLikeGnu)
{
    const struct {
        const char* words;
        const char* seen;             // letters, "=value" after them; '?' followed by optopt
        const char* err;              // the diagnostics
        int optind = 0;               // after the end; 0: not checked
        const char* order = nullptr;  // the words after reading; null: not checked
        bool posix = false;
        const char* shortopts = tap_short_options;
        const long_option* longopts = tap_long_options;
    } rows[] = {
        {"prog a -v b -c x c", "v c=x", "", 4, "prog -v -c x a b c"}, {"prog -v", "v", "", 2, "prog -v"},
        {"prog -v a -K", "v", "", 2, "prog -v a -K", true}, {"prog a -v", "", "", 1, "prog a -v", true},
        {"prog - -v", "v", "", 2, "prog -v -"}, {"prog -v -- -K x", "v", "", 3, "prog -v -- -K x"},
        {"prog a -- -K", "", "", 2, "prog -- a -K"}, {"prog a -v -- b", "v", "", 3, "prog -v -- a b"},
        {"prog -vK", "v K", ""}, {"prog -vc10.0.0.1:5000 -K", "v c=10.0.0.1:5000 K", ""},
        {"prog -c -v", "c=-v", ""}, {"prog -c --", "c=--", ""}, {"prog -g x -G", "g=x G", ""},
        {"./tap -x -v", "?x v", "./tap: invalid option -- x\n"},
        {"./tap -vx", "v ?x", "./tap: illegal option -- x\n", 2, nullptr, true},
        {"./tap -xv", "?x v", "./tap: invalid option -- x\n", 2},
        {"./tap -K -c", "K ?c", "./tap: option requires an argument -- c\n", 3},
        {"p -:", "?:", "p: invalid option -- :\n"}, {"prog --tzsp=37008", "t=37008", ""},
        {"prog --tzsp 37008", "t=37008", "", 3}, {"prog --tzsp=", "t=", ""},
        {"prog --collector --key", "c=--key", ""}, {"prog --disable-encryption --verbose", "K v", ""},
        {"prog --vers", "V", ""}, {"prog --verb", "v", ""}, {"prog --hel", "h", ""}, {"prog --d", "K", ""},
        {"prog --col=1.2.3.4:5", "c=1.2.3.4:5", ""},
        {"prog --ver -v", "? v", "prog: option `--ver' is ambiguous\n"},
        {"prog --h", "?", "prog: option `--h' is ambiguous\n"}, {"prog --t", "?", "prog: option `--t' is ambiguous\n"},
        {"prog --snaplen 1500 -v", "? v", "prog: unrecognized option `--snaplen'\n", 3, "prog --snaplen -v 1500"},
        {"prog --vers=2", "?V", "prog: option `--version' doesn't allow an argument\n"},
        {"prog --tz", "?t", "prog: option `--tzsp' requires an argument\n"},
        {"prog --nope=1", "?", "prog: unrecognized option `--nope=1'\n"},
        {"prog --ver", "a", "", 0, nullptr, false, "", exact_and_longer},
        {"prog --ve", "?", "prog: option `--ve' is ambiguous\n", 0, nullptr, false, "", exact_and_longer},
        {"prog --col", "c", "", 0, nullptr, false, "", same_result},
        {"p -l x -l3", "l l=3", "", 0, nullptr, false, "l::", optional_arg},
        {"p --level x --level=3", "l l=3", "", 0, nullptr, false, "l::", optional_arg},
        {"p --v", "?- v", "p: invalid option -- -\n", 0, nullptr, false, "v", nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.words);
        std::vector<std::string> store;
        std::vector<const char*> argv = argv_of(r.words, &store);
        const int argc = static_cast<int>(store.size());
        std::FILE* err = std::tmpfile();
        ASSERT_NE(err, nullptr);
        getopt_state st;
        st.posixly_correct = r.posix;
        std::string seen, said, order;
        // Goes on after errors the way a plain getopt loop would.
        for (int c, n = 0; n < 100 && (c = getopt_long_next(st, argc, argv.data(), r.shortopts, r.longopts, err)) != -1;
             ++n) {
            record(c, st.optarg, &seen);
            if (c == '?' && st.optopt)
                seen += static_cast<char>(st.optopt);
        }
        std::rewind(err);
        for (int ch; (ch = std::fgetc(err)) != EOF;)
            said += static_cast<char>(ch);
        std::fclose(err);
        for (int i = 0; i < argc; ++i)
            order += (i ? " " : "") + std::string(argv[i]);
        EXPECT_EQ(seen, r.seen);
        EXPECT_EQ(said, r.err);
        EXPECT_EQ(st.optind, r.optind ? r.optind : st.optind);
        EXPECT_EQ(order, r.order ? r.order : order);
    }
}

TEST(Getopt, ReadingsDoNotShareState)
{
    const char* a[] = {"p", "-v", "--tzsp", "1", nullptr};
    const char* b[] = {"p", "-c", "x", nullptr};
    getopt_state sa, sb;
    EXPECT_EQ(getopt_long_next(sa, 4, a, tap_short_options, tap_long_options, nullptr), 'v');
    EXPECT_EQ(sa.long_index, -1);
    EXPECT_EQ(getopt_long_next(sb, 3, b, tap_short_options, tap_long_options, nullptr), 'c');
    EXPECT_STREQ(sb.optarg, "x");
    EXPECT_EQ(getopt_long_next(sa, 4, a, tap_short_options, tap_long_options, nullptr), 't');
    EXPECT_EQ(sa.long_index, 8);
    EXPECT_EQ(getopt_long_next(sa, 4, a, tap_short_options, tap_long_options, nullptr), -1);
    EXPECT_EQ(getopt_long_next(sb, 3, b, tap_short_options, tap_long_options, nullptr), -1);
    EXPECT_EQ(sb.optarg, nullptr);
}

TEST(TapCommandLine, OptionsArriveInOrderAndTheFirstErrorStopsReading)
{
    const std::tuple<const char*, const char*, int> rows[] = {
        {"p -t 37008 x -i 1 --key=mango", "t=37008 i=1 k=mango", 0}, {"p -v --snaplen 1500 -K", "v", -1},
        {"p -K --ver -v", "K", -1}, {"p -g x -G -s 96", "g=x G s=96", 0}, {"p", "", 0}};
    for (auto [words, expected, rc] : rows) {
        std::vector<std::string> store;
        std::vector<const char*> argv = argv_of(words, &store);
        std::string seen;
        EXPECT_EQ(read_command_line(static_cast<int>(store.size()), argv.data(), false, nullptr, record, &seen), rc);
        EXPECT_EQ(seen, expected);
    }
}
