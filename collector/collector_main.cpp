// vantry_collector: receives Tap datagrams, undoes the cipher, and writes
// the frames as a capture stream (pcapng with one interface per source, or
// pcap; one file or a rotated run of files) and, on Linux, into a TAP
// interface.
//
// States: options -> bound -> receiving (until a signal or the frame
// count) -> summary. Datagrams that do not decode are counted and
// reported; they never stop the collector.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "collector/collector_log.h"
#include "collector/collector_options.h"
#include "collector/collector_run.h"

namespace {

// The process's signal plumbing, the entry's alone: a handler has no other
// way to reach the run. Everything a receiving loop uses lives in its
// collector_run.
std::atomic<bool> stop_requested{false};
std::atomic<bool> stats_requested{false};
collector_run* running = nullptr;

void on_stop_signal(int)
{
    stop_requested = true;
    net_waker_wake(running->waker);
    // The first worker waits on its own waker when it is the run's thread.
    for (unsigned i = 0; i < running->pool.count; ++i)
        net_waker_wake(running->pool.workers[i].waker);
}

#if defined(SIGUSR1)
// Signal context: a lock-free flag only. The loop looks at it at least
// once a second.
void on_stats_signal(int) { stats_requested = true; }
#endif

}  // namespace

int main(int argc, char** argv)
{
    static collector_run run;
    int rc = read_options(argc, argv, &run.opt);
    if (rc != 0) {
        if (rc < 0)
            std::fprintf(stderr, "Try 'vantry_collector -h' for more information.\n");
        return rc > 0 ? 0 : 2;
    }
#if defined(SIGPIPE)
    // A reader that goes away must end the collector with a message.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (collector_set_up(run) != 0)
        return 1;
    running = &run;
    signals_install(on_stop_signal);
    if (worker_pool_start(&run.pool) != 0) {
        COLLECTOR_LOG(trace_level_error, "Unable to start %u workers", run.pool.count);
        collector_release(run);
        return 1;
    }
#if defined(SIGUSR1)
    std::signal(SIGUSR1, on_stats_signal);
#endif
    if (run.opt.bind_address)
        COLLECTOR_LOG(trace_level_normal, "Listening on UDP port %u of %s", net_local_port(run.socket),
                      run.opt.bind_address);
    else
        COLLECTOR_LOG(trace_level_normal, "Listening on UDP port %u", net_local_port(run.socket));
    notify_service_manager("READY=1");

    collector_receive(run, stop_requested, stats_requested);

    collector_summary(run);
    collector_release(run);
    return 0;
}
