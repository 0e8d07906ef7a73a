// The run layer: options, numbers, the interface choice over a fake capture library, the run thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <climits>
#include <optional>
#include <thread>
#include <tuple>
#if !defined(_WIN32)
#include <sched.h>
#include <unistd.h>
#endif
#include "run/options.h"
#include "run/settings.h"
#include "run/tap_run.h"
#include "support/interface_discovery.h"
#include "support/interface_source.h"
#include "tests/test_support.h"

namespace {
// Two names with one result (first in the table), an exact name after longer ones that differ, an optional argument.
const long_option others[] = {{"colour", arg_none, 'c'}, {"color", arg_none, 'c'}, {"version", arg_none, 'V'},
                              {"verbose", arg_none, 'v'}, {"ver", arg_none, 'a'}, {"level", arg_optional, 'l'}, {}};

using iface_list = std::vector<capture_iface>;
const iface_list nics = {{"npf_A", "Intel(R) Ethernet Connection"}, {"npf_B", "Realtek Wireless Adapter"}};
const iface_list skips = {{"w1", "WAN Miniport (IP)"}, {"a", "Ethernet A"}, {"w2", "NdisWan Adapter"},
                          {"w3", "Generic DIALUP link"}, {"b", "wan miniport lookalike"}};
const iface_list names = {{"br0", "bridge over veth1"}, {"veth1", "peer"}, {"0", "odd"}}, wan = {skips[0]};
const iface_list lo_eth = {{"lo", "Adapter for loopback traffic capture"}, {"eth", "Ethernet"}}, none = {};
const iface_list lo_only = {{"w", "WAN Miniport (IPv6)"}, lo_eth[0], {"lo2", lo_eth[0].description}};
const iface_list forty = [l = iface_list(40)]() mutable {
    for (int i = 0; i < 40; ++i)
        l[i] = {"if" + std::to_string(i), "Port " + std::to_string(i) + " x"};
    return l;
}();
struct {  // each look at the list finds the next of looks, the last one again; fails: 'l'ibrary, 'd'efault, 'f'ind
    std::vector<iface_list> looks;
    const iface_list& next() { return looks[std::min(calls++, looks.size() - 1)]; }
    char fails = 0;
    std::size_t calls = 0;
    std::vector<unsigned> sleeps = {};
} fake;
const interface_source fake_source = {
    [](std::string* err) { return fake.fails == 'l' ? (*err = "wpcap.dll missing", -1) : 0; },
    [](iface_list* out, std::string*) { return *out = fake.next(), fake.fails == 'f' ? -1 : 0; },
    [](std::string* n, std::string* err) { return fake.fails == 'd' ? (*err = "none", -1) : (*n = "x", 0); },
    [](unsigned ms) { fake.sleeps.push_back(ms); }};

// Options read over the fake capture library; each test and each row starts from fresh options.
class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        opts = {};
        delete std::exchange(speck_key, nullptr);
        trace_verbosity = 2;
        fake = {{skips}};
    }
    key_guard keys;
    probe_guard<std::uint8_t> verbosity{trace_verbosity};
    probe_guard<interface_source> source{discovery_source, fake_source};
    tap_options opts = {};
};

using RunThread = Settings;
// The option fields away from their defaults, as " c=... t=... K"; " k" a key text held, " S" a Speck schedule,
// " F" a key file.
std::string option_fields(const tap_options& o)
{
    auto text = [](const char* name, const std::optional<std::string>& v) { return v ? name + *v : ""; };
    auto num = [](const char* name, long v, long def) { return v == def ? "" : name + std::to_string(v); };
    return text(" c=", o.collector) + text(" f=", o.bpf_filter) + text(" i=", o.interface_name) +
           num(" t=", o.tzsp_port, 0) + num(" n=", o.tap_id, 0) + num(" s=", o.snaplen, 65536) +
           (o.disable_encryption ? " K" : "") + num(" v=", trace_verbosity, 2) + (o.key_text ? " k" : "") +
           (speck_key ? " S" : "") + (o.key_file ? " F" : "") + text(" salt=", o.salt) +
           (o.allow_list ? " H" : "") + (o.authenticated ? " A" : "") + num(" R=", long(o.max_rate_bits), 0) +
           num(" stats=", long(o.stats_seconds), 0);
}

// Standard output of fn, trace lines without their time stamp and source.
template <typename F>
std::string logged(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    return without_trace_prefix(testing::internal::GetCapturedStdout());
}

int record(int letter, const char* value, void* ctx)
{
    std::string& s = *static_cast<std::string*>(ctx);
    s += (s.empty() ? "" : " ") + std::string(1, static_cast<char>(letter)) + (value ? std::string("=") + value : "");
    return 0;
}
}  // namespace

// Orders, indices and messages are those of the C library's getopt_long. seen: each call's result ('?' and
// optopt), "| optind", the words as reordered ("=": as they were). The tap's reader stops at the first error.
TEST(Getopt, ReadsReordersAndDiagnosesLikeGnu)
{
    const struct {
        const char *words, *seen, *err;
        bool posix = false;
        const char* shortopts = tap_short_options;
        const long_option* longopts = tap_long_options;
    } rows[] = {
        {"prog a -v b -c x c", "v c=x | 4 prog -v -c x a b c", ""}, {"prog -v a -K", "v | 2 =", "", true},
        {"prog a -v", "| 1 =", "", true}, {"prog - -v", "v | 2 prog -v -", ""}, {"prog -v -- -K x", "v | 3 =", ""},
        {"prog a -- -K", "| 2 prog -- a -K", ""}, {"prog a -v -- b", "v | 3 prog -v -- a b", ""},
        {"prog -k man\tgo -t 37008", "k=man t=37008 | 5 prog -k man -t 37008 go", ""},  // a word holding a TAB
        {"prog -vK -vc10.0.0.1:5000 -c -v -c -- -g x -G --tzsp=37008 --tzsp 37008 --tzsp= --collector --key --hel --d "
         "--vers --verb --col=1:5",
         "v K v c=10.0.0.1:5000 c=-v c=-- g=x G --tzsp=37008 --tzsp=37008 --tzsp= --collector=--key --help "
         "--disable-encryption --version --verbose --collector=1:5 | 21 =", ""},
        {"./tap -x -v -xv -: -K -c", "?x v ?x v ?: K ?c | 7 =",
         "./tap: invalid option -- x\n./tap: invalid option -- x\n./tap: invalid option -- :\n"
         "./tap: option requires an argument -- c\n"},
        {"./tap -vx", "v ?x | 2 =", "./tap: illegal option -- x\n", true},
        {"prog --ver --h --t --snaplen 1500 --vers=2 --nope=1 --tz",
         "? ? ? ? ?V ? ?t | 8 prog --ver --h --t --snaplen --vers=2 --nope=1 --tz 1500",
         "prog: option `--ver' is ambiguous\nprog: option `--h' is ambiguous\nprog: option `--t' is ambiguous\n"
         "prog: unrecognized option `--snaplen'\nprog: option `--version' doesn't allow an argument\n"
         "prog: unrecognized option `--nope=1'\nprog: option `--tzsp' requires an argument\n"},
        {"p --ver --ve --col -l x -l3 --level x --level=3",
         "--ver ? --colour l l=3 --level --level=3 | 8 p --ver --ve --col -l -l3 --level --level=3 x x",
         "p: option `--ve' is ambiguous\n", false, "l::", others},
        {"p --v", "?- v | 2 =", "p: invalid option -- -\n", false, "v", nullptr}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.words);
        std::string line = r.words;  // split at blanks and TABs as the run thread splits them
        std::replace(line.begin(), line.end(), ' ', '\t');
        const std::vector<std::string> words = split_arguments(line.c_str());
        const int argc = static_cast<int>(words.size());
        std::vector<const char*> argv(words.size() + 1);
        std::transform(words.begin(), words.end(), argv.begin(), [](const std::string& w) { return w.c_str(); });
        std::vector<const char*> tap_argv = argv;
        getopt_state st{r.posix};
        std::string seen, before_error, order, unchanged, sunk;
        testing::internal::CaptureStderr();
        for (int c, n = 0;
             n < 100 && (c = getopt_long_next(st, argc, argv.data(), r.shortopts, r.longopts, stderr)) != -1; ++n) {
            if (seen.find('?') == std::string::npos && c != '?')
                record(c, st.optarg, &before_error);
            seen += (st.long_index >= 0 ? "--" + std::string(r.longopts[st.long_index].name) : std::string(1, c)) +
                    (c == '?' && st.optopt ? std::string(1, st.optopt) : "") +
                    (st.optarg ? "=" + std::string(st.optarg) : "") + " ";
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.err);
        for (int i = 0; i < argc; ++i)
            order += " " + std::string(argv[i]), unchanged += " " + words[i];
        EXPECT_EQ(seen + "| " + std::to_string(st.optind) + (order == unchanged ? " =" : order), r.seen);
        if (r.longopts == tap_long_options) {
            EXPECT_EQ(read_command_line(argc, tap_argv.data(), r.posix, nullptr, record, &sunk), *r.err ? -1 : 0);
            EXPECT_EQ(sunk, before_error);
        }
    }
}

// The exact name wins, then a piece of a description, then the index; skipped interfaces are never chosen,
// loopback only when alone. Wait mode looks for the text in names and descriptions as written. The listing.
TEST(ChooseInterface, RulesInOrder)
{
    static const default_device def{0, "x"}, no_def{-1, "none"};
    const std::string no_def_said = "(quiet) Unable to locate default interface (none)";
    auto range = [](int index) { return "(failed) Interface index " + std::to_string(index) + " out of range"; };
    const struct row { const iface_list& list; const char* text; std::string said; const default_device& dev; }
    rows[] = {
        {nics, "1", "npf_B", def}, {nics, "WIRELESS", "npf_B", def}, {nics, nullptr, "npf_A", def},
        {nics, "-1", "(listing)", def}, {nics, "bluetooth", "npf_A", def}, {nics, " -1x", "(listing)", def},
        {nics, "*guest", "(wait) guest", def}, {nics, "*x", "(wait) x", no_def}, {nics, "0", no_def_said, no_def},
        {nics, "-1", no_def_said, no_def}, {nics, "2", range(2), def}, {nics, "-2", range(-2), def},
        {names, "veth1", "veth1", def}, {names, "0", "0", def}, {names, "1", "br0", def}, {skips, "1", "b", def},
        {skips, "w2", "a", def}, {skips, "dialup", "a", def}, {skips, nullptr, "a", def}, {lo_eth, "0", "lo", def},
        {lo_eth, nullptr, "eth", def}, {lo_only, nullptr, "lo2", def}, {none, "0", range(0), def},
        {none, nullptr, "(failed) No usable capture interface found", def}, {forty, "if37", "if37", def},
        {forty, "31", "if31", def}, {forty, "32", range(32), def}, {forty, "PORT 35 X", "if0", def}};
    for (const row& r : rows) {  // said: the name, or the kind in brackets and the text
        interface_choice c = choose_interface(r.list, r.dev, r.text);
        const char* kinds[] = {"", "(listing)", "(wait) ", c.before_listing ? "(quiet) " : "(failed) "};
        EXPECT_EQ(kinds[c.kind] + (c.kind == interface_failed ? c.message : c.name), r.said) << (r.text ? r.text : "-");
    }
    for (auto [wanted, found] : {std::pair{"", "w1"}, {"Mini", "w1"}, {"w2", "w2"}, {"mini", "b"}, {"MINI", "-"}})
        EXPECT_EQ(find_waited_interface(skips, wanted).value_or("-"), found);
    const std::string head = "\n\nAvailable interfaces:\n\tSkipping interface WAN Miniport (IP)\n";
    const struct listing { const iface_list& list; bool full; std::string expected; } listings[] = {
        {skips, true, head + "\t[index=0] [a] 'Ethernet A'\n\tSkipping interface NdisWan Adapter\n\tSkipping "
                      "interface Generic DIALUP link\n\t[index=1] [b] 'wan miniport lookalike'\n\n"},
        {wan, true, head + "WARNING: No interfaces available! This application cannot\nWARNING: work make sure that "
                    "winpcap is installed properly\nWARNING: and that you have network interfaces installed.\n"},
        {forty, false, "WARNING: 40 interfaces found: only the first 32 have an index; choose the others by their "
                       "exact name\n"}};
    for (const listing& l : listings)
        EXPECT_EQ(logged([&l] { print_interface_listing(l.list, l.full); }), l.expected);
}

// Each text is a configuration file of its own, read line by line into the settings. Long names must be whole
// and may stand without a value; a short option always loses its third character; lines arrive in pieces of at
// most 16,383 characters (the first here is exactly that long); a NUL byte ends the text of its line only.
TEST_F(Settings, EachOptionAsItChangesTheSettings)
{
    const temp_file hosts("10.0.0.1\n"), conf("-v");
    const std::string c = " c=10.0.0.1:5000", x(16383 - 9, 'x'), unknown = "WARNING: Skipping unrecognized line: ";
    const std::string skip = logged([] { print_interface_listing(skips, false); });
    const std::string plain = "WARNING: Data will not be encrypted (-K specified)\n";
    struct row { std::string text, fields, log = ""; };
    std::vector<row> rows = {
        {"-t 37008\n-i 1", " t=37008", "ERROR: Ignored -i as -t has already been specified\n"},
        {"-i 1\n-t 37008", " i=b", skip + "ERROR: Ignored -t as -i has already been specified\n"},
        {"-t 65573\n-n -12x\n-s abc\n-c 1:5\n-c 2:6\n-f tcp\n-v\n-v", " c=2:6 f=tcp t=37 n=-12 s=0 v=6"},
        {"-t -1\n-s 1500\n-c x\n-f tcp\n-c\n-f", " t=65535 s=1500"}, {"-t 0\n-K", " K", plain},
        {"-g x\n-G\n-s 96\n-s\n-k\n-n\n-t\n-H", " s=96",
         "ERROR: Bad option g\nERROR: Bad option G\nERROR: Option -s needs a value\nERROR: Option -k needs a value\n"
         "ERROR: Option -n needs a value\nERROR: Option -t needs a value\nERROR: Option -H needs a value\n"},
        {"-k mango\n-H " + hosts.path, " k H"}, {"--authenticated\n-A", " A"}, {"--key-file\n--salt", "",
         "ERROR: Option --key-file needs a value\nERROR: Option --salt needs a value\n"},
        {"--key-file /k\n--salt site 1", " F salt=site 1"}, {"--max-rate 50\n-R 0.5\n-R", " R=500000",
         "ERROR: Option -R needs a value\n"}, {"--stats 60\n-S 5\n-S", " stats=5", "ERROR: Option -S needs a value\n"},
        {"--collector=10.0.0.1:5000", c},
        {"--collector\t '10.0.0.1:5000'", c},
        {" \t--collector 10.0.0.1:5000\r\n", c}, {"\"--collector=\"10.0.0.1:5000\"\"\n", c},
        {"'--collector   10.0.0.1:5000'", c}, {"--col 10.0.0.1:5000", ""}, {"--verbosex", ""}, {"--snaplen 96", ""},
        {"--", ""}, {"--verbose", " v=6"}, {"--interface", " i=a", skip}, {"--interface=", " i=a", skip},
        {"--filter = eth0", " f== eth0"}, {"--disable-encryption", " K", plain}, {"--tap-id 7", " n=7"},
        {"--hosts=C:\\hosts.txt", "", "ERROR: Unable to open file C:\\hosts.txt\n"}, {"--filter=", ""},
        {"--filter not port 22", " f=not port 22"}, {"-c 10.0.0.1:5000", c}, {"-c10.0.0.1:5000", " c=0.0.0.1:5000"},
        {"-t   '7'", " t=7"}, {"-v", " v=6"}, {"-fx", ""}, {"-fxy", " f=y"}, {"", ""}, {"x", ""}, {"   \"'  \r\n", ""},
        {"  #--verbose", ""}, {"-z 1", "", "ERROR: Bad option z\n"}, {"'ab'", "", unknown + "ab\n"},
        {"collector 10.0.0.1:5000\n", "", unknown + "collector 10.0.0.1:5000\n"}, {"ab '", "", unknown + "ab\n"},
        {std::string("-c 10.0.0.1:5000\0-k secret\n-K\n--tzsp\0=1\n# -n 2\n", 43), c + " K",
         plain + "ERROR: Option -t needs a value\n"},
        {"--filter=" + x + "-v\n-n 3", " f=" + x + " n=3 v=6"}};
#if !defined(_WIN32)  // a folder opens but cannot be read: an empty list, nothing is forwarded
    rows.push_back({"-H " + testing::TempDir(), " H", "WARNING: Error while reading hosts\n"});
#endif
    for (const row& r : rows) {
        SetUp();
        const temp_file file(r.text);
        const std::string said = logged([&] { EXPECT_EQ(read_config_file(opts, file.path.c_str()), 0); });
        EXPECT_EQ(said, r.log) << r.text;
        EXPECT_EQ(option_fields(opts), r.fields) << r.text;
    }
    // Numbers as every option reads them, the case-insensitive comparisons of texts.
    for (auto [text, value] : {std::pair{" \t\n\v\f\r+7x", 7}, {"+-1", 0}, {"\x01" "5", 0}, {"9/", 9}, {"-:", 0},
                               {"-2147483648", INT_MIN}, {"2147483648", INT_MAX}, {"-2147483649", INT_MIN},
                               {"99999999999999999999", INT_MAX}, {"-99999999999999999999", INT_MIN}})
        EXPECT_EQ(read_int(text), value) << text;
    for (auto [a, b, same] : {std::tuple{"/C", "/c", true}, {"AZaz", "azAZ", true}, {"/c", "/c ", false},
                              {"/i", "/r", false}, {"@[", "`{", false}})
        EXPECT_EQ(equals_nocase(a, b), same) << a << " / " << b;
    EXPECT_TRUE(equals_nocase({"ab", 1}, {"ac", 1}));
    for (auto [haystack, needle, at] : {std::tuple{"", "a", -1L}, {"abc", "", -1L}, {"aab", "ab", 1L},
                                        {"ab", "abc", -1L}, {"AZaz", "azAZ", 0L}, {"@[", "`{", -1L}, {"a1b1", "1", 3L},
                                        {"eth0", "H", -1L}})
        EXPECT_EQ(find_nocase(haystack, needle), at) << haystack << " / " << needle;
    std::string got;  // -1 only for a file that cannot be opened, and nothing read from it
    EXPECT_EQ(read_config_lines(conf.path.c_str(), record, &got), 0);
    EXPECT_EQ(read_config_lines("/nonexistent/vantry.conf", record, &got), -1);
    EXPECT_EQ(got, "v");
}

// Reading stops at help, version, a refusal (with the usage) or an interface that cannot be had, with the code
// and the reason; later words are not read. Wait mode looks again every 3 s until the interface is there.
// A listing replaces an interface chosen before with none; an index out of range is refused.
TEST_F(Settings, ListingChoosesNothingAndAFailedChoiceIsRefused)
{
    std::optional<std::string> chosen = "earlier";
    int listed = 1, failed = 0;
    const std::string log = logged([&] { listed = may_choose_interface("-1", &chosen); });
    EXPECT_EQ(listed, 0);
    EXPECT_FALSE(chosen) << "a listing chooses nothing";
    EXPECT_THAT(log, testing::HasSubstr("[index=1] [b] 'wan miniport lookalike'"));
    logged([&] { failed = may_choose_interface("9", &chosen); });
    EXPECT_EQ(failed, -1);
    fake.fails = 'd';  // no default interface: refused before any listing
    logged([&] { failed = may_choose_interface("0", &chosen); });
    EXPECT_EQ(failed, -1);
}

TEST_F(Settings, ReadingStopsWithItsCodeAndReason)
{
    using testing::HasSubstr;
    using enum run_end;
    const temp_file conf("-K\n--tzsp=37008\n--collector \"10.0.0.1:5000\"\n-n 7\n-V\n-v\n");
    const temp_file hosts("10.0.0.1\n"), key_file(std::string(64, 'a') + "\n");
    std::filesystem::permissions(key_file.path, std::filesystem::perms::owner_read);
    const std::vector<std::string> tzsp = {"-t", "1", "-c", "a:1"};
    auto with = [&tzsp](std::vector<std::string> args) { return args.insert(args.end(), tzsp.begin(), tzsp.end()), args; };
    auto missing = [](const char* what) { return HasSubstr(std::string("ERROR: Missing ") + what); };
    const auto usage = AllOf(HasSubstr("Usage:"), testing::EndsWith("\t[index=1] [b] 'wan miniport lookalike'\n\n"));
    const auto shows_version = HasSubstr("\nVersion:       1.1.260430\n");
    const auto no_library = HasSubstr("ERROR: Unable to load the capture library (wpcap.dll missing): please install");
    struct row {  // the options, what reading them returns and why, the fields read and what was said
        std::vector<std::string> args; int code; run_end why; std::string fields;
        testing::Matcher<const std::string&> said = testing::_; char fails = 0; std::vector<iface_list> looks = {skips};
    } rows[] = {
        {{"p", conf.path}, 1, version, " c=10.0.0.1:5000 t=37008 n=7 K", shows_version},
        {{"p", conf.path, "-K", "-t", "1", "-c", "a:1"}, 0, none, " c=a:1 t=1 K"},  // a skipped non-option
        {{"p", "-t", "1", "-c", "a:1"}, -1, refused, " c=a:1 t=1", AllOf(missing("encryption key -k"), usage)},
        {{"p", "-K", "-c", "a:1"}, -1, refused, " c=a:1 K", AllOf(missing("interface -i or -t"), usage)},
        {{"p", "-K", "-t", "1"}, -1, refused, " t=1 K", missing("collector -c")},
        {{"p", "-A", "-K", "-k", "x"}, -1, refused, " K A", HasSubstr("ERROR: Options -A and -K exclude")},
        // The key once every option is read: a Speck schedule (its text wiped) only without -A.
        {with({"p", "-k", "x"}), 0, none, " c=a:1 t=1 S"}, {with({"p", "-A", "--key-file", key_file.path}), 0, none,
         " c=a:1 t=1 k F A"}, {with({"p", "-k", "-A"}), -1, refused, "", HasSubstr("ERROR: The key begins with '-'")},
        {with({"p", "-A", "-k", "MANGO"}), -1, refused, " c=a:1 t=1 A", HasSubstr("ERROR: The sample key 'mango'")},
        {with({"p", "-k", "x", "--key-file", key_file.path}), -1, refused, " c=a:1 t=1 F",
         HasSubstr("ERROR: Options -k and --key-file exclude each other")},
        {{"p", "--generate-key", "-v"}, 1, version, "", testing::Truly([](const std::string& said) {
             return said.size() == 65 && said.find_first_not_of("0123456789abcdef") == 64;  // alone: a key file
         })},
        {{"p", "-t", "1", "--authenticated"}, -1, refused, " t=1 A", missing("encryption key -k (-A")},
        {with({"p", "-K", "--max-rate=0,5"}), -1, refused, " K", AllOf(HasSubstr("ERROR: Invalid -R rate '0,5'"), usage)},
        {with({"p", "-K", "-S", "1m"}), -1, refused, " K", HasSubstr("ERROR: Invalid -S interval '1m': give whole")},
        {{"p", "-v", "-V", "-H", hosts.path}, 1, version, " v=6", shows_version},
        {{"p", "-h", "-v"}, 1, help, "", AllOf(HasSubstr("Vantry remote/virtual tap 1.1.260430"), usage)},
        {{"p", "-h"}, -1, no_interface, "", no_library, 'l'}, {{"p", "-i", "0"}, -1, no_interface, "", no_library, 'l'},
        {{"p", "-i", "-1", "-K", "-t", "1", "-c", "a:1"}, 0, none, " c=a:1 t=1 K",
         HasSubstr("\n\nAvailable interfaces:\nWARNING: No interfaces"), 'f'},
        {{"p", "-i", "*guest", "-K", "-c", "a:1"}, 0, none, " c=a:1 i=tap-guest K",
         HasSubstr("Searching for interface 'guest' until the interface is up\nFound interface 'tap-guest'\n"), 0,
         {skips, skips, {{"tap-guest", "TAP"}}}},  // the third look finds it
        {{"p", "-i", "7", "-K"}, -1, no_interface, "",
         testing::ContainsRegex("Skipping interface Generic DIALUP link\n.*ERROR: Interface index 7 out of")},
        {{"p", "-i", "-1"}, -1, no_interface, "", testing::IsEmpty(), 'd'},  // said in verbose mode only
        {{"p", "-v", "-i", "0"}, -1, no_interface, " v=6", testing::EndsWith("interface (none)\n"), 'd'}};
    for (row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.args));
        SetUp();
        fake.looks = r.looks;
        fake.fails = r.fails;
        int code = 2;
        const std::string said = logged([&] { code = parse_settings(opts, r.args); });
        EXPECT_EQ(code, r.code);
        EXPECT_EQ(opts.stopped_by, r.why);
        EXPECT_EQ(option_fields(opts), r.fields);
        EXPECT_THAT(said, r.said);
        EXPECT_EQ(fake.sleeps, std::vector(r.looks.size() - 1, 3000u));
    }
}

// What each early end of a run means for the process: its status, whether the run thread ends it at once, and
// whether "Shutting down..." comes first. Only the launcher's own return and a run that ended give 0 quietly.
TEST(RunEnd, EachEndHasItsProcessStatus)
{
    using enum run_end;
    const struct row { run_end end; int status; bool at_once, announced; } rows[] = {{none, 0, false, false},
        {help, 0, true, true}, {version, 0, true, false}, {refused, 0, true, true}, {no_interface, -1, true, false},
        {no_socket_library, -1, true, false}, {no_socket, 0, false, false}};
    for (const row& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.end));
        EXPECT_EQ(run_end_rule_of(r.end).status, r.status);
        EXPECT_EQ(run_end_rule_of(r.end).ends_process, r.at_once);
        EXPECT_EQ(run_end_rule_of(r.end).announces_shutdown, r.announced);
    }
}

// Quoted words are unquoted (support/argument_string.h); "/c" drops one word, "/i" and "/r" two.
TEST_F(RunThread, ArgumentStringIsSplitAtTabsAndTheModeWordDropped)
{
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {"", {}}, {"\t\t", {}}, {"\tprog\t\t/c\t\"a b\"\t", {"prog", "a b"}}, {"prog\t/C\t-K", {"prog", "-K"}},
        {"prog\t/i\tsvc\t-t\t1", {"prog", "-t", "1"}}, {"prog\t/r\tsvc", {"prog"}}, {"prog\t/R", {}},
        {"prog\t-c\t/c", {"prog", "-c", "/c"}}, {"prog", {"prog"}}};
    for (const auto& [text, expected] : rows) {
        std::vector<std::string> words = split_arguments(text);
        drop_mode_word(words);
        EXPECT_EQ(words, expected) << text;
    }
}

// -A: the run id is logged, the sender seals, and what it seals opens under the run key that a collector derives
// from the same passphrase, salt and run id. No Speck schedule is built.
TEST_F(RunThread, SealingSetUpSealsWhatACollectorWithTheSameKeyOpens)
{
    const char key[] = "sealing test key";
    std::vector<std::string> args = {"vantry_remote", "-A", "-k", key, "--salt", "lab", "-t", "37008", "-c",
                                     "127.0.0.1:5000"};
    tap_options o = {};
    const auto st = std::make_unique<tap_run_state>();
    run_end end = run_end::help;
    const std::string log = logged([&] { end = tap_setup(o, *st, args); });
    ASSERT_EQ(end, run_end::none);
    EXPECT_EQ(speck_key, nullptr);
    EXPECT_EQ(st->forward.sender.sealed, &st->sealed);
    const std::string id = hex_text(bytes(st->sealed.run_id, st->sealed.run_id + sealed_run_id_size));
    EXPECT_THAT(log, testing::HasSubstr("Sealing datagrams (-A), run id " + id + "\n"));
    std::uint8_t master[sealed_key_size], run_key[sealed_key_size];
    ASSERT_EQ(sealed_master_key(key, sizeof key - 1, "lab", 3, master), 0);
    ASSERT_EQ(sealed_run_key(master, st->sealed.run_id, run_key), 0);
    bytes d(sealed_header_size + 5 + sealed_tag_size, 7);
    sealed_write_header(d.data(), 1);
    ASSERT_EQ(sealed_seal(st->sealed, d.data(), sealed_header_size + 5), d.size());
    sealed_cipher opener;
    ASSERT_EQ(sealed_cipher_open(&opener), 0);
    ASSERT_EQ(sealed_cipher_key(opener, run_key), 0);
    std::size_t at = 0, len = 0;
    EXPECT_EQ(sealed_open(opener, d.data(), d.size(), &at, &len), sealed_read_ok);
    sealed_cipher_close(&opener);
    sealed_cipher_close(&st->sealed.cipher);
    net_close(st->forward.sender.socket);
}

// A stop from a signal and the run's own stop: one "Shutting down...", the loop told to stop and its waker
// woken each time. One wait drains every wake, and a wake wins over a datagram. Phases move only forward.
TEST_F(RunThread, ShutdownAnnouncesOnceAndWakesTheLoop)
{
    static net_waker w;
    net_socket s = net_invalid_socket;
    ASSERT_EQ(net_startup(), 0);
    ASSERT_EQ(net_waker_open(&w), 0);
    ASSERT_EQ(net_bind(s = net_udp_socket(), w.self.addr, 0), 0);
    static tap_run_state st;
    forward_set_wake(st.forward, [](void*) { net_waker_wake(w); }, nullptr);
    EXPECT_EQ(logged([] { std::thread a([] { stop_run(st); }); stop_run(st); a.join(); }), "Shutting down...\n");
    forward_set_wake(st.forward, nullptr, nullptr);
    ASSERT_EQ(net_send_to(w.s, "x", 1, net_addr4{w.self.addr, net_order16(net_local_port(s))}), 1);
    char b;
    EXPECT_TRUE(st.forward.stop);
    EXPECT_EQ(net_wait_readable_or_woken(s, w, 20'000'000), 2);
    EXPECT_EQ(net_wait_readable_or_woken(s, w, 20'000'000), 1);
    EXPECT_EQ(net_recv_from(s, &b, 1, nullptr), 1);
    EXPECT_EQ(net_wait_readable_or_woken(s, w, 20'000), 0);
    net_close(s);
    net_waker_close(&w);
    EXPECT_EQ(w.s, net_invalid_socket);
    using enum run_phase;
    for (auto [next, moved] : {std::pair{forwarding, true}, {forwarding, false}, {setting_up, false}, {ended, true},
                               {shutting_down, false}})
        EXPECT_EQ(run_phase_enter(st, next), moved) << static_cast<int>(next);
}

// The collector's address is the first non-empty field, the port the next one, never cut, wrapped or partly read;
// or an IPv6 address in brackets, never without them; a name is its IPv4 address and is looked up again.
// Set-up opens a socket, bound before the first send, only for a usable collector; without -i, no self filter.
// An unusable collector still lets the run go on, to the loop's "Socket error".
TEST_F(RunThread, SetUpTakesTheCollectorAsWrittenOrRefusesIt)
{
    const std::string bad_port = "ERROR: Invalid -c port '", format = "ERROR: Invalid -c format specified: missing ";
    const struct row {  // port 0: refused
        std::string text; int port; std::string said; std::string host = "127.0.0.1"; bool looked_up_again = false;
    } rows[] = {
        {"[::1]:5000", 5000, "", "::1"}, {"[2001:db8::7]:65535:x", 65535, "", "2001:db8::7"},
        {"localhost:5000", 5000, "", "127.0.0.1", true}, {"[::1]5000", 0, format + "port"},
        {"::1:5000", 0, "ERROR: Invalid -c address '::1:5000': write an IPv6 address in brackets, as in "},
        {"2001:db8::1:5000", 0, "ERROR: Invalid -c address '2001:db8::1:5000': write an IPv6 address"},
        {"[::1:5000", 0, format + "']' after the IPv6 address"}, {"[::1]:0", 0, bad_port + "0'"},
        {"127.0.0.1:5000:7", 5000, ""}, {"127.0.0.1::5000", 5000, ""}, {"127.0.0.1:05000", 5000, ""},
        {"127.0.0.1" + std::string(54, ':') + "5000", 5000, ""}, {"127.0.0.1:65535", 65535, ""}, {"127.0.0.1:1", 1, ""},
        {"127.0.0.1:70000", 0, bad_port + "70000': not a port number"}, {"127.0.0.1:5000x", 0, bad_port + "5000x'"},
        {"127.0.0.1:-1", 0, bad_port + "-1'"}, {"127.0.0.1: 80", 0, bad_port + " 80'"}, {":::", 0, format + "address"},
        {"127.0.0.1:abc", 0, bad_port + "abc'"}, {"127.0.0.1:0", 0, bad_port + "0'"}, {":5000", 0, format + "port"},
        {"127.0.0.1:65536", 0, bad_port + "65536'"}, {"127.0.0.1:", 0, format + "port"},
        {std::string(254, 'a') + ":5000", 0, "ERROR: Invalid -c address: 254 characters, at most 253"}};
    std::vector<std::string> args = {"vantry_remote", "-K", "-t", "37008", "-c", ""};
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        args[5] = r.text;
        tap_options o = {};
        tap_run_state st;
        run_end end = run_end::help;
        const std::string log = logged([&] { end = tap_setup(o, st, args); });
        const tap_sender& s = st.forward.sender;
        EXPECT_EQ(end, run_end::none);
        EXPECT_EQ(s.socket != net_invalid_socket && net_local_port(s.socket) != 0, r.port != 0);
        EXPECT_EQ(s.has_destination ? net_order16(s.to.port) : 0, r.port);
        char host[net_peer_text_max] = "";
        if (s.has_destination)
            net_peer_host_text(s.to, host, sizeof host);
        EXPECT_EQ(host, r.port ? r.host : "");
        EXPECT_EQ(st.resolver.get() != nullptr, r.looked_up_again);
        EXPECT_FALSE(st.capture.fallback_filter);
        EXPECT_THAT(log, testing::HasSubstr(r.said));
        EXPECT_EQ(log.find("ERROR") == std::string::npos, r.port != 0) << log;
        net_close(st.forward.sender.socket);
    }
#if !defined(_WIN32)
    // In a network namespace of its own the lookup fails at once and no query leaves the machine.
    if (::geteuid() != 0)
        GTEST_SKIP() << "a network namespace needs root";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    args[5] = "no-such-collector.invalid:5000";
    auto no_socket = [&args, o = tap_options{}, st = std::make_unique<tap_run_state>()]() mutable {
        return tap_setup(o, *st, args) == run_end::none && st->forward.sender.socket == net_invalid_socket;
    };
    EXPECT_EXIT(std::_Exit(::unshare(CLONE_NEWNET) || ::dup2(2, 1) < 0 || !no_socket()), testing::ExitedWithCode(0),
                "Invalid -c address 'no-such-collector.invalid': not an IPv4");
#endif
}
