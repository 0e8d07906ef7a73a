// Frames per second that vantry_collector receives, decodes and writes as
// pcapng to a file on tmpfs, against a bare receiver that only takes the
// same datagrams with recvmmsg and writes their frames as enhanced packet
// blocks (without looking at them: it knows where the frames lie).
//
// A sender thread (core 0) sends pre-built Tap datagrams over loopback to
// 127.0.0.1 with sendmmsg, 64 per call, paced to a rate or as fast as it
// can; the receiver under test runs alone on core 1. The datagrams are
// laid out as the tap lays them out: records added until the datagram
// passes 1,480 bytes (20 frames of 64 bytes, one of 1,514). For each frame
// size: the collector with -k (Speck) and -K (clear), each against the
// bare receiver doing the same (-k: it deciphers each datagram first). A case's rate: the sender's own limit first; when frames are
// lost there, a bisection below what was sent. Lost: frames sent less the
// frames the receiver counts (the collector's closing summary). Frames per
// CPU second are taken at the sender's limit, where the receiver is busy
// all the time. Then the collector (-k) at the rates a tap produces
// (--check), once per run. Both receivers ask for a 4 MiB receive buffer;
// their files are removed after each step (a step of a second at 1,514
// bytes may write 1.5 GB: no rotation, whose file removals would stall
// the receiver in the middle of a step).
//
// Usage: bench_collector [--runs 3] [--seconds 1] [--sizes 64,1514]
//                        [--steps 6] [--check 1200000,700000]
//                        [--collector PATH] [--dir DIR] [--gso 1] [--fifo 1]
//                        [--workers 1,2] [--cpus 1] [--sources 1]
// --collector defaults to vantry_collector beside this program, --dir to
// /dev/shm (a folder for the files is made in it and removed). As root the
// receiver runs at SCHED_FIFO (--fifo 0: not), so that other work on a
// shared machine does not decide the rate; --gso 0 sends a message per
// datagram. --workers 1,2 compares the collector (-k) with those worker
// counts instead (0: no -j, for a collector older than workers) (frames per CPU second of its busiest thread: the rate
// with a core for each thread); --cpus 0,1 sets the receiver's cores
// (default 1); --sources N sends from N sockets in turn, as N taps.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "wire/speck.h"
#include "wire/tap_datagram.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr const char* bench_key = "bench key for the collector";
constexpr int receive_buffer = 4 << 20;

void pin_self(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

double seconds_since(clock_type::time_point t)
{
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

// CPU seconds (user + system) of a process (or, with tid, of one of its
// threads) so far.
double cpu_seconds(pid_t pid, const std::string& tid = "")
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + (tid.empty() ? "" : "/task/" + tid) + "/stat");
    const std::size_t p = stat.rfind(')');
    unsigned long utime = 0, stime = 0;
    if (p == std::string::npos ||
        std::sscanf(stat.c_str() + p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                    &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of each thread of a process so far, by thread id.
std::vector<std::pair<std::string, double>> thread_seconds(pid_t pid)
{
    std::vector<std::pair<std::string, double>> out;
    std::error_code e;
    for (const auto& t : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", e))
        out.emplace_back(t.path().filename().string(), cpu_seconds(pid, t.path().filename().string()));
    return out;
}

// The most CPU seconds one thread spent between two readings.
double busiest_thread(const std::vector<std::pair<std::string, double>>& before,
                      const std::vector<std::pair<std::string, double>>& after)
{
    double most = 0;
    for (const auto& [tid, now] : after) {
        double was = 0;
        for (const auto& [t, v] : before)
            if (t == tid) was = v;
        most = std::max(most, now - was);
    }
    return most;
}

// A list of cores such as "1" or "0,1" as an affinity set.
void pin_to(const std::vector<double>& cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (double c : cpus)
        CPU_SET(static_cast<int>(c), &set);
    sched_setaffinity(0, sizeof set, &set);
}

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

std::uint16_t free_port()
{
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// ---- the datagrams --------------------------------------------------------

struct datagram_set {
    unsigned frame = 0;      // bytes per frame
    unsigned per = 0;        // frames per datagram
    std::size_t size = 0;    // bytes per datagram
    std::vector<std::vector<std::uint8_t>> d;  // 64, sent in turn
};

datagram_set build(unsigned frame, bool encrypt)
{
    datagram_set s;
    s.frame = frame;
    s.size = tap_header_size;
    while (s.size < 1480) {
        s.size += tap_record_header_size + frame;
        ++s.per;
    }
    for (unsigned i = 0; i < 64; ++i) {
        std::vector<std::uint8_t> b(s.size);
        tap_write_header(b.data(), 7);
        b[tap_count_offset] = static_cast<std::uint8_t>(s.per);
        std::size_t at = tap_header_size;
        for (unsigned k = 0; k < s.per; ++k) {
            tap_write_record_header(b.data() + at, 1700000000 + i, k, static_cast<std::uint16_t>(frame),
                                    static_cast<std::uint16_t>(frame));
            at += tap_record_header_size;
            for (unsigned j = 0; j < frame; ++j)
                b[at + j] = static_cast<std::uint8_t>(i * 31 + k * 7 + j);
            at += frame;
        }
        if (encrypt)
            tap_crypt(b.data(), b.data(), b.size(), *speck_key);
        s.d.push_back(std::move(b));
    }
    return s;
}

// Sends the set to 127.0.0.1:port for seconds, at fps frames per second
// (0: as fast as it goes). Runs of datagrams go as segmented messages
// (UDP_SEGMENT), as the tap sends them, which costs the sender's core
// least; one message per datagram where the kernel refuses that. The
// datagrams sent.
bool use_gso = true;  // --gso 0: one message per datagram
int sender_sources = 1;  // --sources N: sockets sending in turn

std::uint64_t send_for(std::uint16_t port, const datagram_set& s, double fps, double seconds)
{
    // One socket per source (--sources), each call from the next: a
    // fleet of taps as the collector's workers see it.
    std::vector<int> fds;
    const sockaddr_in to = loopback(port);
    for (int k = 0; k < sender_sources; ++k) {
        fds.push_back(::socket(AF_INET, SOCK_DGRAM, 0));
        ::connect(fds.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
        const int sndbuf = 4 << 20;
        ::setsockopt(fds.back(), SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);
    }
    std::size_t call = 0;
    // One run: as many whole datagrams as one UDP message holds.
    const unsigned run = std::min<unsigned>(64, 65507 / static_cast<unsigned>(s.size));
    std::vector<std::uint8_t> blob;
    for (unsigned i = 0; i < run; ++i)
        blob.insert(blob.end(), s.d[i].begin(), s.d[i].end());
    constexpr int messages = 8;
    mmsghdr msgs[64] = {};
    iovec iov[64];
    alignas(cmsghdr) char control[messages][CMSG_SPACE(sizeof(std::uint16_t))] = {};
    for (int i = 0; i < messages; ++i) {
        iov[i] = {blob.data(), blob.size()};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_control = control[i];
        msgs[i].msg_hdr.msg_controllen = sizeof control[i];
        cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto segment = static_cast<std::uint16_t>(s.size);
        std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
    }
    bool gso = use_gso, plain = false;
    const double dps = fps / s.per;  // datagrams per second
    std::uint64_t sent = 0;
    double skipped = 0;  // datagrams not sent while the sender was not running
    const auto start = clock_type::now();
    for (double t = 0; t < seconds; t = seconds_since(start)) {
        const double due = (static_cast<double>(sent) + skipped) / dps;
        if (dps > 0 && due > t) {
            if (due - t > 0.002)
                std::this_thread::sleep_for(std::chrono::duration<double>(due - t - 0.001));
            continue;
        }
        // Late by more than 2 ms (another process had the core): no burst
        // to catch up, which would measure the burst, not the rate.
        if (dps > 0 && t - due > 0.002)
            skipped += (t - due - 0.002) * dps;
        const int fd = fds[call++ % fds.size()];
        if (gso) {
            const int r = ::sendmmsg(fd, msgs, messages, 0);
            if (r > 0)
                sent += static_cast<std::uint64_t>(r) * run;
            else if (sent == 0)
                gso = false;
            if (!gso)
                std::fprintf(stderr, "segmented sends refused: one message per datagram\n");
            continue;
        }
        if (!plain) {
            for (int i = 0; i < 64; ++i) {
                iov[i] = {const_cast<std::uint8_t*>(s.d[i].data()), s.size};
                msgs[i].msg_hdr = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            plain = true;
        }
        const int r = ::sendmmsg(fd, msgs, 64, 0);
        if (r > 0)
            sent += static_cast<std::uint64_t>(r);
    }
    for (int fd : fds)
        ::close(fd);
    return sent;
}

// ---- the bare receiver ----------------------------------------------------

volatile sig_atomic_t bare_stop = 0;

void put(std::FILE* f, const void* p, std::size_t n, std::uint64_t* size)
{
    std::fwrite(p, 1, n, f);
    *size += n;
}

void le32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A pcapng file: section header and one Ethernet interface.
std::FILE* bare_open(const std::string& path, std::uint64_t* size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return nullptr;
    static std::vector<char> buffer(1 << 20);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    std::uint8_t shb[28] = {}, idb[20] = {};
    le32(shb, 0x0a0d0d0a), le32(shb + 4, 28), le32(shb + 8, 0x1a2b3c4d), shb[12] = 1;
    std::memset(shb + 16, 0xff, 8), le32(shb + 24, 28);
    le32(idb, 1), le32(idb + 4, 20), idb[8] = 1, le32(idb + 12, 65535), le32(idb + 16, 20);
    *size = 0;
    put(f, shb, sizeof shb, size), put(f, idb, sizeof idb, size);
    return f;
}

// Receives on port until SIGTERM, writing every frame of the set's layout
// as an enhanced packet block; with decrypt, each datagram deciphered first
// (the cipher's cost, which the collector pays with -k).
[[noreturn]] void bare_receiver(std::uint16_t port, const datagram_set& s, const std::string& dir, bool decrypt)
{
    struct sigaction sa{};
    sa.sa_handler = [](int) { bare_stop = 1; };
    sigaction(SIGTERM, &sa, nullptr);  // no SA_RESTART: the receive returns
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in at = loopback(port);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
        std::_Exit(2);
    std::printf("Listening\n");
    std::fflush(stdout);
    constexpr int batch = 64;
    static std::uint8_t bufs[batch][65536];
    mmsghdr msgs[batch] = {};
    iovec iov[batch];
    for (int i = 0; i < batch; ++i) {
        iov[i] = {bufs[i], sizeof bufs[i]};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    std::uint64_t size = 0, datagrams = 0;
    std::FILE* f = bare_open(dir + "/bare.pcapng", &size);
    const std::uint32_t pad = (4 - s.frame % 4) % 4, block = 32 + s.frame + pad;
    while (!bare_stop && f) {
        const int got = ::recvmmsg(fd, msgs, batch, MSG_WAITFORONE, nullptr);
        for (int i = 0; i < got; ++i, ++datagrams) {
            if (decrypt)
                tap_crypt(bufs[i], bufs[i], msgs[i].msg_len, *speck_key);
            const std::uint8_t* p = bufs[i] + tap_header_size;
            for (unsigned k = 0; k < s.per; ++k, p += tap_record_header_size + s.frame) {
                // The block whole, then one write.
                static std::uint8_t out[28 + 65536 + 8];
                std::memset(out, 0, 28);
                le32(out, 6), le32(out + 4, block), le32(out + 16, s.frame), le32(out + 20, s.frame);
                le32(out + 24, s.frame);
                std::memcpy(out + 28, p + tap_record_header_size, s.frame);
                std::memset(out + 28 + s.frame, 0, pad);
                le32(out + 28 + s.frame + pad, block);
                put(f, out, block, &size);
            }
        }
    }
    if (f)
        std::fclose(f);
    std::printf("Received %llu datagrams, %llu frames;\n", static_cast<unsigned long long>(datagrams),
                static_cast<unsigned long long>(datagrams * s.per));
    std::fflush(stdout);
    std::_Exit(0);
}

// UDP datagrams the kernel dropped for a full receive buffer, host-wide.
unsigned long long udp_counter(const char* which)
{
    std::ifstream in("/proc/net/snmp");
    std::string line, head;
    while (std::getline(in, line)) {
        if (line.rfind("Udp: ", 0) != 0)
            continue;
        if (head.empty()) {
            head = line;
            continue;
        }
        std::stringstream names(head), values(line);
        std::string name, value;
        while (names >> name && values >> value)
            if (name == which)
                return std::stoull(value);
    }
    return 0;
}

// ---- one step -------------------------------------------------------------

struct receiver {
    std::string name;
    bool bare = false;
    bool encrypted = false;
    unsigned workers = 0;  // the collector's -j; 0: none given (its default, or an older collector)
};

struct step_result {
    std::uint64_t sent = 0;      // frames
    std::uint64_t received = 0;  // frames
    double seconds = 0;          // of sending
    double cpu = 0;              // of the receiver, seconds
    double busiest = 0;          // of its busiest thread, seconds
    bool ok = false;             // the receiver started and reported
    unsigned long long buffer_drops = 0;  // datagrams, host-wide, while it ran
};

struct bench_setup {
    std::string collector, dir;
    std::vector<double> cpus = {1};  // the receiver's cores
    double seconds = 1;
    bool fifo = true;  // the receiver at real-time priority
};

bool wait_for(const std::string& path, const char* what, pid_t pid)
{
    for (int i = 0; i < 500; ++i) {
        if (read_file(path).find(what) != std::string::npos)
            return true;
        if (waitpid(pid, nullptr, WNOHANG) != 0)
            return false;
        usleep(10000);
    }
    return false;
}

step_result run_step(const bench_setup& b, const receiver& r, const datagram_set& s, double fps)
{
    step_result res;
    const std::uint16_t port = free_port();
    const std::string log = b.dir + "/log";
    std::filesystem::create_directories(b.dir + "/files");
    std::filesystem::remove(log);  // "Listening" must be this receiver's
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        pin_to(b.cpus);
        // Other processes on the core would hold the receiver off for
        // milliseconds at a time, long enough to fill its buffer whatever
        // it costs: the receiver goes first (as root).
        if (b.fifo) {
            sched_param prio{};
            prio.sched_priority = 10;
            sched_setscheduler(0, SCHED_FIFO, &prio);
        }
        std::freopen(log.c_str(), "w", stdout);
        dup2(fileno(stdout), 2);
        if (r.bare)
            bare_receiver(port, s, b.dir + "/files", r.encrypted);
        const std::string p = std::to_string(port), w = b.dir + "/files/c.pcapng",
                          rb = std::to_string(receive_buffer), j = std::to_string(r.workers);
        const char* jw = r.workers ? "-j" : nullptr;  // the list ends there without one
        if (r.encrypted)
            execl(b.collector.c_str(), "vantry_collector", "-p", p.c_str(), "-b", "127.0.0.1", "-k", bench_key,
                  "-r", rb.c_str(), "-w", w.c_str(), jw, j.c_str(), nullptr);
        else
            execl(b.collector.c_str(), "vantry_collector", "-p", p.c_str(), "-b", "127.0.0.1", "-K", "-r",
                  rb.c_str(), "-w", w.c_str(), jw, j.c_str(), nullptr);
        std::_Exit(127);
    }
    if (pid > 0 && wait_for(log, "Listening", pid)) {
        const double cpu0 = cpu_seconds(pid);
        const auto threads0 = thread_seconds(pid);
        const unsigned long long errors0 = udp_counter("RcvbufErrors");
        const auto start = clock_type::now();
        res.sent = send_for(port, s, fps, b.seconds) * s.per;
        res.seconds = seconds_since(start);
        usleep(300000);  // what is queued drains
        res.cpu = cpu_seconds(pid) - cpu0;
        res.busiest = busiest_thread(threads0, thread_seconds(pid));
        res.buffer_drops = udp_counter("RcvbufErrors") - errors0;
        kill(pid, SIGTERM);
    } else if (pid > 0) {
        kill(pid, SIGKILL);
    }
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    const std::string text = read_file(log);
    unsigned long long datagrams = 0, frames = 0;
    const std::size_t at = text.find("Received ");
    res.ok = at != std::string::npos &&
             std::sscanf(text.c_str() + at, "Received %llu datagrams, %llu frames", &datagrams, &frames) == 2;
    res.received = frames;
    std::filesystem::remove_all(b.dir + "/files");
    return res;
}

struct case_result {
    double rate = 0;          // highest frames/s without loss
    double per_cpu = 0;       // frames per CPU second at the sender's limit
    double per_busiest = 0;   // frames per CPU second of the busiest thread: the rate with a core per thread
    bool sender_bound = false;  // no loss even at the sender's limit
};

case_result run_case(const bench_setup& b, const receiver& r, const datagram_set& s, int steps)
{
    case_result c;
    const step_result top = run_step(b, r, s, 0);
    if (!top.ok) {
        std::fprintf(stderr, "%s did not run or report (see %s/log)\n", r.name.c_str(), b.dir.c_str());
        std::exit(1);
    }
    c.per_cpu = top.cpu > 0 ? static_cast<double>(top.received) / top.cpu : 0;
    c.per_busiest = top.busiest > 0 ? static_cast<double>(top.received) / top.busiest : 0;
    const double sent_rate = static_cast<double>(top.sent) / top.seconds;
    if (top.received >= top.sent) {
        c.rate = sent_rate;
        c.sender_bound = true;
        return c;
    }
    double lo = 0, hi = sent_rate;
    for (int i = 0; i < steps; ++i) {
        const double mid = (lo + hi) / 2;
        const step_result st = run_step(b, r, s, mid);
        if (st.ok && st.received >= st.sent)
            lo = static_cast<double>(st.sent) / st.seconds;
        else
            hi = mid;
    }
    c.rate = lo;
    return c;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::vector<double> numbers(const char* text)
{
    std::vector<double> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        out.push_back(std::atof(item.c_str()));
    return out;
}

bool on_tmpfs(const std::string& dir)
{
    struct statfs fs{};
    return statfs(dir.c_str(), &fs) == 0 && fs.f_type == 0x01021994;  // TMPFS_MAGIC
}

// --workers 1,2: the collector (-k) with each worker count, side by side:
// the rate without loss on the receiver's cores (--cpus), its frames per
// CPU second, and per CPU second of its busiest thread, which is what it
// takes with a core for each thread.
int compare_workers(const bench_setup& b, const std::vector<double>& workers, const std::vector<double>& sizes,
                    int runs, int steps)
{
    std::printf("%-6s %-16s %12s %14s %22s %10s\n", "frame", "receiver", "frames/s", "frames/CPU s",
                "frames/busiest CPU s", "limit");
    for (double size : sizes) {
        const unsigned frame = static_cast<unsigned>(size);
        const datagram_set ciphered = build(frame, true);
        std::vector<double> rate, busiest;
        for (double j : workers) {
            const receiver r{"collector -k -j " + std::to_string(static_cast<unsigned>(j)), false, true,
                             static_cast<unsigned>(j)};
            std::vector<double> rates, per_cpu, per_busiest;
            int bound = 0;
            for (int run = 0; run < runs; ++run) {
                const case_result c = run_case(b, r, ciphered, steps);
                rates.push_back(c.rate), per_cpu.push_back(c.per_cpu), per_busiest.push_back(c.per_busiest);
                bound += c.sender_bound;
            }
            rate.push_back(median(rates)), busiest.push_back(median(per_busiest));
            std::printf("%-6u %-16s %12.0f %14.0f %22.0f %10s\n", frame, r.name.c_str(), rate.back(), median(per_cpu),
                        busiest.back(), bound * 2 > runs ? "sender" : "receiver");
            std::fflush(stdout);
        }
        for (std::size_t k = 1; k < workers.size(); ++k)
            std::printf("%-6u -j %.0f against -j %.0f: rate %.2fx, with a core per thread %.2fx\n", frame, workers[k],
                        workers[0], rate[0] > 0 ? rate[k] / rate[0] : 0, busiest[0] > 0 ? busiest[k] / busiest[0] : 0);
    }
    std::filesystem::remove_all(b.dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    bench_setup b;
    int runs = 3, steps = 6;
    std::vector<double> sizes = {64, 1514}, check = {1200000, 700000}, workers;
    std::string base = "/dev/shm";
    b.collector = (std::filesystem::path(argv[0]).parent_path() / "vantry_collector").string();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string o = argv[i];
        if (o == "--runs") runs = std::atoi(argv[i + 1]);
        else if (o == "--seconds") b.seconds = std::atof(argv[i + 1]);
        else if (o == "--sizes") sizes = numbers(argv[i + 1]);
        else if (o == "--steps") steps = std::atoi(argv[i + 1]);
        else if (o == "--check") check = numbers(argv[i + 1]);
        else if (o == "--collector") b.collector = argv[i + 1];
        else if (o == "--dir") base = argv[i + 1];
        else if (o == "--gso") use_gso = std::atoi(argv[i + 1]) != 0;
        else if (o == "--fifo") b.fifo = std::atoi(argv[i + 1]) != 0;
        else if (o == "--workers") workers = numbers(argv[i + 1]);
        else if (o == "--cpus") b.cpus = numbers(argv[i + 1]);
        else if (o == "--sources") sender_sources = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "unknown option %s\n", o.c_str());
            return 2;
        }
    }
    if (!on_tmpfs(base)) {
        std::fprintf(stderr, "%s is not tmpfs: give --dir on a tmpfs\n", base.c_str());
        return 2;
    }
    if (std::thread::hardware_concurrency() < 2) {
        std::fprintf(stderr, "needs two cores\n");
        return 2;
    }
    b.dir = base + "/vantry-bench-collector-" + std::to_string(getpid());
    std::filesystem::create_directories(b.dir);
    pin_self(0);
    speck_setup_key(bench_key, static_cast<std::int32_t>(std::strlen(bench_key)));
    // Each collector case is compared with the bare case below it.
    const receiver receivers[] = {{"collector -k", false, true}, {"bare -k", true, true},
                                  {"collector -K", false, false}, {"bare -K", true, false}};
    b.fifo = b.fifo && geteuid() == 0;
    std::string cores;
    for (double c : b.cpus)
        cores += (cores.empty() ? "" : ",") + std::to_string(static_cast<int>(c));
    std::printf("%s; %.1f s per step, %d runs, median; sender on core 0 (%s, %d sources), receiver on cores %s%s\n",
                b.collector.c_str(), b.seconds, runs, use_gso ? "segmented sends" : "a message per datagram",
                sender_sources, cores.c_str(), b.fifo ? " at SCHED_FIFO" : "");
    if (!workers.empty())
        return compare_workers(b, workers, sizes, runs, steps);
    std::printf("%-6s %-13s %14s %14s %10s\n", "frame", "receiver", "frames/s", "frames/CPU s", "limit");
    for (std::size_t z = 0; z < sizes.size(); ++z) {
        const unsigned frame = static_cast<unsigned>(sizes[z]);
        const datagram_set clear = build(frame, false), ciphered = build(frame, true);
        double rate[4] = {}, cpu[4] = {};
        for (int k = 0; k < 4; ++k) {
            std::vector<double> rates, per_cpu;
            int bound = 0;
            for (int run = 0; run < runs; ++run) {
                const case_result c = run_case(b, receivers[k], receivers[k].encrypted ? ciphered : clear, steps);
                rates.push_back(c.rate), per_cpu.push_back(c.per_cpu), bound += c.sender_bound;
            }
            rate[k] = median(rates), cpu[k] = median(per_cpu);
            std::printf("%-6u %-13s %14.0f %14.0f %10s\n", frame, receivers[k].name.c_str(), rate[k], cpu[k],
                        bound * 2 > runs ? "sender" : "receiver");
            std::fflush(stdout);
        }
        for (int k = 0; k < 4; k += 2)
            std::printf("%-6u %-13s rate %.2fx %s, frames/CPU s %.2fx\n", frame, receivers[k].name.c_str(),
                        rate[k + 1] > 0 ? rate[k] / rate[k + 1] : 0, receivers[k + 1].name.c_str(),
                        cpu[k + 1] > 0 ? cpu[k] / cpu[k + 1] : 0);
        if (z < check.size() && check[z] > 0) {
            std::vector<double> lost;
            for (int run = 0; run < runs; ++run) {
                const step_result st = run_step(b, receivers[0], ciphered, check[z]);
                lost.push_back(static_cast<double>(st.sent - std::min(st.sent, st.received)));
                std::printf("%-6u collector -k at %.0f frames/s (sent %.0f/s): %llu of %llu frames lost "
                            "(%llu datagrams dropped for a full receive buffer)\n",
                            frame, check[z], static_cast<double>(st.sent) / st.seconds,
                            static_cast<unsigned long long>(lost.back()), static_cast<unsigned long long>(st.sent),
                            st.buffer_drops);
            }
        }
        std::fflush(stdout);
    }
    std::filesystem::remove_all(b.dir);
    return 0;
}
