// The plot library: brask-render loads it only when a plot is asked for, so
// that a plain render never starts the framework that draws it.

#include "RenderAnalysis.h"
#include "RenderPlot.h"
#include "RenderPlotterEntry.h"

#include <juce_events/juce_events.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace
{
    // Columns of the whole-file overview: one per pixel of its panel is plenty.
    constexpr int overviewColumns = 1500;

    /** The framework's font list and its start-up count are not made for
        several threads at once, and a batch may finish two plots together.
    */
    std::mutex drawing;

    bool writeFile (const std::string& path, const void* data, size_t size, std::string& error)
    {
        auto* file = std::fopen (path.c_str(), "wb");

        if (file == nullptr)
        {
            error = std::strerror (errno);
            return false;
        }

        const auto written = std::fwrite (data, 1, size, file) == size;
        const auto writeError = errno;
        const auto closed = std::fclose (file) == 0;

        if (! written || ! closed)
        {
            error = std::strerror (written ? errno : writeError);
            return false;
        }

        return true;
    }

    //==============================================================================
    class AnalysingPlotter final : public RenderPlotter
    {
    public:
        AnalysingPlotter (double sampleRate, std::int64_t totalFrames, int numChannels)
            : analysis (sampleRate, totalFrames, numChannels, overviewColumns)
        {
        }

        void add (const float* const* input, const float* const* output, int numSamples) override
        {
            analysis.add (input, output, numSamples);
        }

        bool write (const PlotCaption& caption, const std::string& path, std::string& error) override
        {
            if (! finished)
            {
                analysis.finish();
                finished = true;
            }

            juce::MemoryOutputStream png;

            {
                const std::lock_guard<std::mutex> lock (drawing);
                // Started and shut down around each picture, so that the fonts it
                // loads are let go again (brask-render may run for a long batch).
                const juce::ScopedJuceInitialiser_GUI framework;

                if (! juce::PNGImageFormat().writeImageToStream (drawRenderPlot (analysis, caption), png))
                {
                    error = "the picture could not be encoded";
                    return false;
                }
            }

            return writeFile (path, png.getData(), png.getDataSize(), error);
        }

    private:
        RenderAnalysis analysis;
        bool finished = false;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AnalysingPlotter)
    };
}

//==============================================================================
extern "C" __attribute__ ((visibility ("default"))) RenderPlotter* BRASK_RENDER_PLOTTER_ENTRY (double sampleRate, std::int64_t totalFrames, int numChannels)
{
    // Nothing may leave a C function as an exception: the loader reports nullptr.
    try
    {
        return new AnalysingPlotter (sampleRate, totalFrames, numChannels);
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}
