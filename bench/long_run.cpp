// Long run of the TZSP path, with encryption and an allow-list, at a steady
// high rate: vantry_remote forwards to vantry_collector, which decrypts,
// decodes and streams the frames as pcap into this program. Checks, at the
// end:
//   - the resident memory of vantry_remote (VmRSS, sampled every 10 s) does
//     not grow after the warm-up (the first minute, or the first third of
//     a shorter run);
//   - the collector decoded every datagram it received (its summary shows
//     no bad magic, wrong length or bad record);
//   - every frame that arrived is one that was sent from the listed
//     sender, byte for byte, and none from the unlisted one.
// Frames lost on loopback under load are counted and shown, not failed.
//
// Usage: long_run [seconds, default 600] [datagrams per second, default
// 50000]. vantry_remote and vantry_collector are taken from the folder of
// this program. Exit status 0 when every check passed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr const char* run_key = "long run key";
// Frames of the listed sender carry tag 0xA1, those of the other 0xB2.
constexpr std::uint8_t listed_tag = 0xa1;
constexpr std::uint8_t unlisted_tag = 0xb2;
// One datagram in this many comes from the unlisted sender.
constexpr unsigned unlisted_every = 16;

std::string own_folder()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    buf[n] = '\0';
    std::string p(buf);
    return p.substr(0, p.rfind('/'));
}

int udp_socket_on(const char* addr, std::uint16_t port)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, addr, &a.sin_addr);
    a.sin_port = htons(port);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("bind");
        std::exit(2);
    }
    return s;
}

std::uint16_t free_port()
{
    int s = udp_socket_on("127.0.0.1", 0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// Starts argv with standard output to out_fd (or /dev/null for -1) and
// standard error to err_path.
pid_t spawn(const std::vector<std::string>& argv, int out_fd, const std::string& err_path)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        int null_fd = ::open("/dev/null", O_RDWR);
        int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(null_fd, 0);
        ::dup2(out_fd >= 0 ? out_fd : err_fd, 1);
        ::dup2(err_fd, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        std::perror("execv");
        std::_Exit(127);
    }
    return pid;
}

long vm_rss_kib(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    std::fclose(f);
    return kib;
}

std::string read_file(const std::string& path)
{
    std::string out;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

// Frame of datagram number seq: an Ethernet-sized frame whose first bytes
// are the sequence number and the sender's tag, the rest a pattern of both.
std::size_t frame_size_of(std::uint64_t seq)
{
    return 60 + (seq * 7919) % 1455;  // 60 to 1514
}

std::uint8_t pattern_byte(std::uint64_t seq, std::size_t i)
{
    return static_cast<std::uint8_t>((seq * 131 + i * 17) ^ (i >> 3));
}

std::size_t build_tzsp(std::uint8_t* out, std::uint64_t seq, std::uint8_t tag)
{
    // Header (version 1, type received, protocol Ethernet), one padding
    // byte, a tagged field, END, then the frame.
    const std::uint8_t head[] = {1, 0, 0, 1, 0, 10, 2, 0x55, 0x66, 1};
    std::memcpy(out, head, sizeof head);
    std::uint8_t* f = out + sizeof head;
    const std::size_t n = frame_size_of(seq);
    for (int i = 0; i < 8; ++i)
        f[i] = static_cast<std::uint8_t>(seq >> (8 * i));
    f[8] = tag;
    for (std::size_t i = 9; i < n; ++i)
        f[i] = pattern_byte(seq, i);
    return sizeof head + n;
}

struct check_counts {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> bad_content{0};
    std::atomic<std::uint64_t> from_unlisted{0};
    std::atomic<std::uint64_t> out_of_order{0};
    bool stream_header_ok = false;
};

bool read_exact(int fd, std::uint8_t* buf, std::size_t n)
{
    while (n > 0) {
        ssize_t r = ::read(fd, buf, n);
        if (r <= 0)
            return false;
        buf += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Reads the collector's pcap stream until it ends and checks every frame.
void check_stream(int fd, check_counts* c)
{
    std::uint8_t header[24];
    if (!read_exact(fd, header, sizeof header))
        return;
    c->stream_header_ok = header[0] == 0xd4 && header[1] == 0xc3 && header[2] == 0xb2;
    std::vector<std::uint8_t> frame(65536);
    std::uint64_t last_seq = 0;
    for (;;) {
        std::uint8_t rec[16];
        if (!read_exact(fd, rec, sizeof rec))
            return;
        std::uint32_t caplen;
        std::memcpy(&caplen, rec + 8, 4);  // little-endian on this host and in the stream
        if (caplen > frame.size() || !read_exact(fd, frame.data(), caplen))
            return;
        c->frames.fetch_add(1, std::memory_order_relaxed);
        std::uint64_t seq = 0;
        for (int i = 0; i < 8 && static_cast<std::uint32_t>(i) < caplen; ++i)
            seq |= std::uint64_t{frame[i]} << (8 * i);
        bool ok = caplen >= 9 && caplen == frame_size_of(seq);
        for (std::size_t i = 9; ok && i < caplen; ++i)
            ok = frame[i] == pattern_byte(seq, i);
        if (!ok) {
            c->bad_content.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (frame[8] != listed_tag)
            c->from_unlisted.fetch_add(1, std::memory_order_relaxed);
        if (seq <= last_seq && last_seq != 0)
            c->out_of_order.fetch_add(1, std::memory_order_relaxed);
        last_seq = seq;
    }
}

unsigned summary_field(const std::string& log, const char* before)
{
    std::size_t at = log.rfind(before);
    return at == std::string::npos ? ~0u
                                   : static_cast<unsigned>(std::strtoul(
                                         log.c_str() + at + std::strlen(before), nullptr, 10));
}

}  // namespace

int main(int argc, char** argv)
{
    const long seconds = argc > 1 ? std::atol(argv[1]) : 600;
    const long rate = argc > 2 ? std::atol(argv[2]) : 50000;
    if (seconds < 1 || rate < 1) {
        std::fprintf(stderr, "usage: long_run [seconds] [datagrams per second]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const std::string dir = own_folder();
    char tmp_template[] = "/tmp/vantry-long-run-XXXXXX";
    const std::string tmp = ::mkdtemp(tmp_template) ? tmp_template : "/tmp";
    const std::string hosts = tmp + "/hosts";
    if (std::FILE* f = std::fopen(hosts.c_str(), "w")) {
        std::fputs("# the listed sender, and hosts that never send\n127.0.0.1\n10.1.2.3\n"
                   "192.0.2.77\n",
                   f);
        std::fclose(f);
    }

    const std::uint16_t collector_port = free_port();
    const std::uint16_t tzsp_port = free_port();
    int pipe_fd[2];
    if (::pipe2(pipe_fd, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return 2;
    }
    // The pipe's reading end stays with this program; the collector's
    // standard output is its writing end.
    ::fcntl(pipe_fd[0], F_SETPIPE_SZ, 1 << 20);
    pid_t collector =
        spawn({dir + "/vantry_collector", "-p", std::to_string(collector_port), "-k", run_key,
               "-F", "pcap", "-w", "-"},
              pipe_fd[1], tmp + "/collector.log");
    ::close(pipe_fd[1]);
    pid_t remote = spawn({dir + "/vantry_remote", "/c", "-t", std::to_string(tzsp_port), "-c",
                          "127.0.0.1:" + std::to_string(collector_port), "-k", run_key, "-H",
                          hosts},
                         -1, tmp + "/remote.log");
    check_counts counts;
    std::thread reader(check_stream, pipe_fd[0], &counts);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::printf("long run: %ld s at %ld datagrams/s, 1 in %u from an unlisted sender; "
                "vantry_remote pid %d\n",
                seconds, rate, unlisted_every, static_cast<int>(remote));
    std::fflush(stdout);

    int listed_tx = udp_socket_on("127.0.0.1", 0);
    int unlisted_tx = udp_socket_on("127.0.0.2", 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(tzsp_port);

    const long warm_up = seconds >= 180 ? 60 : seconds / 3;
    std::vector<long> rss;  // one sample per 10 s, the first at 0 s
    std::uint64_t sent_listed = 0;
    std::uint64_t sent_unlisted = 0;
    std::uint64_t send_errors = 0;
    std::uint64_t seq = 1;
    std::uint8_t datagram[2048];
    const auto start = clock_type::now();
    auto next_sample = start;
    // Paced in slices of 1 ms: each slice sends what the rate allows by
    // then, so a late slice catches up.
    for (;;) {
        const auto now = clock_type::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        if (now >= next_sample) {
            long kib = vm_rss_kib(remote);
            rss.push_back(kib);
            std::printf("  %4ld s  VmRSS %6ld kB  frames at the collector %llu\n",
                        static_cast<long>(rss.size() - 1) * 10, kib,
                        static_cast<unsigned long long>(counts.frames.load()));
            std::fflush(stdout);
            next_sample += std::chrono::seconds(10);
            if (kib < 0)
                break;  // vantry_remote is gone
        }
        if (elapsed >= static_cast<double>(seconds))
            break;
        const auto due = static_cast<std::uint64_t>(elapsed * static_cast<double>(rate));
        while (seq <= due) {
            const bool unlisted = seq % unlisted_every == 0;
            std::size_t n = build_tzsp(datagram, seq, unlisted ? unlisted_tag : listed_tag);
            ssize_t r = ::sendto(unlisted ? unlisted_tx : listed_tx, datagram, n, 0,
                                 reinterpret_cast<sockaddr*>(&to), sizeof to);
            if (r != static_cast<ssize_t>(n))
                ++send_errors;
            else
                ++(unlisted ? sent_unlisted : sent_listed);
            ++seq;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double sent_seconds = std::chrono::duration<double>(clock_type::now() - start).count();

    // The tap sends what it holds after one idle wait (1.01 s); then stop
    // both ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ::kill(remote, SIGTERM);
    int status = 0;
    ::waitpid(remote, &status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(collector, SIGTERM);
    ::waitpid(collector, &status, 0);
    reader.join();
    ::close(pipe_fd[0]);

    const std::string clog = read_file(tmp + "/collector.log");
    const unsigned datagrams = summary_field(clog, "Received ");
    const unsigned bad_magic = summary_field(clog, "not decoded: ");
    const unsigned wrong_length = summary_field(clog, "bad magic, ");
    const unsigned bad_records = summary_field(clog, "wrong length, ");

    // Growth: the largest sample after the warm-up against the sample that
    // ends it. A few pages of allocator noise are allowed.
    const std::size_t base_index = static_cast<std::size_t>(warm_up / 10);
    long growth = 0;
    long base = base_index < rss.size() ? rss[base_index] : -1;
    for (std::size_t i = base_index; i < rss.size(); ++i)
        if (rss[i] - base > growth)
            growth = rss[i] - base;
    constexpr long growth_allowed_kib = 64;

    const std::uint64_t arrived = counts.frames.load();
    std::printf("\nsent %llu datagrams in %.1f s (%.0f/s): %llu listed, %llu unlisted, %llu "
                "send errors\n",
                static_cast<unsigned long long>(sent_listed + sent_unlisted), sent_seconds,
                static_cast<double>(sent_listed + sent_unlisted) / sent_seconds,
                static_cast<unsigned long long>(sent_listed),
                static_cast<unsigned long long>(sent_unlisted),
                static_cast<unsigned long long>(send_errors));
    std::printf("collector: %u Tap datagrams, not decoded: %u bad magic, %u wrong length, %u "
                "bad records\n",
                datagrams, bad_magic, wrong_length, bad_records);
    std::printf("frames checked: %llu arrived (%.3f%% of the listed lost on the way), %llu with "
                "wrong content, %llu from the unlisted sender, %llu out of order\n",
                static_cast<unsigned long long>(arrived),
                sent_listed ? 100.0 * static_cast<double>(sent_listed - std::min(arrived, sent_listed)) /
                                  static_cast<double>(sent_listed)
                            : 0.0,
                static_cast<unsigned long long>(counts.bad_content.load()),
                static_cast<unsigned long long>(counts.from_unlisted.load()),
                static_cast<unsigned long long>(counts.out_of_order.load()));
    std::printf("VmRSS of vantry_remote: %ld kB at %ld s, growth after it %ld kB (allowed %ld)\n",
                base, static_cast<long>(base_index * 10), growth, growth_allowed_kib);

    bool ok = true;
    auto fail = [&ok](const char* what) {
        std::printf("FAILED: %s\n", what);
        ok = false;
    };
    if (base < 0)
        fail("no memory sample after the warm-up (did vantry_remote end early?)");
    if (growth > growth_allowed_kib)
        fail("vantry_remote's resident memory grew after the warm-up");
    if (datagrams == ~0u)
        fail("no summary from the collector");
    if (bad_magic || wrong_length || bad_records)
        fail("the collector could not decode every datagram");
    if (!counts.stream_header_ok)
        fail("no pcap stream from the collector");
    if (counts.bad_content.load() || counts.from_unlisted.load())
        fail("frames arrived that were not sent from the listed sender");
    if (arrived == 0)
        fail("no frame arrived");
    std::printf("%s\n", ok ? "long run: passed" : "long run: FAILED");
    std::printf("logs: %s\n", tmp.c_str());
    return ok ? 0 : 1;
}
