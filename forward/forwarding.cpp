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
