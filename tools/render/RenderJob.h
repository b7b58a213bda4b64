#pragma once

#include "AudioFile.h"
#include "RenderOptions.h"

#include <juce_core/juce_core.h>

class HostedPedal;
class ProgressDisplay;

//==============================================================================
/** How a render ended: the line to show and the exit status that goes with it. */
struct RenderOutcome
{
    static constexpr int failed = 1;
    static constexpr int badCommandLine = 2;

    int exitStatus = 0;         // 0: rendered
    juce::String line;          // the summary, or why it failed

    bool succeeded() const noexcept     { return exitStatus == 0; }
};

//==============================================================================
/**
    One file through the pedal: open() checks everything that can be checked
    before the module is loaded (the input, the output's name and format);
    render() streams the file through a prepared pedal into a hidden file that
    takes the output's name only once it is complete.
*/
class RenderJob final
{
public:
    RenderJob (const RenderOptions& options, const juce::File& input, const juce::File& output, const juce::File& plot);
    ~RenderJob();

    RenderOutcome open();

    /** Frames the progress display may expect from this file. */
    juce::int64 expectedFrames() const noexcept;

    /** Runs on any thread; the pedal's set-up is handed to the message thread. */
    RenderOutcome render (HostedPedal& pedal, ProgressDisplay& progress, double startedAtMilliseconds);

    const juce::File& getInput() const noexcept     { return input; }

private:
    RenderOutcome failure (const juce::String& message, int exitStatus = RenderOutcome::failed) const;
    RenderOutcome checkDestination (const juce::File& destination, const juce::String& what) const;
    juce::String describeInput() const;

    const RenderOptions& options;
    const juce::File input, output, plot;

    std::unique_ptr<brask::audiofile::Reader> reader;
    brask::audiofile::OutputChoice outputFormat;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RenderJob)
};

/** Paths as the user would type them: relative to the current folder when inside it. */
juce::String shownPath (const juce::File& file);
