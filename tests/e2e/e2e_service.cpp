// The programs as the systemd units and their drop-ins run them: an unprivileged user with one capability.
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
