#pragma once

#include <juce_events/juce_events.h>

namespace juce
{
    // The framework's own message dispatch on Linux: runs what is pending and returns.
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace brask
{
    /** Runs the message loop as an idle host does, timers and all, for a while: the
        framework's run loop cannot be restarted once stopped, so it is turned here.
    */
    inline void runMessageLoopFor (int milliseconds)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + milliseconds;

        while (juce::Time::getMillisecondCounterHiRes() < end)
            if (! juce::dispatchNextMessageOnSystemQueue (true))
                juce::Thread::sleep (1);
    }
}
