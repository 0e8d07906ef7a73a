#include "tests/e2e/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

extern char** environ;

using std::chrono::steady_clock;

bool poll_until(int timeout_ms, const std::function<bool()>& done)
{
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

namespace {
std::vector<std::string> live_netns;  // deleted at exit if still there
}

int process_start(child_process* child, const std::string& program, const std::vector<std::string>& args,
                  const process_options& options)
{
    *child = child_process{};
    char dir[] = "/tmp/vantry-e2e-XXXXXX";
    if (!mkdtemp(dir))
        return -1;
    child->dir = dir;
    child->out_path = child->dir + "/stdout";
    child->err_path = child->dir + "/stderr";
    // A shell that puts the program in its place: env sets the additions,
    // ip netns exec enters the namespace, the prefix runs a Windows program.
    const auto quoted = [](std::string w) {
        for (std::size_t at = 0; (at = w.find('\'', at)) != std::string::npos; at += 4)
            w.replace(at, 1, "'\\''");
        return " '" + w + "'";
    };
    std::string command = "exec env";
    for (const std::string& e : options.env)
        command += quoted(e);
    if (!options.netns.empty())
        command += " ip netns exec" + quoted(options.netns);
    const char* prefix = std::getenv("VANTRY_RUN_PREFIX");
    if (prefix && program.ends_with(".exe"))
        command += std::string(" ") + prefix;
    command += quoted(program);
    for (const std::string& a : args)
        command += quoted(a);
    command += " </dev/null >" + child->out_path + " 2>" + child->err_path;
    // A process group of its own: a signal to the test runner's does not reach it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    const int r = posix_spawnp(&pid, "sh", nullptr, &attr, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attr);
    child->pid = r == 0 ? pid : -1;
    return r == 0 ? 0 : -1;
}

int process_wait(child_process* child, int timeout_ms)
{
    if (child->exited || child->pid <= 0)
        return child->exited ? 0 : -1;
    bool failed = false;
    const bool ended = poll_until(timeout_ms, [&] {
        int status = 0;
        const pid_t r = waitpid(child->pid, &status, WNOHANG);
        if (r == child->pid) {
            child->exited = true;
            child->pid = -1;
            child->exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        failed = r < 0 && errno != EINTR;
        return child->exited || failed;
    });
    return failed ? -1 : ended ? 0 : 1;
}

int process_finish(child_process* child, int timeout_ms)
{
    const int r = process_wait(child, timeout_ms);
    if (r == 1)
        kill(child->pid, SIGKILL);
    return r != 1 ? r : process_wait(child, 5000) == 0 ? 1 : -1;
}

std::string file_text(const std::string& path)
{
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

std::string process_stdout(const child_process& child) { return file_text(child.out_path); }
std::string process_stderr(const child_process& child) { return file_text(child.err_path); }

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

bool process_wait_output(child_process* child, const std::string& needle, int timeout_ms, int count)
{
    bool found = false;
    poll_until(timeout_ms, [&] {
        // Reaped first, so that the last read sees all it wrote.
        const bool ended = process_wait(child, 0) != 1;
        found = count_of(process_stdout(*child) + process_stderr(*child), needle) >= count;
        return found || ended;
    });
    return found;
}

void process_cleanup(child_process* child)
{
    if (!child->exited && child->pid > 0)
        process_finish(child, 0);
    if (!child->dir.empty())
        std::filesystem::remove_all(child->dir);
    child->dir.clear();
}

bool e2e_under_wine() { return std::getenv("VANTRY_RUN_PREFIX") && *std::getenv("VANTRY_RUN_PREFIX"); }

std::string e2e_program_path(const char* name)
{
    const char* win = std::getenv("VANTRY_WIN_BIN_DIR");
    if (e2e_under_wine() && win && *win)
        return std::string(win) + "/" + name + ".exe";
    return std::string(VANTRY_BIN_DIR "/") + name;
}

int run_command(const std::string& command, std::string* out)
{
    scoped_child c;
    if (process_start(&c.proc, "sh", {"-c", command}) != 0 || process_finish(&c.proc, 10000) != 0)
        return -1;
    if (out)
        *out = process_stdout(c.proc);
    return c.proc.exit_status;
}

scoped_netns::scoped_netns(const std::string& n, const std::string& hosts) : name(n)
{
    static const int at_exit = std::atexit([] {
        for (const std::string& ns : live_netns)
            run_command("ip netns del " + ns + "; rm -rf /etc/netns/" + ns);
    });
    (void)at_exit;
    live_netns.push_back(name);
    const std::string dir = "/etc/netns/" + name;
    made = run_command("ip netns add " + name + " && ip -n " + name + " link set lo up" +
                       (hosts.empty() ? "" : " && mkdir -p " + dir + " && printf %s '" + hosts + "' >" + dir + "/hosts")) == 0;
}

scoped_netns::~scoped_netns()
{
    run_command("ip netns del " + name + "; rm -rf /etc/netns/" + name);
    std::erase(live_netns, name);
}

int netns_call(const std::string& ns, const std::function<int()>& fn)
{
    if (ns.empty())
        return fn();
    int result = -1;
    std::thread t([&] {
        const int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0)
            result = fn();
        if (fd >= 0)
            close(fd);
    });
    t.join();
    return result;
}

int udp_open(udp_socket* u, const char* addr, const std::string& ns)
{
    return netns_call(ns, [&] {
        std::uint32_t a = 0;
        u->s = net_udp_socket();
        if (net_resolve_ipv4(addr, &a) != 0 || net_bind(u->s, a, 0) != 0)
            return -1;
        u->port = net_local_port(u->s);
        return u->port ? 0 : -1;
    });
}

void udp_send(const udp_socket& u, const bytes& d, std::uint16_t port)
{
    net_send_to(u.s, d.data(), d.size(), {ipv4_of(127, 0, 0, 1), net_order16(port)});
}

bool udp_collect(udp_socket* u, std::size_t n, int timeout_ms)
{
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (u->records.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady_clock::now());
        if (net_wait_readable(u->s, std::max<long>(0, static_cast<long>(left.count()))) != 1)
            return false;
        bytes d(70000);
        const long got = net_recv_from(u->s, d.data(), d.size(), nullptr);
        d.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
        u->malformed |= !decode_records(d, &u->records);
        u->datagrams.push_back(d);
    }
    return true;
}

bool tap_start(scoped_child* c, const std::vector<std::string>& args, const std::string& ns, int wait_ms)
{
    std::vector<std::string> argv = {"/c"};
    argv.insert(argv.end(), args.begin(), args.end());
    return process_start(&c->proc, e2e_program_path("vantry_remote"), argv, {{}, ns}) == 0 &&
           process_wait_output(&c->proc, "Running...", wait_ms);
}

std::string tap_stop(scoped_child* c)
{
    if (e2e_under_wine()) {
        process_finish(&c->proc, 0);
        return process_stdout(c->proc);
    }
    EXPECT_EQ(kill(c->proc.pid, SIGTERM), 0);
    EXPECT_EQ(process_finish(&c->proc, 1000), 0) << "not ended within a second of SIGTERM";
    EXPECT_EQ(c->proc.exit_status, 0);
    const std::string out = process_stdout(c->proc);
    EXPECT_NE(out.find("Shutting down..."), std::string::npos) << out;
    return out;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes d;
    for (const bytes& p : parts)
        d.insert(d.end(), p.begin(), p.end());
    return d;
}

bytes be16(std::size_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }

std::uint16_t inet_checksum(const bytes& d)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < d.size(); i += 2)
        sum += static_cast<std::uint32_t>(d[i] << 8 | (i + 1 < d.size() ? d[i + 1] : 0));
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

bytes ipv4_udp(const bytes& src, const bytes& dst, std::uint16_t dport, const bytes& payload)
{
    bytes ip = cat({{0x45, 0}, be16(28 + payload.size()), {0, 0, 0, 0, 64, 17, 0, 0}, src, dst});
    const bytes sum = be16(inet_checksum(ip));
    std::copy(sum.begin(), sum.end(), ip.begin() + 10);
    return cat({ip, {0x30, 0x39}, be16(dport), be16(8 + payload.size()), {0, 0}, payload});
}

bytes ethernet(const bytes& dst, const bytes& src, std::initializer_list<std::uint16_t> types, const bytes& payload)
{
    bytes f = cat({dst, src});
    std::size_t n = 0;
    for (std::uint16_t t : types)
        f = ++n < types.size() ? cat({f, be16(t), be16(n)}) : cat({f, be16(t)});
    return cat({f, payload});
}
