#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

//==============================================================================
/**
    One progress bar on stderr for everything being rendered, only when a person
    is watching it (stderr is a terminal). Any thread adds the frames it has done;
    the bar redraws itself a few times a second on a thread of its own, so no
    render ever waits on the terminal. Lines printed through it (one per finished
    file) appear above the bar, never through it.
*/
class ProgressDisplay final
{
public:
    ProgressDisplay();
    ProgressDisplay (const ProgressDisplay&) = delete;
    ProgressDisplay& operator= (const ProgressDisplay&) = delete;
    ~ProgressDisplay();

    /** Frames still to come (a file's expected length, as it is opened). */
    void expect (std::int64_t frames) noexcept { total += frames; }

    void add (std::int64_t frames) noexcept { done += frames; }

    /** Prints a whole line to the stream (stdout or stderr), with the bar out of the way. */
    void printLine (std::FILE* stream, const std::string& line);

private:
    void run();
    void draw();
    void clear();

    const bool enabled;
    std::atomic<std::int64_t> total { 0 }, done { 0 };

    std::mutex lock;
    std::condition_variable stopping;
    bool stop = false;
    int lastPermille = -1;
    int highestPermille = 0;  // what was shown at most: a growing total never takes it back
    std::thread thread;
};
