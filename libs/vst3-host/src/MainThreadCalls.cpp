#include "vst3host/MainThreadCalls.h"

MainThreadCalls::MainThreadCalls()
    : mainThread (std::this_thread::get_id())
{
}

void MainThreadCalls::call (const std::function<void()>& function)
{
    if (std::this_thread::get_id() == mainThread)
    {
        function();
        return;
    }

    Pending pending { &function, false };
    std::unique_lock<std::mutex> guard (lock);
    queue.push_back (&pending);
    changed.notify_all();
    changed.wait (guard, [&] { return pending.done; });
}

void MainThreadCalls::serveUntilStopped()
{
    std::unique_lock<std::mutex> guard (lock);

    for (;;)
    {
        changed.wait (guard, [this] { return stopped || ! queue.empty(); });

        if (queue.empty())
            return;

        auto* pending = queue.front();
        queue.pop_front();

        guard.unlock();
        (*pending->function)();
        guard.lock();

        pending->done = true;
        changed.notify_all();
    }
}

void MainThreadCalls::stop()
{
    const std::lock_guard<std::mutex> guard (lock);
    stopped = true;
    changed.notify_all();
}
