// brask-render: runs audio files through the Brask Overdrive VST3 module,
// hosted through the VST3 interfaces exactly as a DAW hosts it. For a user, a
// tester or a batch job who wants the pedal's sound without a DAW.
//
// A plain program on purpose: a command line pays for every library it starts
// with on every run, and a short file renders in less time than a GUI
// framework takes to start. Only the plot loads a library that draws.

#include "vst3/DisplayLessHost.h"
#include "FilePath.h"
#include "PendingOutputFile.h"
#include "vst3host/HostedPedal.h"
#include "vst3host/MainThreadCalls.h"
#include "ProgressDisplay.h"
#include "RenderJob.h"
#include "RenderOptions.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace
{
    void say (std::FILE* stream, const std::string& line)
    {
        std::fprintf (stream, "brask-render: %s\n", line.c_str());
    }

    /** Ends the process once every file is complete and every line is out, without
        unloading the pedal: taking down its instance and its module (each step of
        which waits for the module's message thread) costs more than rendering a
        short file, and nothing of it reaches a file or the screen. The files are
        already in place and their descriptors closed, so nothing is lost.
    */
    [[noreturn]] void endWithoutUnloading (int exitStatus)
    {
        std::fflush (stdout);
        std::fflush (stderr);
        std::_Exit (exitStatus);
    }

    //==============================================================================
    int renderOne (const RenderOptions& options, double startSeconds)
    {
        RenderJob job (options, options.inputs.front(), options.output, options.plot);

        if (auto opened = job.open(); ! opened.succeeded())
        {
            say (stderr, opened.line);
            return opened.exitStatus;
        }

        HostedPedal pedal;

        if (auto refused = pedal.load (options.module); ! refused.empty())
        {
            say (stderr, refused);
            return RenderOutcome::failed;
        }

        MainThreadCalls mainThread;
        RenderOutcome outcome;
        {
            ProgressDisplay progress;
            outcome = job.render (pedal, mainThread, progress, startSeconds);
        }

        say (outcome.succeeded() ? stdout : stderr, outcome.line);
        endWithoutUnloading (outcome.exitStatus);
    }

    //==============================================================================
    /** Every input on a few workers, each with its own instance of the pedal; the
        main thread sets the instances up for them meanwhile.
    */
    int renderMany (const RenderOptions& options, double startSeconds)
    {
        if (! filepath::isDirectory (options.outputFolder))
        {
            say (stderr, "the output folder '" + filepath::shown (options.outputFolder) + "' "
                             + (filepath::isFile (options.outputFolder) ? "is a file, not a folder" : "does not exist"));
            return RenderOutcome::failed;
        }

        const auto numInputs = (int) options.inputs.size();
        const auto numJobs = std::clamp (options.jobs > 0 ? options.jobs : (int) std::max (1u, std::thread::hardware_concurrency()),
                                         1, numInputs);

        std::vector<std::unique_ptr<HostedPedal>> pedals;

        for (int i = 0; i < numJobs; ++i)
        {
            pedals.push_back (std::make_unique<HostedPedal>());

            if (auto refused = pedals.back()->load (options.module); ! refused.empty())
            {
                say (stderr, refused);
                return RenderOutcome::failed;
            }
        }

        MainThreadCalls mainThread;
        std::atomic<int> nextInput { 0 }, workersLeft { numJobs };
        std::mutex failuresLock;
        std::vector<std::string> failures;

        {
            ProgressDisplay progress;

            auto work = [&] (HostedPedal& pedal) {
                for (int index; (index = nextInput++) < numInputs;)
                {
                    const auto& input = options.inputs[(size_t) index];
                    RenderJob job (options, input, options.outputFor (input), {});
                    auto outcome = job.open();

                    if (outcome.succeeded())
                        outcome = job.render (pedal, mainThread, progress, secondsNow());

                    progress.printLine (outcome.succeeded() ? stdout : stderr, "brask-render: " + outcome.line);

                    if (! outcome.succeeded())
                    {
                        const std::lock_guard<std::mutex> guard (failuresLock);
                        failures.push_back (filepath::shown (input));
                    }
                }

                if (--workersLeft == 0)
                    mainThread.stop();
            };

            std::vector<std::thread> workers;

            for (auto& pedal : pedals)
                workers.emplace_back (work, std::ref (*pedal));

            mainThread.serveUntilStopped();

            for (auto& worker : workers)
                worker.join();
        }

        if (failures.empty())
        {
            const auto elapsed = secondsNow() - startSeconds;
            char summary[160];
            std::snprintf (summary, sizeof (summary), "%d %s in %.2f s on %d %s", numInputs, numInputs == 1 ? "file" : "files", elapsed, numJobs,
                           numJobs == 1 ? "worker" : "workers");
            say (stdout, summary);
            endWithoutUnloading (0);
        }

        std::string failed;

        for (const auto& name : failures)
            failed += (failed.empty() ? "" : ", ") + name;

        say (stderr, std::to_string (failures.size()) + " of " + std::to_string (numInputs) + " files failed: " + failed);
        endWithoutUnloading (RenderOutcome::failed);
    }
}

//==============================================================================
int main (int argc, char* argv[])
{
    // The real-time factor counts the whole run, loading the module included.
    const auto startSeconds = secondsNow();
    const std::vector<std::string> arguments (argv + std::min (argc, 1), argv + argc);

    RenderOptions options;

    if (auto refused = RenderOptions::parse (arguments, options); ! refused.empty())
    {
        say (stderr, refused);
        return RenderOutcome::badCommandLine;
    }

    if (options.showVersion)
    {
        std::fputs ("brask-render " BRASK_RENDER_VERSION "\n", stdout);
        return 0;
    }

    if (options.showHelp)
    {
        std::fputs (RenderOptions::usage(), stdout);
        return 0;
    }

    // The files are the job and the lines a courtesy: a reader of the lines that
    // goes away (`| head -1`) must not end the renders; the exit status still says
    // how they went.
    ::signal (SIGPIPE, SIG_IGN);

    // Before any job starts: from here on, a signal that ends the program takes
    // every hidden file with it.
    PendingOutputFile::removeOnSignals();

    // Nothing here is ever shown: the module need not look for a display.
    ::setenv (DisplayLessHost::variableName, "1", 1);

    return options.isBatch() ? renderMany (options, startSeconds) : renderOne (options, startSeconds);
}
