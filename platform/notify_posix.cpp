// The service manager's notification socket and the journal's stream on
// POSIX: the documented datagram protocol, no library of the manager's.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// Monotonic ms of the last ping or READY=1; 0 before READY=1, so that no
// ping goes out before the service said it is ready.
std::atomic<std::uint64_t> last_ping_ms{0};

// -1 not looked at yet, else 0 or 1.
std::atomic<int> journal_state{-1};

std::uint64_t watchdog_interval()
{
    // Read once: the manager sets both before the process starts.
    static const std::uint64_t interval = [] {
        const char* pid = std::getenv("WATCHDOG_PID");
        if (pid && std::strtoull(pid, nullptr, 10) != static_cast<unsigned long long>(::getpid()))
            return std::uint64_t{0};
        return watchdog_interval_ms(std::getenv("WATCHDOG_USEC"));
    }();
    return interval;
}

}  // namespace

int notify_service_manager(const char* state)
{
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name)
        return 1;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    const std::size_t len = std::strlen(name);
    if (len >= sizeof to.sun_path || (name[0] != '/' && name[0] != '@'))
        return -1;
    std::memcpy(to.sun_path, name, len);
    if (name[0] == '@')
        to.sun_path[0] = '\0';
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    const auto to_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    const ssize_t sent = ::sendto(s, state, std::strlen(state), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), to_len);
    ::close(s);
    if (sent < 0)
        return -1;
    if (std::strcmp(state, "READY=1") == 0)
        last_ping_ms.store(clock_monotonic_ms() | 1);
    return 0;
}

void notify_watchdog_when_due(std::uint64_t now_ms)
{
    const std::uint64_t interval = watchdog_interval();
    std::uint64_t last = last_ping_ms.load(std::memory_order_relaxed);
    if (interval == 0 || last == 0)
        return;
    // An eighth early: a loop that wakes once per interval must not miss
    // every other ping by a millisecond.
    if (now_ms < last + interval - interval / 8)
        return;
    // One thread of several wins the ping.
    if (last_ping_ms.compare_exchange_strong(last, now_ms | 1))
        notify_service_manager("WATCHDOG=1");
}

bool stdout_is_journal()
{
    int state = journal_state.load(std::memory_order_relaxed);
    if (state < 0) {
        struct stat st {};
        state = ::fstat(1, &st) == 0 &&
                journal_stream_names(std::getenv("JOURNAL_STREAM"),
                                     static_cast<std::uint64_t>(st.st_dev),
                                     static_cast<std::uint64_t>(st.st_ino));
        journal_state.store(state, std::memory_order_relaxed);
    }
    return state == 1;
}

void stdout_journal_forget() { journal_state.store(-1); }
