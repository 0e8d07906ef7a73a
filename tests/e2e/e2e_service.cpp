// The programs as the systemd units and their drop-ins run them: an unprivileged user with one capability.
#include "tests/e2e/e2e_support.h"

// The TAP drop-in: the user nobody with CAP_NET_ADMIN alone, /proc/sys read-only but for the two folders of interface
// settings (ProtectKernelTunables= and ReadWritePaths=), makes its TAP interface passive and writes frames into it.
// /dev/net/tun as Debian has it, open to every user, in this mount namespace only.
TEST(ServiceUnits, TheCollectorMakesItsTapInterfaceWithCapNetAdminAlone)
{
    if (geteuid() || access("/proc/sys/net/ipv6", F_OK) || access("/dev/net/tun", F_OK))
        GTEST_SKIP() << "needs root, IPv6 and /dev/net/tun";
    char dir[] = "/tmp/vantry-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::unique_ptr<char, void (*)(char*)> removed(dir, [](char* d) { std::filesystem::remove_all(d); });
    const std::string ns = "vsvc" + id, name = "vsvc" + id + "t", tun = dir + std::string("/tun");
    netns space(ns);
    std::string words;
    for (const std::string& w : as_nobody_with("net_admin")) words += w + " ";
    const std::string script = "set -e; mount --bind /proc/sys /proc/sys; mount -o remount,bind,ro /proc/sys; "
        "for f in /proc/sys/net/ipv4/conf /proc/sys/net/ipv6/conf; do mount --bind $f $f; mount -o remount,bind,rw $f; "
        "done; mknod -m 666 " + tun +
        " c 10 200; mount --bind " + tun + " /dev/net/tun; exec " + words + VANTRY_BIN_DIR "/vantry_collector -p 0 -K "
        "-i " + name;
    child col;
    const std::uint16_t port = listening_port(&col, space.made | start(&col, "sh", {"-c", script}, ns));
    ASSERT_NE(port, 0) << out_of(col) << err_of(col);
    udp_socket src;
    ASSERT_EQ(udp_open(&src, "127.0.0.1", ns), 0);
    const bytes frame = ethernet(0x88b5, pattern(60, 1));
    udp_send(src, cat({tap_header_bytes(1, 1), tap_record_bytes(0, 0, 74, 74), frame}), port);
    std::string text;
    const std::string read = "ip netns exec " + ns + " cat /sys/class/net/" + name + "/statistics/rx_packets /proc/sys/"
        "net/ipv6/conf/" + name + "/disable_ipv6 /proc/sys/net/ipv4/conf/" + name + "/rp_filter";
    EXPECT_TRUE(poll_until(5000, [&] { return run_command(read, &text) == 0 && text == "1\n1\n1\n"; })) << text;
    signal_child(col, SIGTERM);
    EXPECT_EQ(status_within(&col, 3000), 0);
}
