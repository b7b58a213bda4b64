#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

//==============================================================================
/**
    The thread a host sets its plug-ins up on. A VST3 module expects its
    instances to be initialised, given their state, activated and released on
    the host's main thread, and only the audio to run elsewhere: workers hand
    those calls to the main thread here and wait for them, while the main
    thread serves them until the work is done.
*/
class MainThreadCalls final
{
public:
    /** Made on the main thread, which it takes as the one to run calls on. */
    MainThreadCalls();

    MainThreadCalls (const MainThreadCalls&) = delete;
    MainThreadCalls& operator= (const MainThreadCalls&) = delete;

    /** Runs the call on the main thread and returns once it has run. On the
        main thread itself it runs there and then.
    */
    void call (const std::function<void()>& function);

    /** The main thread runs the calls handed to it until stop() is called. */
    void serveUntilStopped();

    /** Any thread: serveUntilStopped() returns once the calls before are done. */
    void stop();

private:
    struct Pending
    {
        const std::function<void()>* function;
        bool done;
    };

    const std::thread::id mainThread;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Pending*> queue;
    bool stopped = false;
};
