#include "RenderJob.h"

#include "Decimal.h"
#include "FilePath.h"
#include "vst3host/HostedPedal.h"
#include "LevelMeter.h"
#include "vst3host/MainThreadCalls.h"
#include "OutputStage.h"
#include "PendingOutputFile.h"
#include "ProgressDisplay.h"
#include "plot/RenderPlotter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>

namespace
{
    // The file moves between reading, the pedal and writing in stretches of about
    // this many samples, a few of them in flight at once.
    constexpr int samplesPerStretch = 8192;
    constexpr int stretchesInFlight = 4;

    constexpr double minimumSampleRate = 8000.0, maximumSampleRate = 768000.0;

    std::string seconds (std::int64_t frames, double sampleRate)
    {
        return decimal ((double) frames / sampleRate, 2) + " s";
    }

    std::uint32_t bitsOf (float value) noexcept
    {
        std::uint32_t bits;
        std::memcpy (&bits, &value, sizeof (bits));
        return bits;
    }

    std::string describeSettings (const PedalSettings& settings)
    {
        return "drive " + decimal (settings.drive, 2) + "   tone " + decimal (settings.tone, 2)
               + "   level " + decimal (settings.level, 2)
               + "   footswitch " + (settings.effectOn ? "on" : "off");
    }

    std::string describeLevels (const LevelMeter& levels)
    {
        return "peak " + LevelMeter::toDecibelsText (levels.getPeak()) + "   RMS " + LevelMeter::toDecibelsText (levels.getRms());
    }
}

double secondsNow()
{
    return std::chrono::duration<double> (std::chrono::steady_clock::now().time_since_epoch()).count();
}

//==============================================================================
RenderJob::RenderJob (const RenderOptions& renderOptions, const std::string& inputFile, const std::string& outputFile,
                      const std::string& plotFile)
    : options (renderOptions), input (inputFile), output (outputFile), plot (plotFile)
{
}

RenderJob::~RenderJob() = default;

RenderOutcome RenderJob::failure (const std::string& message, int exitStatus) const
{
    return { exitStatus, message };
}

std::int64_t RenderJob::expectedFrames() const noexcept
{
    return reader != nullptr ? reader->info().expectedFrames : 0;
}

std::string RenderJob::describeInput() const
{
    const auto& info = reader->info();
    return std::to_string (std::lround (info.sampleRate)) + " Hz, " + (info.numChannels == 1 ? "mono" : "stereo");
}

RenderOutcome RenderJob::open()
{
    const auto shownInput = filepath::shown (input);

    if (filepath::isDirectory (input))
        return failure ("input '" + shownInput + "' is a folder, not an audio file");

    if (! filepath::isFile (input))
        return failure ("cannot read input '" + shownInput + "': no such file");

    // Opened here, once, so that a file the system refuses (permissions) is told apart
    // from one that is not audio.
    // Not blocking: a FIFO without a writer would hold the open forever, before the
    // reader could refuse it for not being a file.
    const auto descriptor = ::open (input.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);

    if (descriptor < 0)
        return failure ("cannot read input '" + shownInput + "': " + std::strerror (errno));

    std::string error;
    reader = brask::audiofile::Reader::openDescriptor (descriptor, error);

    if (reader == nullptr)
        return failure ("input '" + shownInput + "' is not an audio file brask-render can read (" + error + ")");

    const auto& info = reader->info();

    // Below 8 kHz the pedal's filters have no room (the 200 Hz low cut and the
    // tone filter sit near or above Nyquist and ring without bound); above
    // 768 kHz no converter records.
    if (info.sampleRate < minimumSampleRate || info.sampleRate > maximumSampleRate)
        return failure ("input '" + shownInput + "' is at " + std::to_string (std::lround (info.sampleRate))
                        + " Hz; brask-render takes 8000 Hz to 768000 Hz");

    if (info.numChannels > 2)
        return failure ("input '" + shownInput + "' has " + std::to_string (info.numChannels)
                        + " channels; the pedal takes mono or stereo");

    // A file whose bytes cannot hold what its header announces is short before a sample is read.
    if (info.announcedFrames > info.maximumFrames && ! options.acceptShort)
        return failure ("'" + shownInput + "': input ends after " + seconds (info.maximumFrames, info.sampleRate)
                        + " of the " + seconds (info.announcedFrames, info.sampleRate)
                        + " its header announces (--accept-short renders what is there)");

    if (info.endsMidStream && ! options.acceptShort)
        return failure ("'" + shownInput + "': input ends in the middle of its stream (--accept-short renders what is there)");

    if (auto refused = checkDestination (output, "output"); ! refused.succeeded())
        return refused;

    const auto container = brask::audiofile::containerForFileName (filepath::fileName (output));

    if (container == 0)
    {
        const auto extension = filepath::extension (output);
        return failure ((extension.empty() ? std::string ("the output needs an extension")
                                           : "cannot write '" + extension + "' files")
                        + ": name the output " + brask::audiofile::writableExtensions());
    }

    outputFormat = brask::audiofile::chooseOutputFormat (info.format, container, info.numChannels,
                                                         (int) std::lround (info.sampleRate), options.bits);

    if (outputFormat.format == 0)
        return failure ("cannot write '" + filepath::shown (output) + "': " + outputFormat.reason);

    outputFormat = brask::audiofile::largeEnoughFor (outputFormat, info.expectedFrames, info.numChannels);

    if (! plot.empty())
    {
        if (auto refused = checkDestination (plot, "plot"); ! refused.succeeded())
            return refused;

        if (plot == output || filepath::sameFile (plot, output))
            return failure ("the plot and the output cannot be the same file", RenderOutcome::badCommandLine);
    }

    return {};
}

std::string RenderJob::cannotWriteAs (const std::string& reason) const
{
    return "cannot write '" + filepath::shown (output) + "' as " + brask::audiofile::containerName (outputFormat.format) + " "
           + brask::audiofile::encodingName (outputFormat.format) + " at " + std::to_string (std::lround (reader->info().sampleRate))
           + " Hz: " + reason;
}

RenderOutcome RenderJob::checkDestination (const std::string& destination, const std::string& what) const
{
    if (filepath::isDirectory (destination))
        return failure (what + " '" + filepath::shown (destination) + "' is a folder");

    if (! filepath::isDirectory (filepath::parent (destination)))
        return failure ("the " + what + " folder '" + filepath::shown (filepath::parent (destination)) + "' does not exist");

    if (destination == input || filepath::sameFile (destination, input))
        return failure (what + " '" + filepath::shown (destination) + "' is the input file: give the " + what + " another name");

    return {};
}

//==============================================================================
RenderOutcome RenderJob::render (HostedPedal& pedal, MainThreadCalls& mainThread, ProgressDisplay& progress,
                                 double startedAtSeconds)
{
    const auto& info = reader->info();
    const auto numChannels = info.numChannels;
    const auto sampleRate = info.sampleRate;

    std::string error;

    // Only a render with a picture loads the library that draws it.
    std::unique_ptr<RenderPlotter> plotter;

    if (! plot.empty())
    {
        plotter = loadRenderPlotter (sampleRate, info.expectedFrames, numChannels, error);

        if (plotter == nullptr)
            return failure ("cannot draw the plot: " + error);
    }

    mainThread.call ([&] { error = pedal.prepare (numChannels, sampleRate, options.blockSize, options.settings); });

    if (! error.empty())
        return failure (error);

    PendingOutputFile pendingOutput (output);
    auto refusedByFormat = false;
    auto writer = brask::audiofile::Writer::create (pendingOutput.getTemporaryFile(), outputFormat.format,
                                                    numChannels, sampleRate, error, &refusedByFormat);

    if (writer == nullptr && refusedByFormat)
        return failure (cannotWriteAs (error));

    if (writer == nullptr)
        return failure ("cannot write into '" + filepath::shown (filepath::parent (output)) + "': " + error);

    // The file moves in stretches of whole blocks; the pedal still gets them one
    // block at a time, exactly as asked, while the stretch before is measured and
    // written on the output stage's thread. A short file gets short stretches, so
    // that no memory is set aside (and touched) for samples that never come.
    const auto maximumBlocks = std::max (1, samplesPerStretch / options.blockSize);
    const auto expectedBlocks = (info.expectedFrames + options.blockSize - 1) / options.blockSize;
    const auto blocksPerStretch = expectedBlocks > 0 ? (int) std::min<std::int64_t> (maximumBlocks, expectedBlocks) : maximumBlocks;
    const auto stretchSize = blocksPerStretch * options.blockSize;

    LevelMeter inputLevels, outputLevels;
    std::int64_t silencedSamples = 0;

    // A file of one stretch has nothing to overlap: no thread for it.
    const auto slots = expectedBlocks > 0 && expectedBlocks <= maximumBlocks ? 1 : stretchesInFlight;

    OutputStage outputStage (slots, numChannels, stretchSize, plotter != nullptr, [&] (OutputStage::Slot& stretch)
    {
        const auto n = stretch.numSamples;

        // A sample the pedal left untouched goes out exactly as it came in, at its
        // own precision (a 32-bit integer or a double is more than a float holds).
        // Nothing non-finite reaches the file.
        for (int channel = 0; channel < numChannels; ++channel)
        {
            auto* exact = stretch.exact.getWritePointer (channel);
            const auto* out = stretch.output.getReadPointer (channel);

            for (int i = 0; i < n; ++i)
            {
                const auto untouched = bitsOf (out[i]) == bitsOf ((float) exact[i]);
                const auto value = untouched ? exact[i] : (double) out[i];
                const auto finite = std::isfinite (value);
                silencedSamples += finite ? 0 : 1;
                exact[i] = finite ? value : 0.0;
            }

            outputLevels.add (out, n);
        }

        if (plotter != nullptr)
            plotter->add (stretch.input.getArrayOfReadPointers(), stretch.output.getArrayOfReadPointers(), n);

        return writer->write (stretch.exact.getArrayOfReadPointers(), n);
    });

    progress.expect (info.expectedFrames);
    std::vector<float*> block ((size_t) numChannels);
    auto refusedAt = (std::int64_t) -1;

    while (refusedAt < 0)
    {
        auto* stretch = outputStage.acquire();

        if (stretch == nullptr)
            break;      // the output stage failed to write; reported below

        const auto numSamples = reader->read (stretch->exact.getArrayOfWritePointers(), stretchSize);

        if (numSamples == 0)
            break;

        stretch->numSamples = numSamples;

        // The pedal takes floats: each sample converted once, and measured as it
        // goes in (the output stage compares the pedal's result with the same
        // conversion of the exact sample).
        for (int channel = 0; channel < numChannels; ++channel)
        {
            const auto* exact = stretch->exact.getReadPointer (channel);
            auto* out = stretch->output.getWritePointer (channel);

            for (int i = 0; i < numSamples; ++i)
                out[i] = (float) exact[i];

            inputLevels.add (out, numSamples);

            if (plotter != nullptr)
                std::copy (out, out + numSamples, stretch->input.getWritePointer (channel));
        }

        for (int start = 0; start < numSamples; start += options.blockSize)
        {
            for (int channel = 0; channel < numChannels; ++channel)
                block[(size_t) channel] = stretch->output.getWritePointer (channel) + start;

            if (! pedal.process (block.data(), std::min (options.blockSize, numSamples - start)) && refusedAt < 0)
                refusedAt = reader->framesRead() - numSamples + start;
        }

        outputStage.submit (stretch);
        progress.add (numSamples);
    }

    const auto allWritten = outputStage.finish();
    const auto framesRead = reader->framesRead();
    progress.add (info.expectedFrames - framesRead);     // what was expected but never came

    mainThread.call ([&] { pedal.release(); });

    // Silence where the pedal should have played is no render: nothing is kept.
    if (refusedAt >= 0)
        return failure ("the module failed to process the audio at " + seconds (refusedAt, sampleRate) + " into '"
                        + filepath::shown (input) + "'");

    if (! writer->close (error) || ! allWritten)
        return failure (writer->failedInTheFormat() ? cannotWriteAs (error)
                                                    : "cannot write '" + filepath::shown (output) + "' (is the disk full?)");

    std::string shortNote;

    if (reader->endedShort())
    {
        const auto lengths = "input ends after " + seconds (framesRead, sampleRate)
                             + (info.announcedFrames > framesRead ? " of the " + seconds (info.announcedFrames, sampleRate) + " its header announces"
                                                                   : std::string (" in the middle of its stream"));

        if (! options.acceptShort)
            return failure ("'" + filepath::shown (input) + "': " + lengths + " (--accept-short renders what is there)");

        shortNote = "; " + lengths + ", rendered as it is";
    }

    const auto wroteAs = describeInput() + ", " + brask::audiofile::encodingName (outputFormat.format)
                         + (outputFormat.reason.empty() ? std::string() : "; " + outputFormat.reason);

    std::unique_ptr<PendingOutputFile> pendingPlot;

    if (plotter != nullptr)
    {
        pendingPlot = std::make_unique<PendingOutputFile> (plot);

        PlotCaption caption;
        caption.title = filepath::fileName (input) + "  \xe2\x86\x92  Brask Overdrive  \xe2\x86\x92  " + filepath::fileName (output);
        caption.settings = describeSettings (options.settings);
        caption.numChannels = numChannels;
        caption.format = describeInput() + ", " + brask::audiofile::encodingName (info.format) + ", "
                         + seconds (framesRead, sampleRate) + ", blocks of " + std::to_string (options.blockSize) + " samples";
        caption.inputLevels = describeLevels (inputLevels);
        caption.outputLevels = describeLevels (outputLevels);

        if (! plotter->write (caption, pendingPlot->getTemporaryFile(), error))
            return failure ("cannot write the plot '" + filepath::shown (plot) + "': " + error);
    }

    if (auto refused = pendingOutput.commit(); ! refused.empty())
        return failure (refused);

    if (pendingPlot != nullptr)
        if (auto refused = pendingPlot->commit(); ! refused.empty())
            return failure (refused);

    const auto length = (double) framesRead / sampleRate;
    const auto elapsed = secondsNow() - startedAtSeconds;

    auto line = "wrote " + filepath::shown (output) + " (" + decimal (length, 2) + " s, " + wroteAs + ") in "
                + decimal (elapsed, 2) + " s, " + decimal (elapsed > 0.0 ? length / elapsed : 0.0, 1)
                + "x real time; in: " + inputLevels.describe() + "; out: " + outputLevels.describe();

    if (silencedSamples > 0)
        line += " (" + std::to_string (silencedSamples) + " written as 0)";

    line += shortNote;

    if (pendingPlot != nullptr)
        line += "; plot " + filepath::shown (plot);

    return { 0, line };
}
