// How long the pedal's editor takes to open and what it costs in memory:
// the first opening in a process decodes all 304 pictures, later ones find
// them decoded. A host's message loop keeps running between openings, so the
// later openings are also timed after the loop has idled a while.
//
// Usage: brask_editor_timing [repetitions]   (with or without a display)

#include "gui/BraskOverdriveProcessorEditor.h"
#include "MessageLoop.h"
#include "ResidentMemory.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace
{
    template <typename Fn>
    double millisecondsFor (Fn&& fn)
    {
        const auto start = std::chrono::steady_clock::now();
        fn();
        return std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - start).count();
    }
}

int main (int argc, char** argv)
{
    const auto repetitions = argc > 1 ? std::max (1, std::atoi (argv[1])) : 20;

    juce::ScopedJuceInitialiser_GUI juceInitialiser;
    BraskOverdriveAudioProcessor processor;

    const auto residentBefore = residentKilobytes();
    std::unique_ptr<juce::AudioProcessorEditor> editor;

    const auto cold = millisecondsFor ([&] { editor.reset (processor.createEditor()); });
    const auto residentOpen = residentKilobytes();

    // The message loop never runs here, so the cache keeps every decoded picture.
    editor.reset();
    std::vector<double> cached;

    for (int i = 0; i < repetitions; ++i)
    {
        cached.push_back (millisecondsFor ([&] { editor.reset (processor.createEditor()); }));
        editor.reset();
    }

    std::sort (cached.begin(), cached.end());

    // As in a host: the editor closed, the message loop idling, then opened again.
    const auto reopenAfterIdle = [&] (int idleMilliseconds) {
        brask::runMessageLoopFor (idleMilliseconds);
        const auto ms = millisecondsFor ([&] { editor.reset (processor.createEditor()); });
        editor.reset();
        return ms;
    };

    const auto afterShortIdle = reopenAfterIdle (500);
    const auto afterLongIdle = reopenAfterIdle (7000);
    brask::runMessageLoopFor (7000);
    const auto residentClosed = residentKilobytes();

    editor.reset (processor.createEditor());
    std::printf ("editor size: %d x %d\n", editor->getWidth(), editor->getHeight());
    std::printf ("first opening (all 304 pictures decoded): %.1f ms\n", cold);
    std::printf ("later opening, pictures cached (median of %d): %.3f ms (min %.3f, max %.3f)\n",
                 repetitions, cached[cached.size() / 2], cached.front(), cached.back());
    std::printf ("reopened after the message loop idled 0.5 s: %.1f ms, after 7 s: %.1f ms\n",
                 afterShortIdle, afterLongIdle);
    std::printf ("resident memory: %.1f MB before opening, %.1f MB with the editor open (+%.1f MB), "
                 "%.1f MB with it closed after 7 s idle\n",
                 (double) residentBefore / 1024.0, (double) residentOpen / 1024.0,
                 (double) (residentOpen - residentBefore) / 1024.0, (double) residentClosed / 1024.0);
    return 0;
}
