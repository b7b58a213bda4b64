#include "ProgressDisplay.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

ProgressDisplay::ProgressDisplay()
    : enabled (::isatty (STDERR_FILENO) == 1)
{
    if (enabled)
        thread = std::thread ([this] { run(); });
}

ProgressDisplay::~ProgressDisplay()
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        stop = true;
    }

    stopping.notify_all();

    if (thread.joinable())
        thread.join();

    const std::lock_guard<std::mutex> guard (lock);
    clear();
}

void ProgressDisplay::printLine (std::FILE* stream, const std::string& line)
{
    const std::lock_guard<std::mutex> guard (lock);
    clear();
    std::fprintf (stream, "%s\n", line.c_str());
    std::fflush (stream);
}

void ProgressDisplay::run()
{
    std::unique_lock<std::mutex> guard (lock);

    while (! stopping.wait_for (guard, std::chrono::milliseconds (100), [this] { return stop; }))
        draw();
}

void ProgressDisplay::draw()
{
    const auto expected = total.load();

    if (expected <= 0)
        return;

    // A batch learns each file's length as it opens it: the share done would fall
    // each time the total grows. The bar only goes forward.
    const auto permille = std::max (highestPermille,
                                    (int) std::clamp<std::int64_t> (done.load() * 1000 / expected, 0, 1000));
    highestPermille = permille;

    if (permille == lastPermille)
        return;

    lastPermille = permille;
    constexpr int width = 40;
    const auto filled = permille * width / 1000;
    char bar[width + 1] {};

    for (int i = 0; i < width; ++i)
        bar[i] = i < filled ? '#' : (i == filled ? '>' : '.');

    std::fprintf (stderr, "\r  rendering [%s] %5.1f%%", bar, permille / 10.0);
    std::fflush (stderr);
}

void ProgressDisplay::clear()
{
    if (enabled && lastPermille >= 0)
    {
        std::fprintf (stderr, "\r\033[K");
        std::fflush (stderr);
    }

    lastPermille = -1;
}
