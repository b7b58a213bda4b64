#pragma once

#include "AudioFile.h"
#include "OutputStage.h"
#include "RenderOptions.h"

#include <cstdint>
#include <memory>
#include <string>

class HostedPedal;
class MainThreadCalls;
class PendingOutputFile;
class ProgressDisplay;
class RenderPlotter;

//==============================================================================
/** How a render ended: the line to show and the exit status that goes with it. */
struct RenderOutcome
{
    static constexpr int failed = 1;
    static constexpr int badCommandLine = 2;

    int exitStatus = 0;  // 0: rendered
    std::string line;    // the summary, or why it failed

    bool succeeded() const noexcept { return exitStatus == 0; }
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
    /** Paths absolute; plot empty when no plot is wanted. */
    RenderJob (const RenderOptions& options, const std::string& input, const std::string& output, const std::string& plot);
    ~RenderJob();

    RenderJob (const RenderJob&) = delete;
    RenderJob& operator= (const RenderJob&) = delete;

    RenderOutcome open();

    /** Frames the progress display may expect from this file. */
    std::int64_t expectedFrames() const noexcept;

    /** Runs on any thread; the pedal's set-up is handed to the main thread. */
    RenderOutcome render (HostedPedal& pedal, MainThreadCalls& mainThread, ProgressDisplay& progress,
                          double startedAtSeconds);

    const std::string& getInput() const noexcept { return input; }

private:
    struct Streamed;

    // The render's steps, in the order renderIntoPendingFiles runs them.
    RenderOutcome renderIntoPendingFiles (HostedPedal&, MainThreadCalls&, ProgressDisplay&, double startedAtSeconds);
    RenderOutcome loadPlotter (std::unique_ptr<RenderPlotter>&) const;
    RenderOutcome preparePedal (HostedPedal&, MainThreadCalls&) const;
    RenderOutcome createWriter (std::unique_ptr<brask::audiofile::Writer>&);
    std::unique_ptr<Streamed> stream (HostedPedal&, brask::audiofile::Writer&, RenderPlotter*, ProgressDisplay&);
    void startStretch (OutputStage::Slot&, Streamed&, bool keepInput) const;
    void finishStretch (OutputStage::Slot&, Streamed&, RenderPlotter*) const;
    RenderOutcome checkWhatWasWritten (const Streamed&, brask::audiofile::Writer&, std::string& notes) const;
    std::string drawPlot (RenderPlotter&, const Streamed&) const;
    std::string summarise (const Streamed&, double startedAtSeconds) const;

    RenderOutcome failure (const std::string& message, int exitStatus = RenderOutcome::failed) const;
    RenderOutcome checkDestination (const std::string& destination, const std::string& what, std::string& resolved) const;
    std::string cannotWriteAs (const std::string& reason) const;
    std::string describeInput() const;

    const RenderOptions& options;
    const std::string input, output, plot;  // as the user named them
    std::string outputFile, plotFile;       // where they are written, as the kernel resolves them
    std::unique_ptr<PendingOutputFile> pendingOutput, pendingPlot;
    std::unique_ptr<brask::audiofile::Reader> reader;
    brask::audiofile::OutputChoice outputFormat;
};

/** Seconds on a steady clock, for the real-time factor. */
double secondsNow();
