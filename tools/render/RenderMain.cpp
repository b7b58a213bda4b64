// brask-render: runs audio files through the Brask Overdrive VST3 module,
// loaded through the framework's VST3 host exactly as a DAW loads it. For a
// user, a tester or a batch job who wants the pedal's sound without a DAW.

#include "DisplayLessHost.h"
#include "HostedPedal.h"
#include "ProgressDisplay.h"
#include "RenderJob.h"
#include "RenderOptions.h"

#include <juce_events/juce_events.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace
{
    void say (std::FILE* stream, const juce::String& line)
    {
        std::fprintf (stream, "brask-render: %s\n", line.toRawUTF8());
    }

    /** Ends the process once every file is complete and every line is out, without
        unloading the pedal: taking down its instance and its module (each step of
        which waits for the module's message thread) and the framework costs more
        than rendering a short file, and nothing of it reaches a file or the screen.
        The files are already in place and their descriptors closed, so nothing is lost.
    */
    [[noreturn]] void endWithoutUnloading (int exitStatus)
    {
        std::fflush (stdout);
        std::fflush (stderr);
        std::_Exit (exitStatus);
    }

    //==============================================================================
    int renderOne (const RenderOptions& options, double startMilliseconds)
    {
        RenderJob job (options, options.inputs.getFirst(), options.output, options.plot);

        if (auto opened = job.open(); ! opened.succeeded())
        {
            say (stderr, opened.line);
            return opened.exitStatus;
        }

        HostedPedal pedal;

        if (auto loaded = pedal.load (options.module.getFullPathName().toStdString()); ! loaded.empty())
        {
            say (stderr, loaded);
            return RenderOutcome::failed;
        }

        RenderOutcome outcome;
        {
            ProgressDisplay progress;
            outcome = job.render (pedal, progress, startMilliseconds);
        }

        say (outcome.succeeded() ? stdout : stderr, outcome.line);
        endWithoutUnloading (outcome.exitStatus);
    }

    //==============================================================================
    /** Every input on a few workers, each with its own instance of the pedal; the
        message thread (this one) sets the instances up for them meanwhile.
    */
    int renderMany (const RenderOptions& options, double startMilliseconds)
    {
        if (! options.outputFolder.isDirectory())
        {
            say (stderr, "the output folder '" + shownPath (options.outputFolder) + "' does not exist");
            return RenderOutcome::failed;
        }

        const auto numJobs = juce::jlimit (1, options.inputs.size(),
                                           options.jobs > 0 ? options.jobs : (int) std::max (1u, std::thread::hardware_concurrency()));

        juce::OwnedArray<HostedPedal> pedals;

        for (int i = 0; i < numJobs; ++i)
        {
            auto* pedal = pedals.add (new HostedPedal());

            if (auto loaded = pedal->load (options.module.getFullPathName().toStdString()); ! loaded.empty())
            {
                say (stderr, loaded);
                return RenderOutcome::failed;
            }
        }

        std::atomic<int> nextInput { 0 }, workersLeft { numJobs };
        std::mutex failuresLock;
        juce::StringArray failures;

        {
            ProgressDisplay progress;

            auto work = [&] (HostedPedal& pedal)
            {
                for (int index; (index = nextInput++) < options.inputs.size();)
                {
                    const auto& input = options.inputs.getReference (index);
                    RenderJob job (options, input, options.outputFor (input), {});
                    auto outcome = job.open();

                    if (outcome.succeeded())
                        outcome = job.render (pedal, progress, juce::Time::getMillisecondCounterHiRes());

                    progress.printLine (outcome.succeeded() ? stdout : stderr, "brask-render: " + outcome.line);

                    if (! outcome.succeeded())
                    {
                        const std::lock_guard<std::mutex> guard (failuresLock);
                        failures.add (shownPath (input));
                    }
                }

                if (--workersLeft == 0)
                    juce::MessageManager::getInstance()->stopDispatchLoop();
            };

            std::vector<std::thread> workers;

            for (auto* pedal : pedals)
                workers.emplace_back (work, std::ref (*pedal));

            juce::MessageManager::getInstance()->runDispatchLoop();

            for (auto& worker : workers)
                worker.join();
        }

        if (failures.isEmpty())
        {
            const auto elapsed = (juce::Time::getMillisecondCounterHiRes() - startMilliseconds) / 1000.0;
            say (stdout, juce::String (options.inputs.size()) + " files in " + juce::String (elapsed, 2) + " s on "
                             + juce::String (numJobs) + (numJobs == 1 ? " worker" : " workers"));
            endWithoutUnloading (0);
        }

        say (stderr, juce::String (failures.size()) + " of " + juce::String (options.inputs.size())
                         + " files failed: " + failures.joinIntoString (", "));
        endWithoutUnloading (RenderOutcome::failed);
    }
}

//==============================================================================
int main (int argc, char* argv[])
{
    // The real-time factor counts the whole run, loading the module included.
    const auto startMilliseconds = juce::Time::getMillisecondCounterHiRes();
    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (juce::String::fromUTF8 (argv[i]));

    RenderOptions options;

    if (auto parsed = RenderOptions::parse (arguments, options); parsed.failed())
    {
        say (stderr, parsed.getErrorMessage());
        return RenderOutcome::badCommandLine;
    }

    if (options.showHelp)
    {
        std::fputs (RenderOptions::usage().toRawUTF8(), stdout);
        return 0;
    }

    // Nothing here is ever shown: the module need not look for a display.
    ::setenv (DisplayLessHost::variableName, "1", 1);

    // The framework's VST3 host needs a message thread: this one.
    juce::ScopedJuceInitialiser_GUI framework;
    return options.isBatch() ? renderMany (options, startMilliseconds) : renderOne (options, startMilliseconds);
}
