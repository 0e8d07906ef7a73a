// Keys under -A at both ends, given as the packages give them: in key files.
#include "tests/e2e/e2e_support.h"

// A tap and a collector both started with -A --key-file (a key of --generate-key, mode 640) carry a frame. Refused at
// start, each with its message: a key file any user may read, a key that is the next option ("-k -A").
TEST(SealedE2E, KeyFilesCarryFramesAndWhatIsNoKeyIsRefused)
{
    const std::string collector = VANTRY_BIN_DIR "/vantry_collector";
    std::string key;
    ASSERT_EQ(run_command(collector + " --generate-key", &key), 0);
    const temp_file file(key, "vantry-key"), open_file(key, "vantry-key");
    std::filesystem::permissions(file.path, std::filesystem::perms(0640));
    std::filesystem::permissions(open_file.path, std::filesystem::perms(0644));
    child tap, col;
    udp_socket src;
    const std::uint16_t port = collector_start(&col, {"-A", "--key-file", file.path, "-v", "-w", "-"}), in = free_port();
    ASSERT_NE(port, 0) << err_of(col);
    ASSERT_TRUE(tap_start(&tap, {"-A", "--key-file", file.path, "-t", std::to_string(in), "-c",
                                 "127.0.0.1:" + std::to_string(port)})) << out_of(tap);
    ASSERT_EQ(udp_open(&src), 0);
    udp_send(src, tzsp(pattern(60, 1)), in);
    EXPECT_TRUE(wait_output(&col, "Datagram of ", 5000)) << err_of(col);
    tap_stop(&tap);
    signal_child(col, SIGTERM);
    EXPECT_EQ(status_within(&col, 5000), 0);
    EXPECT_EQ(pcap_of(out_of(col)).size(), 1u);
    const std::string dash = "ERROR: The key begins with '-', as an option does";
    const struct { std::string program; std::vector<std::string> args; int status; std::string said; } rows[] = {
        {collector, {"-p", "0", "-A", "--key-file", open_file.path, "-w", "-"}, 2,
         "ERROR: Key file '" + open_file.path + "' may be read or written by any user"},
        {collector, {"-p", "0", "-k", "-A", "-w", "-"}, 2, dash},
        {remote_path(), {"/c", "-k", "-A", "-t", "1", "-c", "127.0.0.1:1"}, 0, dash}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        child c;
        ASSERT_EQ(start(&c, row.program, row.args), 0);
        EXPECT_EQ(status_within(&c, 30000), row.status);
        EXPECT_TRUE(has(out_of(c) + err_of(c), row.said)) << out_of(c) << err_of(c);
    }
}
