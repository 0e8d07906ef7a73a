// The collector as Wireshark's capture program: answers on standard output, a capture run's errors on standard error.
#include <gtest/gtest.h>
#include <sstream>
#include <gmock/gmock.h>
#include "tests/test_support.h"
#include "collector/collector_options.h"

namespace {
struct read_result { int rc = 0, level = 0; std::string out, err; collector_options opt; };  // level: as read left it
read_result read(std::vector<std::string>& words)
{
    std::vector<char*> argv(1, const_cast<char*>("vantry_collector"));
    for (std::string& w : words) argv.push_back(w.data());
    read_result r;
    probe_guard keep_level(trace_verbosity);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.rc = read_options(int(argv.size()), argv.data(), &r.opt);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    r.level = trace_verbosity;
    return r;
}

std::string text(const char* s) { return s ? s : "(none)"; }
const std::vector<std::string> capture = {"--capture", "--extcap-interface", "vantry", "--fifo", "F", "-p", "9"};
auto with(std::initializer_list<std::string> more) { auto w = capture; return w.insert(w.end(), more), w; }
}  // namespace

TEST(Extcap, QuestionsAnsweredCapturesRunAndWhatWiresharkShowsIsOnStandardError)
{
    // out, err: in standard output and error; path, key: what a run that goes on was given.
    const struct { std::vector<std::string> args; int rc; const char *out, *err, *path = {}, *key = {}; } rows[] = {
        {{"--extcap-interfaces", "--extcap-version=4.0"}, 1, "interface {value=vantry}{display=Vantry remote", ""},
        {{"-Kp9", "--version", "-wx"}, 1, "vantry_collector " VANTRY_VERSION "\n", ""},  // packages' check
        {{"--extcap-dlts", "--extcap-interface", "vantry"}, 1, "dlt {number=1}{name=EN10MB}", ""},
        {{"--extcap-interface", "vantry", "--extcap-config"}, 1, "arg {number=0}{call=--port}", ""},
        {{"--extcap-dlts"}, -1, "ERROR: Missing --extcap-interface vantry", ""},
        {{"-Kp9", "-wx", "--extcap-config", "--extcap-interface", "vantr"}, -1, "Unknown extcap interface 'vantr'", ""},
        {{"--extcap-interface", "vantry", "--extcap-capture-filter", ""}, 1, "", ""},  // Wireshark checks a filter
        {{"-Kp9", "-wx", "--extcap-interface", "vantry", "--extcap-capture-filter", "ip"}, -1, "filter ('ip')", ""},
        {{"-Kp9", "-wx", "--extcap-interface", "vantry", "--fifo", "y"}, 0, "", "", "x"},  // no capture
        {with({"-K"}), 0, "", "", "F"},
        {with({"--extcap-key", "k", "--extcap-capture-filter", "", "--extcap-control-in", "a"}), 0, "", "", "F", "k"},
        {with({"-K", "--extcap-capture-filter", "udp"}), -1, "", "no capture filter"},
        {{"--capture", "-Kp9", "-wx", "--extcap-interface", "vantry"}, -1, "", "ERROR: Missing --fifo"},
        {with({"-K", "-w", "x"}), -1, "", "ERROR: A capture for Wireshark writes to"},
        {with({"-K", "-C", "1"}), -1, "", "FIFO only"},
        {capture, -1, "", "ERROR: Missing encryption key"},  // the usual checks' errors reach Wireshark too
        {with({"-A", "-K"}), -1, "", "ERROR: Options -A and -K exclude each other"},
        {with({"--authenticated"}), -1, "", "ERROR: Missing encryption key -k (-A reads"},
        // Every refusal of a value, and of what is missing or does not go together.
        {{"-Kwx", "-p", "65536"}, -1, "ERROR: Invalid port '65536'", ""}, {{"-Kwx"}, -1, "ERROR: Missing UDP port -p", ""},
        {{"-p9", "-wx"}, -1, "ERROR: Missing encryption key -k (or -K", ""}, {{"-Kp9"}, -1, "ERROR: Nothing to write to", ""},
        {{"-Kp9", "-wx", "-F", "pcapx"}, -1, "ERROR: Invalid file format 'pcapx' (pcapng or pcap)", ""},
        {{"-Kp9", "-wx", "-G", "0"}, -1, "ERROR: Invalid rotation time '0'", ""},
        {{"-Kp9", "-wx", "-C", "1000001"}, -1, "ERROR: Invalid file size '1000001'", ""},
        {{"-Kp9", "-wx", "-C1", "-W", "-1"}, -1, "ERROR: Invalid file count '-1'", ""},
        {{"-Kp9", "-wx", "-S", "2147483648"}, -1, "ERROR: Invalid statistics interval '2147483648'", ""},
        {{"-Kp9", "-wx", "-r", "1x"}, -1, "ERROR: Invalid receive buffer size '1x'", ""},
        {{"-Kp9", "-wx", "-c", "0"}, -1, "ERROR: Invalid frame count '0'", ""},
        {{"-Kp9", "-wx", "-W", "2"}, -1, "ERROR: -W keeps files of a rotation", ""},
        {{"-Kp9", "-w-", "-G", "9"}, -1, "ERROR: Rotation (-G, -C) needs a file name", ""},
        {{"-Kp9", "-wx", "y"}, -1, "ERROR: Unexpected argument 'y'", ""},
        {{"-Kp9", "-wx", "-j", "65"}, -1, "ERROR: Invalid worker count (-j, 1 to 64) '65'", ""},
        {{"-Kp9", "--pcap-over-ip", "x:1"}, -1, "ERROR: Invalid --pcap-over-ip 'x:1'", ""},
        {{"-Kp9", "--pcap-over-ip", "9", "--metrics", "127.0.0.1:9"}, -1, "name the same address and port", ""},
        {{"-Kp9", "--kafka", "b", "--from-kafka", "b", "--topic", "t"}, -1, "--kafka and --from-kafka exclude", ""},
        {{"-Kp9", "--kafka", "b"}, -1, "ERROR: Missing --topic NAME", ""},
        {{"-Kp9", "-wx", "--topic", "t"}, -1, "--topic names the topic of --kafka or --from-kafka", ""},
        {{"--from-kafka", "b", "--topic", "t", "-wx"}, -1, "ERROR: Missing --group NAME", ""},
        {{"-Kp9", "-wx", "--group", "g"}, -1, "--group names the consumer group of --from-kafka", ""},
        {{"-Kp9", "-wx", "--kafka-buffer", "9"}, -1, "--kafka-buffer bounds what --kafka holds back", ""},
        {{"--from-kafka", "b", "--topic", "t", "--group", "g", "-wx", "-j", "2"}, -1, "(-p, -b, -r, -j, -k", ""},
        {{"--from-kafka", "b", "--topic", "t", "--group", "g"}, -1, "ERROR: Nothing to write to", ""},
        {{"--from-kafka", "b", "--topic", "t", "--group", "g", "-wx"}, 0, "", "", "x"},  // no port, no key
        {{"-Kp9", "--pcap-over-ip", "57012"}, 0, "", ""},  // somewhere to write
    };
    for (const auto& row : rows) {
        std::vector<std::string> words = row.args;
        SCOPED_TRACE(testing::PrintToString(words));
        const read_result r = read(words);
        EXPECT_EQ(r.rc, row.rc) << r.out << r.err;
        EXPECT_THAT(r.out, testing::HasSubstr(row.out));
        EXPECT_THAT(r.err, testing::HasSubstr(row.err));
        EXPECT_EQ(r.level, row.args[0] == "--capture" ? int(trace_level_error) : trace_verbosity) << "errors only";
        EXPECT_EQ(text(r.rc ? row.path : r.opt.write_path), text(row.path)) << "written to";
        EXPECT_EQ(text(r.rc ? row.key : r.opt.key), text(row.key));
    }
}

// Each field of the answer, passed back as Wireshark passes it (a flag alone, others with a value), sets its option;
// those of sealed datagrams (fields 5 to 7: -A, a key file, the salt) in a run of their own, as -A excludes -K.
TEST(Extcap, EveryConfigurationFieldIsAnOptionOfACaptureRun)
{
    const temp_file key_file(std::string(64, 'a'), "vantry-key");
    std::filesystem::permissions(key_file.path, std::filesystem::perms(0600));
    std::vector<std::string> words = {"--extcap-config", "--extcap-interface", "vantry"}, fields = capture;
    std::vector<std::string> sealed = capture;
    const std::string config = read(words).out;
    std::istringstream lines(config);
    for (std::string line; std::getline(lines, line);) {  // arg {number=N}{call=--name}...{type=T}
        const std::size_t number = line.find("{number="), call = line.find("}{call=");
        if (line.rfind("arg ", 0) != 0 || number == line.npos || call == line.npos)
            continue;
        std::vector<std::string>& to = line[number + 8] >= '5' ? sealed : fields;
        to.push_back(line.substr(call + 7, line.find('}', call + 1) - call - 7));
        if (line.find("{type=boolflag}") == line.npos)
            to.push_back(to.back() == "--key-file" ? key_file.path : line.substr(number + 8, call - number - 8) + "7");
    }
    const read_result s = read(sealed);
    ASSERT_EQ(s.rc, 0) << s.err;
    EXPECT_TRUE(s.opt.authenticated);
    EXPECT_EQ(text(s.opt.key_file), key_file.path);
    EXPECT_EQ(text(s.opt.salt), "77");
    const read_result r = read(fields);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.opt.port, 7);
    EXPECT_EQ(text(r.opt.key), "27");
    EXPECT_TRUE(r.opt.clear);
    EXPECT_EQ(text(r.opt.bind_address), "47");
}
