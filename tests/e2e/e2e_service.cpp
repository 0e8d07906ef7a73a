// The programs as the systemd units and their drop-ins run them: an unprivileged user with one capability.
#include <poll.h>
#include <sys/un.h>

#include "tests/e2e/e2e_support.h"

// The TAP drop-in: nobody with CAP_NET_ADMIN alone, /proc/sys read-only but for the folders of interface settings,
// makes its TAP interface passive and writes into it. /dev/net/tun mode 666 as on Debian, in `ip netns exec`'s only.
TEST(ServiceUnits, TheCollectorMakesItsTapInterfaceWithCapNetAdminAlone)
{
    if (geteuid() || access("/proc/sys/net/ipv6", F_OK) || access("/dev/net/tun", F_OK))
        GTEST_SKIP() << "needs root, IPv6 and /dev/net/tun";
    const std::string ns = "vsvc" + id, name = ns + "t", show = "ip netns exec " + ns + " cat /sys/class/net/" + name +
        "/statistics/rx_packets /proc/sys/net/ipv6/conf/" + name + "/disable_ipv6";
    std::string script = "set -e; mount --bind /proc/sys /proc/sys; mount -o remount,bind,ro /proc/sys; for f in "
        "/proc/sys/net/ipv4/conf /proc/sys/net/ipv6/conf; do mount --bind $f $f; mount -o remount,bind,rw $f; done; "
        "mount -t tmpfs tmpfs /mnt; mknod -m 666 /mnt/tun c 10 200; mount --bind /mnt/tun /dev/net/tun; exec";
    for (const std::string& w : as_nobody_with("net_admin")) script += " " + w;
    netns space(ns);
    child col;
    script += " " VANTRY_BIN_DIR "/vantry_collector -p 0 -K -i " + name;
    const std::uint16_t port = listening_port(&col, space.made | start(&col, "sh", {"-c", script}, ns));
    ASSERT_NE(port, 0) << out_of(col) << err_of(col);
    udp_socket src;
    std::string text;
    ASSERT_EQ(udp_open(&src, "127.0.0.1", ns), 0);
    udp_send(src, cat({tap_header_bytes(1, 1), tap_record_bytes(0, 0, 74, 74), ethernet(0x88b5, bytes(60))}), port);
    EXPECT_TRUE(poll_until(5000, [&] { return run_command(show, &text) == 0 && text == "1\n1\n"; })) << text;
    signal_child(col, SIGTERM);
    EXPECT_EQ(status_within(&col, 3000), 0);
}

// A Unix datagram socket of the test's own as the service manager's notification socket ("@": abstract).
struct notify_socket {
    std::string name;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    explicit notify_socket(const std::string& n) : name(n)
    {
        sockaddr_un a{.sun_family = AF_UNIX, .sun_path = {}};
        name.copy(a.sun_path + (name[0] == '@'), name.size() - (name[0] == '@'), name[0] == '@');
        bind(fd, reinterpret_cast<sockaddr*>(&a), static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size()));
    }
    ~notify_socket() { close(fd), unlink(name.c_str()); }
    std::string next(int wait_ms) const  // the next message within wait_ms, "" when none came
    {
        char buf[256];
        pollfd p{fd, POLLIN, 0};
        const long n = poll(&p, 1, wait_ms) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }
};

// Type=notify: READY=1 once the program forwards or listens, then the watchdog's pings at half of WATCHDOG_USEC.
TEST(ServiceUnits, ReadyOnceWorkingThenAWatchdogPingEverySecond)
{
    struct row { std::string program, socket, ready_line; std::vector<std::string> args; };
    const std::string port = std::to_string(free_port()), dir = "/tmp/vantry-notify-" + id;
    const row rows[] = {
        {remote_path(), dir, "Running...", {"/c", "-t", port, "-c", "127.0.0.1:9", "-K"}},
        {VANTRY_BIN_DIR "/vantry_collector", dir, "Listening", {"-p", "0", "-K", "-w", "/dev/null"}},
        {VANTRY_BIN_DIR "/vantry_collector", "@" + dir, "Listening", {"-p", "0", "-K", "-w", "/dev/null"}}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.program + " " + r.socket);
        notify_socket manager(r.socket);
        child c;
        ASSERT_EQ(start(&c, r.program, r.args, "", {"NOTIFY_SOCKET=" + r.socket, "WATCHDOG_USEC=2000000"}), 0);
        EXPECT_EQ(manager.next(10000), "READY=1");
        EXPECT_TRUE(has(out_of(c) + err_of(c), r.ready_line)) << out_of(c);
        int pings = 0;
        for (auto until = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < until;)
            pings += manager.next(100) == "WATCHDOG=1";
        EXPECT_GE(pings, 2);
        signal_child(c, SIGTERM);
        EXPECT_EQ(status_within(&c, 3000), 0);
    }
}

// Standard output that is the journal's stream (JOURNAL_STREAM names its device and inode): each line starts with its
// syslog priority; any other output as it was.
TEST(ServiceUnits, JournalPrioritiesOnlyWhenStandardOutputIsTheJournal)
{
    struct row { std::string stream, warning, normal; };
    const row rows[] = {
        {"$(stat -L -c %d:%i /proc/$$/fd/1)", "\n<4>", "\n<6>"},  // the stdout file's own numbers
        {"1:1", "\n", "\n"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.stream);
        child c;
        ASSERT_EQ(start(&c, "sh", {"-c", "JOURNAL_STREAM=" + r.stream + " exec " VANTRY_BIN_DIR
                                   "/vantry_collector -p 0 -K -w /dev/null"}), 0);
        ASSERT_TRUE(wait_output(&c, "Listening", 5000)) << out_of(c);
        const std::string out = "\n" + out_of(c);
        const std::string stamp = "[0-9/A-Za-z]+ [0-9:]+ \\[vantry_collector:[0-9]+\\] ";
        EXPECT_TRUE(std::regex_search(out, std::regex(r.warning + stamp + "WARNING: Datagrams are expected"))) << out;
        EXPECT_TRUE(std::regex_search(out, std::regex(r.normal + stamp + "Listening on UDP port"))) << out;
        signal_child(c, SIGTERM);
        EXPECT_EQ(status_within(&c, 3000), 0);
    }
}
