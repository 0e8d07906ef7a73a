#include "forward/forwarding.h"

void forward_stop(forward_context& ctx)
{
    ctx.stop.store(true);
    std::lock_guard<std::mutex> g(ctx.wake_lock);
    if (ctx.wake)
        ctx.wake(ctx.wake_arg);
}

void forward_set_wake(forward_context& ctx, void (*fn)(void*), void* arg)
{
    std::lock_guard<std::mutex> g(ctx.wake_lock);
    ctx.wake = fn;
    ctx.wake_arg = arg;
}

tap_statistics forward_statistics(const forward_context& ctx)
{
    tap_statistics s = ctx.counts;
    s.rate_cap_out = ctx.cap.left_out;
    s.frames_sent = ctx.sender.frames_sent;
    s.datagrams_sent = ctx.sender.datagrams_sent;
    s.datagrams_failed = ctx.sender.failures;
    return s;
}
