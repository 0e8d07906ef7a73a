#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run/getopt.h"
#include "run/options.h"

namespace {

struct reading {
    std::string seen;               // "v c=x ? K": letters in order, '?' for errors
    std::string err;                // everything written to the error stream
    int optind = 0;
    std::vector<std::string> argv;  // the word order after reading
    std::vector<int> optopt;        // optopt after each '?'
};

std::string read_stream(std::FILE* f)
{
    std::string out;
    std::rewind(f);
    int c;
    while ((c = std::fgetc(f)) != EOF)
        out += static_cast<char>(c);
    return out;
}

// Reads every option, going on after errors the way a plain getopt loop
// would, so that recovery is visible too.
reading read_all(std::vector<const char*> words, bool posixly_correct = false,
                 const char* shortopts = tap_short_options,
                 const long_option* longopts = tap_long_options)
{
    reading r;
    std::FILE* err = std::tmpfile();
    getopt_state st;
    st.posixly_correct = posixly_correct;
    int argc = static_cast<int>(words.size());
    words.push_back(nullptr);
    for (int guard = 0; guard < 100; ++guard) {
        int c = getopt_long_next(st, argc, words.data(), shortopts, longopts, err);
        if (c == -1)
            break;
        if (!r.seen.empty())
            r.seen += ' ';
        r.seen += static_cast<char>(c);
        if (c == '?')
            r.optopt.push_back(st.optopt);
        if (st.optarg)
            r.seen += std::string("=") + st.optarg;
    }
    r.optind = st.optind;
    for (int i = 0; i < argc; ++i)
        r.argv.emplace_back(words[i]);
    if (err) {
        r.err = read_stream(err);
        std::fclose(err);
    }
    return r;
}

using words = std::vector<std::string>;

}  // namespace

TEST(Getopt, NonOptionsAreSkippedAndMovedBehindTheOptions)
{
    reading r = read_all({"prog", "a", "-v", "b", "-c", "x", "c"});
    EXPECT_EQ(r.seen, "v c=x");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.argv, (words{"prog", "-v", "-c", "x", "a", "b", "c"}));
    EXPECT_EQ(r.optind, 4);
}

TEST(Getopt, PosixlyCorrectStopsAtTheFirstNonOption)
{
    reading r = read_all({"prog", "-v", "a", "-K"}, true);
    EXPECT_EQ(r.seen, "v");
    EXPECT_EQ(r.optind, 2);
    EXPECT_EQ(r.argv, (words{"prog", "-v", "a", "-K"}));

    EXPECT_EQ(read_all({"prog", "a", "-v"}, true).seen, "");
}

TEST(Getopt, LoneDashIsANonOptionAndDoubleDashEndsOptions)
{
    reading r = read_all({"prog", "-", "-v"});
    EXPECT_EQ(r.seen, "v");
    EXPECT_EQ(r.argv, (words{"prog", "-v", "-"}));
    EXPECT_EQ(r.optind, 2);

    r = read_all({"prog", "-v", "--", "-K", "x"});
    EXPECT_EQ(r.seen, "v");
    EXPECT_EQ(r.optind, 3);

    // A non-option before "--" ends up first among the words left over.
    r = read_all({"prog", "a", "--", "-K"});
    EXPECT_EQ(r.seen, "");
    EXPECT_EQ(r.argv, (words{"prog", "--", "a", "-K"}));
    EXPECT_EQ(r.optind, 2);
}

TEST(Getopt, ShortOptionsGroupAndTakeTheirArgumentFromTheWordOrTheNext)
{
    EXPECT_EQ(read_all({"prog", "-vK"}).seen, "v K");
    EXPECT_EQ(read_all({"prog", "-vc10.0.0.1:5000", "-K"}).seen, "v c=10.0.0.1:5000 K");
    // The next word is taken whatever it begins with.
    EXPECT_EQ(read_all({"prog", "-c", "-v"}).seen, "c=-v");
    EXPECT_EQ(read_all({"prog", "-c", "--"}).seen, "c=--");
    // -g takes an argument like the others, refused later by the handler.
    EXPECT_EQ(read_all({"prog", "-g", "x", "-G"}).seen, "g=x G");
}

TEST(Getopt, ShortOptionErrorsNameTheProgramAndTheLetter)
{
    reading r = read_all({"./tap", "-x", "-v"});
    EXPECT_EQ(r.seen, "? v");
    EXPECT_EQ(r.err, "./tap: invalid option -- x\n");
    EXPECT_EQ(r.optopt, std::vector<int>{'x'});

    EXPECT_EQ(read_all({"./tap", "-vx"}, true).err, "./tap: illegal option -- x\n");

    r = read_all({"./tap", "-K", "-c"});
    EXPECT_EQ(r.seen, "K ?");
    EXPECT_EQ(r.err, "./tap: option requires an argument -- c\n");
    EXPECT_EQ(r.optopt, std::vector<int>{'c'});

    // ':' is never an option letter even though the string contains it.
    EXPECT_EQ(read_all({"p", "-:"}).err, "p: invalid option -- :\n");
}

TEST(Getopt, LongOptionsTakeTheirArgumentAfterEqualsOrAsTheNextWord)
{
    EXPECT_EQ(read_all({"prog", "--tzsp=37008"}).seen, "t=37008");
    EXPECT_EQ(read_all({"prog", "--tzsp", "37008"}).seen, "t=37008");
    EXPECT_EQ(read_all({"prog", "--tzsp="}).seen, "t=");
    EXPECT_EQ(read_all({"prog", "--collector", "--key"}).seen, "c=--key");
    EXPECT_EQ(read_all({"prog", "--disable-encryption", "--verbose"}).seen, "K v");
}

TEST(Getopt, LongNamesMayBeShortenedToAUniquePrefix)
{
    EXPECT_EQ(read_all({"prog", "--vers"}).seen, "V");
    EXPECT_EQ(read_all({"prog", "--verb"}).seen, "v");
    EXPECT_EQ(read_all({"prog", "--hel"}).seen, "h");
    EXPECT_EQ(read_all({"prog", "--d"}).seen, "K");
    EXPECT_EQ(read_all({"prog", "--col=1.2.3.4:5"}).seen, "c=1.2.3.4:5");

    for (const char* word : {"--ver", "--h", "--t"}) {
        reading r = read_all({"prog", word, "-v"});
        EXPECT_EQ(r.seen, "? v") << word;
        EXPECT_EQ(r.err, std::string("prog: option `") + word + "' is ambiguous\n");
        EXPECT_EQ(r.optopt, std::vector<int>{0});
    }
}

TEST(Getopt, ExactNameWinsOverLongerNamesItPrefixes)
{
    const long_option table[] = {
        {"version", arg_none, 'V'},
        {"ver", arg_none, 'a'},
        {"verbose", arg_none, 'v'},
        {nullptr, arg_none, 0},
    };
    EXPECT_EQ(read_all({"prog", "--ver"}, false, "", table).seen, "a");
    EXPECT_EQ(read_all({"prog", "--ve"}, false, "", table).seen, "?");

    // Two prefixes of entries that yield the same thing are not ambiguous.
    const long_option same[] = {
        {"colour", arg_none, 'c'},
        {"color", arg_none, 'c'},
        {nullptr, arg_none, 0},
    };
    EXPECT_EQ(read_all({"prog", "--col"}, false, "", same).seen, "c");
}

TEST(Getopt, LongOptionErrors)
{
    reading r = read_all({"prog", "--snaplen", "1500", "-v"});
    EXPECT_EQ(r.seen, "? v");
    EXPECT_EQ(r.err, "prog: unrecognized option `--snaplen'\n");

    r = read_all({"prog", "--vers=2"});
    EXPECT_EQ(r.seen, "?");
    EXPECT_EQ(r.err, "prog: option `--version' doesn't allow an argument\n");
    EXPECT_EQ(r.optopt, std::vector<int>{'V'});

    r = read_all({"prog", "--tz"});
    EXPECT_EQ(r.seen, "?");
    EXPECT_EQ(r.err, "prog: option `--tzsp' requires an argument\n");
    EXPECT_EQ(r.optopt, std::vector<int>{'t'});

    EXPECT_EQ(read_all({"prog", "--nope=1"}).err, "prog: unrecognized option `--nope=1'\n");
}

TEST(Getopt, OptionalArgumentsComeOnlyWithTheirOwnWord)
{
    const long_option table[] = {{"level", arg_optional, 'l'}, {nullptr, arg_none, 0}};
    EXPECT_EQ(read_all({"p", "-l", "x", "-l3"}, false, "l::", table).seen, "l l=3");
    EXPECT_EQ(read_all({"p", "--level", "x", "--level=3"}, false, "l::", table).seen, "l l=3");
}

TEST(Getopt, WithoutLongOptionsDoubleDashWordsAreShortOptions)
{
    reading r = read_all({"p", "--v"}, false, "v", nullptr);
    EXPECT_EQ(r.seen, "? v");
    EXPECT_EQ(r.err, "p: invalid option -- -\n");
}

TEST(Getopt, ReadingsDoNotShareState)
{
    const char* a[] = {"p", "-v", "-K", nullptr};
    const char* b[] = {"p", "-c", "x", nullptr};
    getopt_state sa, sb;
    EXPECT_EQ(getopt_long_next(sa, 3, a, tap_short_options, tap_long_options, nullptr), 'v');
    EXPECT_EQ(getopt_long_next(sb, 3, b, tap_short_options, tap_long_options, nullptr), 'c');
    EXPECT_STREQ(sb.optarg, "x");
    EXPECT_EQ(getopt_long_next(sa, 3, a, tap_short_options, tap_long_options, nullptr), 'K');
    EXPECT_EQ(sa.optarg, nullptr);
    EXPECT_EQ(getopt_long_next(sa, 3, a, tap_short_options, tap_long_options, nullptr), -1);
    EXPECT_EQ(getopt_long_next(sb, 3, b, tap_short_options, tap_long_options, nullptr), -1);
}

// ---- the tap's command line ------------------------------------------------

namespace {

void record(int letter, const char* value, void* ctx)
{
    auto* out = static_cast<std::string*>(ctx);
    if (!out->empty())
        *out += ' ';
    *out += static_cast<char>(letter);
    if (value)
        *out += std::string("=") + value;
}

std::string read_tap_line(std::vector<const char*> words, int* result = nullptr)
{
    std::string seen;
    int argc = static_cast<int>(words.size());
    words.push_back(nullptr);
    int rc = read_command_line(argc, words.data(), false, nullptr, record, &seen);
    if (result)
        *result = rc;
    return seen;
}

}  // namespace

TEST(TapCommandLine, OptionsArriveInOrderAndTheFirstErrorStopsReading)
{
    int rc = 1;
    EXPECT_EQ(read_tap_line({"p", "-t", "37008", "x", "-i", "1", "--key=mango"}, &rc),
              "t=37008 i=1 k=mango");
    EXPECT_EQ(rc, 0);

    EXPECT_EQ(read_tap_line({"p", "-v", "--snaplen", "1500", "-K"}, &rc), "v");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(read_tap_line({"p", "-K", "--ver", "-v"}, &rc), "K");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(read_tap_line({"p", "-g", "x", "-G", "-s", "96"}, &rc), "g=x G s=96");
    EXPECT_EQ(read_tap_line({"p"}, &rc), "");
    EXPECT_EQ(rc, 0);
}
