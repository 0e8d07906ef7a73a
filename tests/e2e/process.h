// The end-to-end harness: the built programs as children (output in files of a folder of their own, a .exe
// behind VANTRY_RUN_PREFIX, e.g. "wine"; signalled by PID only), network namespaces of the test's own, UDP
// sockets that play collector or TZSP sender, a small frame builder.
#pragma once

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "tests/test_support.h"

struct child_process {
    int pid = -1;          // -1: not running (never started or reaped)
    int exit_status = -1;  // once reaped; -1 if it died from a signal
    bool exited = false;   // reaped
    std::string dir;       // of its standard output and error
};

struct process_options {
    std::vector<std::string> env;  // "NAME=value" additions
    std::string netns;             // run inside this namespace (ip netns exec)
};
std::string file_text(const std::string& path);
inline bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }
inline int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}
inline bool e2e_under_wine() { return std::getenv("VANTRY_RUN_PREFIX") && *std::getenv("VANTRY_RUN_PREFIX"); }
// "vantry_remote", "vantry_collector": the .exe in VANTRY_WIN_BIN_DIR under Wine, else the native one.
std::string e2e_program_path(const char* name);
// Starts program with args (argv[0] excluded): 0, or -1 if it could not start.
int process_start(child_process* child, const std::string& program, const std::vector<std::string>& args,
                  const process_options& options = {});
// Sends sig to the child while it runs: 0, or -1. Never to PID -1, which would be every process.
inline int process_signal(const child_process& c, int sig) { return c.pid > 0 && !c.exited ? kill(c.pid, sig) : -1; }
// Waits up to timeout_ms for the child to end (or its wait to fail), then SIGKILL: 0 ended by itself,
// 1 killed, -1 not started.
int process_finish(child_process* child, int timeout_ms);
inline std::string process_stdout(const child_process& c) { return file_text(c.dir + "/stdout"); }
inline std::string process_stderr(const child_process& c) { return file_text(c.dir + "/stderr"); }
// True once standard output and error hold needle count times within timeout_ms; false once it ended without.
bool process_wait_output(child_process* child, const std::string& needle, int timeout_ms, int count = 1);
struct scoped_child {
    child_process proc;
    scoped_child() = default;
    scoped_child(const scoped_child&) = delete;
    scoped_child& operator=(const scoped_child&) = delete;
    ~scoped_child();  // kills the child if it still runs, removes its folder
};
// Asks done() every 5 ms until it holds (true) or timeout_ms has passed.
bool poll_until(int timeout_ms, const std::function<bool()>& done);
// Runs a shell command within 10 s: its exit status, -1 if it could not run or end. Standard output in *out.
int run_command(const std::string& command, std::string* out = nullptr);
// Makes namespace name with lo up and, when hosts is given, the hosts file `ip netns exec` puts in place of
// /etc/hosts: 0, or -1. netns_delete, or else the exit, deletes both.
int netns_add(const std::string& name, const std::string& hosts = "");
void netns_delete(const std::string& name);
// Runs fn on a thread inside namespace ns (none: this one): the sockets and devices it makes stay there.
// fn's result; -1 if not entered.
int netns_call(const std::string& ns, const std::function<int()>& fn);
// A UDP socket of the test; what it receives is read as Tap datagrams.
struct udp_socket {
    net_socket s = net_invalid_socket;
    std::uint16_t port = 0;            // host order
    std::vector<wire_record> records;  // of the datagrams that decoded
    std::vector<bytes> datagrams;      // all, as received
    udp_socket() = default;
    udp_socket(const udp_socket&) = delete;
    udp_socket& operator=(const udp_socket&) = delete;
    ~udp_socket() { net_close(s); }
};
// Binds *u to addr:0 inside ns: 0, or -1.
int udp_open(udp_socket* u, const char* addr = "127.0.0.1", const std::string& ns = "");
inline void udp_send(const udp_socket& u, const bytes& d, std::uint16_t port)  // to 127.0.0.1
{
    net_send_to(u.s, d.data(), d.size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
}
// Receives until u->records holds n records: false if not within timeout_ms.
bool udp_collect(udp_socket* u, std::size_t n, int timeout_ms = 5000);
// Starts vantry_remote /c args (inside ns when named): true once it says "Running..." within wait_ms.
bool tap_start(scoped_child* c, std::vector<std::string> args, const std::string& ns = "", int wait_ms = 30000);
// Ends the tap: SIGTERM, which must end it within a second with status 0; under Wine, where it cannot be
// signalled, by its PID. Its standard output.
std::string tap_stop(scoped_child* c);
inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes d;
    for (const bytes& p : parts) d.insert(d.end(), p.begin(), p.end());
    return d;
}
inline bytes be16(std::size_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }
inline bytes inet_checksum(const bytes& d)  // big-endian
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < d.size(); i += 2) sum += d[i] << 8 | (i + 1 < d.size() ? d[i + 1] : 0);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return be16(~sum & 0xffff);
}
// IPv4 (header checksum filled in) carrying UDP from port 12345 to dport.
bytes ipv4_udp(const bytes& src, const bytes& dst, std::uint16_t dport, const bytes& payload);
// Ethernet; types: those of the 802.1Q tags (TCI 1, 2, ...), then the payload's. By default to a unicast address
// nobody has, so that a receiving stack drops the frame unanswered.
bytes ethernet(std::initializer_list<std::uint16_t> types, const bytes& payload, const bytes& dst = {2, 0, 0, 0, 0, 9},
               const bytes& src = bytes(6, 2));
