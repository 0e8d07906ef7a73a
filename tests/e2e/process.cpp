#include "tests/e2e/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

bool poll_until(int timeout_ms, const std::function<bool()>& done)
{
    const auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    while (!done()) {
        if (steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

int process_start(child_process* child, const std::string& program, const std::vector<std::string>& args,
                  const process_options& options)
{
    *child = child_process{};
    char dir[] = "/tmp/vantry-e2e-XXXXXX";
    if (!mkdtemp(dir)) return -1;
    child->dir = dir;
    // A shell that puts the program in its place: setsid gives it a group of its own (signals to the runner's
    // do not reach it), env sets the additions, ip netns exec enters the namespace, the prefix runs a .exe.
    const auto quoted = [](std::string w) {
        for (std::size_t at = 0; (at = w.find('\'', at)) != std::string::npos; at += 4) w.replace(at, 1, "'\\''");
        return " '" + w + "'";
    };
    std::string command = "exec setsid env";
    for (const std::string& e : options.env) command += quoted(e);
    if (!options.netns.empty()) command += " ip netns exec" + quoted(options.netns);
    if (program.ends_with(".exe") && e2e_under_wine()) command += std::string(" ") + std::getenv("VANTRY_RUN_PREFIX");
    command += quoted(program);
    for (const std::string& a : args) command += quoted(a);
    command += " </dev/null >" + child->dir + "/stdout 2>" + child->dir + "/stderr";
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    if (posix_spawnp(&child->pid, "sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0) return 0;
    return child->pid = -1;
}

static int process_wait(child_process* child, int timeout_ms)
{
    if (child->exited || child->pid <= 0) return child->exited ? 0 : -1;
    int status = -1;  // stays so, read as a death by signal, when waitpid fails
    if (!poll_until(timeout_ms, [&] { return waitpid(child->pid, &status, WNOHANG) != 0; })) return 1;
    child->exited = true;
    child->pid = -1;
    child->exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return 0;
}

int process_finish(child_process* child, int timeout_ms)
{
    const int r = process_wait(child, timeout_ms);
    if (r == 1) process_signal(*child, SIGKILL);
    return r != 1 ? r : process_wait(child, 5000) == 0 ? 1 : -1;
}

bool process_wait_output(child_process* child, const std::string& needle, int timeout_ms, int count)
{
    bool found = false;
    poll_until(timeout_ms, [&] {
        const bool ended = process_wait(child, 0) != 1;  // first: the read then sees all it wrote
        found = count_of(process_stdout(*child) + process_stderr(*child), needle) >= count;
        return found || ended;
    });
    return found;
}

scoped_child::~scoped_child()
{
    if (!proc.exited && proc.pid > 0) process_finish(&proc, 0);
    if (!proc.dir.empty()) std::filesystem::remove_all(proc.dir);
}

std::string file_text(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string e2e_program_path(const char* name)
{
    const char* win = std::getenv("VANTRY_WIN_BIN_DIR");
    if (e2e_under_wine() && win && *win) return std::string(win) + "/" + name + ".exe";
    return VANTRY_BIN_DIR "/" + std::string(name);
}

int run_command(const std::string& command, std::string* out)
{
    scoped_child c;
    if (process_start(&c.proc, "sh", {"-c", command}) != 0 || process_finish(&c.proc, 10000) != 0) return -1;
    if (out) *out = process_stdout(c.proc);
    return c.proc.exit_status;
}

static std::vector<std::string> live_netns;  // deleted at exit if still there

int netns_add(const std::string& name, const std::string& hosts)
{
    [[maybe_unused]] static int at_exit = std::atexit([] {
        while (!live_netns.empty()) netns_delete(std::string(live_netns.back()));  // a copy: the erase moves it
    });
    live_netns.push_back(name);
    const std::string dir = "/etc/netns/" + name, write = " && printf %s '" + hosts + "' >" + dir + "/hosts";
    const std::string add = "ip netns add " + name + " && ip -n " + name + " link set lo up";
    return run_command(add + (hosts.empty() ? "" : " && mkdir -p " + dir + write)) ? -1 : 0;
}

void netns_delete(const std::string& name)
{
    run_command("ip netns del " + name + "; rm -rf /etc/netns/" + name);
    std::erase(live_netns, name);
}

int netns_call(const std::string& ns, const std::function<int()>& fn)
{
    if (ns.empty()) return fn();
    int result = -1;
    std::thread([&] {
        const int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) result = fn();
        if (fd >= 0) close(fd);
    }).join();
    return result;
}

int udp_open(udp_socket* u, const char* addr, const std::string& ns)
{
    return netns_call(ns, [&] {
        std::uint32_t a = 0;
        u->s = net_udp_socket();
        if (net_resolve_ipv4(addr, &a) != 0 || net_bind(u->s, a, 0) != 0) return -1;
        u->port = net_local_port(u->s);
        return u->port ? 0 : -1;
    });
}

bool udp_collect(udp_socket* u, std::size_t n, int timeout_ms)
{
    const auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    while (u->records.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady_clock::now());
        if (net_wait_readable(u->s, std::max<long>(0, left.count())) != 1) return false;
        bytes d(70000);
        d.resize(std::max(0L, net_recv_from(u->s, d.data(), d.size(), nullptr)));
        decode_records(d, &u->records);
        u->datagrams.push_back(d);
    }
    return true;
}

bool tap_start(scoped_child* c, std::vector<std::string> args, const std::string& ns, int wait_ms)
{
    args.insert(args.begin(), "/c");
    return process_start(&c->proc, e2e_program_path("vantry_remote"), args, {{}, ns}) == 0 &&
           process_wait_output(&c->proc, "Running...", wait_ms);
}

std::string tap_stop(scoped_child* c)
{
    if (e2e_under_wine()) return process_finish(&c->proc, 0), process_stdout(c->proc);
    EXPECT_EQ(process_signal(c->proc, SIGTERM), 0);
    EXPECT_EQ(process_finish(&c->proc, 1000), 0) << "not ended within a second of SIGTERM";
    EXPECT_EQ(c->proc.exit_status, 0);
    const std::string out = process_stdout(c->proc);
    EXPECT_TRUE(has(out, "Shutting down...")) << out;
    return out;
}

bytes ipv4_udp(const bytes& src, const bytes& dst, std::uint16_t dport, const bytes& payload)
{
    const bytes head = cat({{0x45, 0}, be16(28 + payload.size()), {0, 0, 0, 0, 64, 17}}), addrs = cat({src, dst});
    return cat({head, inet_checksum(cat({head, {0, 0}, addrs})), addrs, {0x30, 0x39}, be16(dport),
                be16(8 + payload.size()), {0, 0}, payload});
}

bytes ethernet(std::initializer_list<std::uint16_t> types, const bytes& payload, const bytes& dst, const bytes& src)
{
    bytes f = cat({dst, src});
    std::size_t n = 0;
    for (std::uint16_t t : types) f = ++n < types.size() ? cat({f, be16(t), be16(n)}) : cat({f, be16(t)});
    return cat({f, payload});
}
