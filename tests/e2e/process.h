// The end-to-end harness: the built programs as children, network
// namespaces of the test's own, UDP sockets that play collector or TZSP
// sender, and a small frame builder. A child's standard output and error
// go to files in a private temporary folder; a Windows program (.exe) runs
// behind VANTRY_RUN_PREFIX (e.g. "wine"). Only children started here are
// ever signalled, by their PID.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/test_support.h"

struct child_process {
    int pid = -1;          // -1: not running (never started or reaped)
    int exit_status = -1;  // once reaped; -1 if it died from a signal
    bool exited = false;   // reaped
    std::string out_path, err_path, dir;
};

struct process_options {
    std::vector<std::string> env;  // "NAME=value" additions
    std::string netns;             // run inside this namespace (ip netns exec)
};

bool e2e_under_wine();
// "vantry_remote", "vantry_collector": the .exe in VANTRY_WIN_BIN_DIR under Wine, else the native one.
std::string e2e_program_path(const char* name);
// Starts program with args (argv[0] excluded): 0, or -1 if it could not start.
int process_start(child_process* child, const std::string& program, const std::vector<std::string>& args,
                  const process_options& options = {});
// Waits up to timeout_ms for the child to end: 0 ended, 1 still running, -1 not started or error.
int process_wait(child_process* child, int timeout_ms);
// As process_wait, then SIGKILL: 0 ended by itself, 1 killed, -1 error.
int process_finish(child_process* child, int timeout_ms);
std::string process_stdout(const child_process& child);
std::string process_stderr(const child_process& child);
// True once standard output and error together hold needle count times
// within timeout_ms; false as soon as the child has ended without.
bool process_wait_output(child_process* child, const std::string& needle, int timeout_ms, int count = 1);
// Kills a still-running child and removes its folder.
void process_cleanup(child_process* child);

struct scoped_child {
    child_process proc;
    scoped_child() = default;
    scoped_child(const scoped_child&) = delete;
    scoped_child& operator=(const scoped_child&) = delete;
    ~scoped_child() { process_cleanup(&proc); }
};

// Asks done() every 5 ms until it holds (true) or timeout_ms has passed.
bool poll_until(int timeout_ms, const std::function<bool()>& done);
int count_of(const std::string& text, const std::string& what);
std::string file_text(const std::string& path);
// Runs a shell command within 10 s: its exit status, -1 when it could not
// run or did not end. Standard output in *out.
int run_command(const std::string& command, std::string* out = nullptr);

// A network namespace with lo up and, when hosts is given,
// /etc/netns/<name>/hosts, which `ip netns exec` puts in place of
// /etc/hosts. Deleted, with that folder, when it goes and at exit.
struct scoped_netns {
    std::string name;
    bool made = false;
    explicit scoped_netns(const std::string& name, const std::string& hosts = "");
    ~scoped_netns();
    scoped_netns(const scoped_netns&) = delete;
    scoped_netns& operator=(const scoped_netns&) = delete;
};

// Runs fn on a thread inside namespace ns (none: this one), so that the
// sockets and devices it makes stay there. fn's result; -1 if not entered.
int netns_call(const std::string& ns, const std::function<int()>& fn);

// A UDP socket of the test; what it receives is read as Tap datagrams.
struct udp_socket {
    net_socket s = net_invalid_socket;
    std::uint16_t port = 0;            // host order
    std::vector<wire_record> records;  // of the datagrams that decoded
    std::vector<bytes> datagrams;      // all, as received
    bool malformed = false;            // one did not decode
    udp_socket() = default;
    udp_socket(const udp_socket&) = delete;
    udp_socket& operator=(const udp_socket&) = delete;
    ~udp_socket() { net_close(s); }
};

// Binds *u to addr:0 inside ns: 0, or -1.
int udp_open(udp_socket* u, const char* addr = "127.0.0.1", const std::string& ns = "");
void udp_send(const udp_socket& u, const bytes& d, std::uint16_t port);  // to 127.0.0.1
// Receives until u->records holds n records: false if not within timeout_ms.
bool udp_collect(udp_socket* u, std::size_t n, int timeout_ms = 5000);

// Starts vantry_remote /c args (inside ns when named): true once it says
// "Running..." within wait_ms.
bool tap_start(scoped_child* c, const std::vector<std::string>& args, const std::string& ns = "",
               int wait_ms = 30000);
// Ends the tap: SIGTERM, which must end it within a second with status 0;
// under Wine, where it cannot be signalled, by its PID. Its standard output.
std::string tap_stop(scoped_child* c);

bytes cat(std::initializer_list<bytes> parts);
bytes be16(std::size_t v);
std::uint16_t inet_checksum(const bytes& d);
// IPv4 (header checksum filled in) carrying UDP from port 12345 to dport.
bytes ipv4_udp(const bytes& src, const bytes& dst, std::uint16_t dport, const bytes& payload);
// Ethernet; types: those of the 802.1Q tags (TCI 1, 2, ...), then the payload's.
bytes ethernet(const bytes& dst, const bytes& src, std::initializer_list<std::uint16_t> types,
               const bytes& payload);
