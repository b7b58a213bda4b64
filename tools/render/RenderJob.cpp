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
#include <limits>

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

    /** A sample as the pedal takes it: a double beyond a float's range arrives at
        the float's largest value, not as an infinity.
    */
    float toPedal (double sample) noexcept
    {
        constexpr auto largest = (double) std::numeric_limits<float>::max();
        return std::isfinite (sample) && std::abs (sample) > largest ? (float) std::copysign (largest, sample) : (float) sample;
    }

    std::string plural (std::int64_t count, const char* one, const char* many)
    {
        return std::to_string (count) + " " + (count == 1 ? one : many);
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
RenderJob::RenderJob (const RenderOptions& renderOptions, const std::string& inputName, const std::string& outputName,
                      const std::string& plotName)
    : options (renderOptions)
    , input (inputName)
    , output (outputName)
    , plot (plotName)
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

    // The decoder stops at the end of a chain's first stream: rendering it would drop
    // the rest without a word.
    if (info.chainedStreams > 1)
        return failure ("input '" + shownInput + "' chains " + std::to_string (info.chainedStreams)
                        + " Ogg streams one after another, and only the first can be decoded: split it into its streams and render each");

    if (info.undecodedStreamFrames > 0 && info.decoderGivesNoLength && ! options.acceptShort)
        return failure ("input '" + shownInput + "' holds " + seconds (info.undecodedStreamFrames, info.sampleRate)
                        + " of MP3 frames, but its LAME tag pads away more than its Xing tag counts, so the decoder gives no length:"
                        + " convert it to WAV or FLAC with a tool that decodes every frame, or render what the decoder gives with --accept-short");

    if (info.undecodedStreamFrames > 0 && ! options.acceptShort)
        return failure ("input '" + shownInput + "' holds " + seconds (info.undecodedStreamFrames, info.sampleRate)
                        + " of MP3 frames, but the decoder stops after " + seconds (info.expectedFrames, info.sampleRate)
                        + " (a VBR file without a Xing tag, or MP3s joined end to end): convert it to WAV or FLAC with a tool that decodes every frame,"
                        + " or render the first " + seconds (info.expectedFrames, info.sampleRate) + " with --accept-short");

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

    if (auto refused = checkDestination (output, "output", outputFile); ! refused.succeeded())
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
        if (auto refused = checkDestination (plot, "plot", plotFile); ! refused.succeeded())
            return refused;

        if (plotFile == outputFile || filepath::sameFile (plotFile, outputFile))
            return failure ("the plot and the output cannot be the same file", RenderOutcome::badCommandLine);
    }

    // Both hidden files are made now, before a sample is rendered: a folder that
    // takes no file is found at once, and a plot that cannot be written never
    // costs the render its audio.
    pendingOutput = PendingOutputFile::create (outputFile, error);

    if (pendingOutput == nullptr)
        return failure ("cannot write into the folder of '" + filepath::shown (output) + "': " + error);

    if (! plot.empty())
    {
        pendingPlot = PendingOutputFile::create (plotFile, error);

        if (pendingPlot == nullptr)
        {
            pendingOutput.reset();
            return failure ("cannot write into the folder of the plot '" + filepath::shown (plot) + "': " + error);
        }
    }

    return {};
}

std::string RenderJob::cannotWriteAs (const std::string& reason) const
{
    return "cannot write '" + filepath::shown (output) + "' as " + brask::audiofile::containerName (outputFormat.format) + " "
           + brask::audiofile::encodingName (outputFormat.format) + " at " + std::to_string (std::lround (reader->info().sampleRate))
           + " Hz: " + reason;
}

RenderOutcome RenderJob::checkDestination (const std::string& destination, const std::string& what, std::string& resolved) const
{
    const auto where = filepath::resolveOutput (destination, what);

    if (! where.problem.empty())
        return failure (where.problem);

    if (where.file == input || filepath::sameFile (where.file, input))
        return failure (what + " '" + filepath::shown (destination) + "' is the input file: give the " + what + " another name");

    resolved = where.file;
    return {};
}

//==============================================================================
RenderOutcome RenderJob::render (HostedPedal& pedal, MainThreadCalls& mainThread, ProgressDisplay& progress,
                                 double startedAtSeconds)
{
    auto outcome = renderIntoPendingFiles (pedal, mainThread, progress, startedAtSeconds);

    // The program may end without unwinding once the line is out: whatever was not
    // committed goes now.
    pendingOutput.reset();
    pendingPlot.reset();
    return outcome;
}

//==============================================================================
/** What streaming the file through the pedal leaves for the checks and the summary. */
struct RenderJob::Streamed
{
    LevelMeter inputLevels, outputLevels;
    std::int64_t framesRead = 0;
    std::int64_t silencedSamples = 0;  // non-finite output, written as 0
    std::int64_t clippedSamples = 0;   // beyond a float file's range
    std::int64_t refusedAt = -1;       // the frame where the module failed a block; -1 never
    bool allWritten = false;
};

RenderOutcome RenderJob::renderIntoPendingFiles (HostedPedal& pedal, MainThreadCalls& mainThread, ProgressDisplay& progress,
                                                 double startedAtSeconds)
{
    std::unique_ptr<RenderPlotter> plotter;
    std::unique_ptr<brask::audiofile::Writer> writer;

    if (auto refused = loadPlotter (plotter); ! refused.succeeded())
        return refused;

    if (auto refused = preparePedal (pedal, mainThread); ! refused.succeeded())
        return refused;

    if (auto refused = createWriter (writer); ! refused.succeeded())
        return refused;

    const auto streamed = stream (pedal, *writer, plotter.get(), progress);
    mainThread.call ([&] { pedal.release(); });

    std::string notes;

    if (auto refused = checkWhatWasWritten (*streamed, *writer, notes); ! refused.succeeded())
        return refused;

    if (auto refused = pendingOutput->commit(); ! refused.empty())
        return failure (refused);

    const auto plotProblem = plotter != nullptr ? drawPlot (*plotter, *streamed) : std::string();
    auto line = summarise (*streamed, startedAtSeconds) + notes;

    if (! plotProblem.empty())
        return failure (line + "; but " + plotProblem + " (the audio is kept)");

    if (plotter != nullptr)
        line += "; plot " + filepath::shown (plot);

    return { 0, line };
}

RenderOutcome RenderJob::loadPlotter (std::unique_ptr<RenderPlotter>& plotter) const
{
    // Only a render with a picture loads the library that draws it.
    if (plot.empty())
        return {};

    const auto& info = reader->info();
    std::string error;
    plotter = loadRenderPlotter (info.sampleRate, info.expectedFrames, info.numChannels, error);

    if (plotter == nullptr)
        return failure ("cannot draw the plot: " + error);

    return {};
}

RenderOutcome RenderJob::preparePedal (HostedPedal& pedal, MainThreadCalls& mainThread) const
{
    const auto& info = reader->info();
    std::string error;
    mainThread.call ([&] { error = pedal.prepare (info.numChannels, info.sampleRate, options.blockSize, options.settings); });

    if (! error.empty())
        return failure (error);

    return {};
}

RenderOutcome RenderJob::createWriter (std::unique_ptr<brask::audiofile::Writer>& writer)
{
    const auto& info = reader->info();
    std::string error;
    auto refusedByFormat = false;
    writer = brask::audiofile::Writer::createOnDescriptor (pendingOutput->takeDescriptor(), outputFormat.format,
                                                           info.numChannels, info.sampleRate, error, &refusedByFormat);

    if (writer == nullptr && refusedByFormat)
        return failure (cannotWriteAs (error));

    if (writer == nullptr)
        return failure ("cannot write '" + filepath::shown (output) + "': " + error);

    return {};
}

std::unique_ptr<RenderJob::Streamed> RenderJob::stream (HostedPedal& pedal, brask::audiofile::Writer& writer, RenderPlotter* plotter,
                                                        ProgressDisplay& progress)
{
    const auto& info = reader->info();
    const auto numChannels = info.numChannels;
    auto streamed = std::make_unique<Streamed>();

    // The file moves in stretches of whole blocks; the pedal still gets them one
    // block at a time, exactly as asked, while the stretch before is measured and
    // written on the output stage's thread. A short file gets short stretches, so
    // that no memory is set aside (and touched) for samples that never come.
    const auto maximumBlocks = std::max (1, samplesPerStretch / options.blockSize);
    const auto expectedBlocks = (info.expectedFrames + options.blockSize - 1) / options.blockSize;
    const auto blocksPerStretch = expectedBlocks > 0 ? (int) std::min<std::int64_t> (maximumBlocks, expectedBlocks) : maximumBlocks;
    const auto stretchSize = blocksPerStretch * options.blockSize;

    // A file of one stretch has nothing to overlap: no thread for it.
    const auto slots = expectedBlocks > 0 && expectedBlocks <= maximumBlocks ? 1 : stretchesInFlight;

    OutputStage outputStage (slots, numChannels, stretchSize, plotter != nullptr, [&] (OutputStage::Slot& stretch) {
        finishStretch (stretch, *streamed, plotter);
        return writer.write (stretch.exact.getArrayOfReadPointers(), stretch.numSamples);
    });

    progress.expect (info.expectedFrames);
    std::vector<float*> block ((size_t) numChannels);

    while (streamed->refusedAt < 0)
    {
        auto* stretch = outputStage.acquire();

        if (stretch == nullptr)
            break;  // the output stage failed to write; reported by the checks after

        const auto numSamples = reader->read (stretch->exact.getArrayOfWritePointers(), stretchSize);

        if (numSamples == 0)
            break;

        stretch->numSamples = numSamples;
        startStretch (*stretch, *streamed, plotter != nullptr);

        for (int start = 0; start < numSamples; start += options.blockSize)
        {
            for (int channel = 0; channel < numChannels; ++channel)
                block[(size_t) channel] = stretch->output.getWritePointer (channel) + start;

            if (! pedal.process (block.data(), std::min (options.blockSize, numSamples - start)) && streamed->refusedAt < 0)
                streamed->refusedAt = reader->framesRead() - numSamples + start;
        }

        outputStage.submit (stretch);
        progress.add (numSamples);
    }

    streamed->allWritten = outputStage.finish();
    streamed->framesRead = reader->framesRead();
    progress.add (info.expectedFrames - streamed->framesRead);  // what was expected but never came
    return streamed;
}

void RenderJob::startStretch (OutputStage::Slot& stretch, Streamed& streamed, bool keepInput) const
{
    // The pedal takes floats: each sample converted once, and measured as it goes
    // in (the output stage compares the pedal's result with the same conversion of
    // the exact sample).
    for (int channel = 0; channel < reader->info().numChannels; ++channel)
    {
        const auto* exact = stretch.exact.getReadPointer (channel);
        auto* out = stretch.output.getWritePointer (channel);

        for (int i = 0; i < stretch.numSamples; ++i)
            out[i] = toPedal (exact[i]);

        streamed.inputLevels.add (out, stretch.numSamples);

        if (keepInput)
            std::copy (out, out + stretch.numSamples, stretch.input.getWritePointer (channel));
    }
}

void RenderJob::finishStretch (OutputStage::Slot& stretch, Streamed& streamed, RenderPlotter* plotter) const
{
    const auto n = stretch.numSamples;
    const auto writesFloats = brask::audiofile::isFloatEncoding (outputFormat.format) && brask::audiofile::bytesPerStoredSample (outputFormat.format) == 4;
    constexpr auto largestFloat = (double) std::numeric_limits<float>::max();

    // A sample the pedal left untouched goes out exactly as it came in, at its
    // own precision (a 32-bit integer or a double is more than a float holds).
    // Nothing non-finite reaches the file.
    for (int channel = 0; channel < reader->info().numChannels; ++channel)
    {
        auto* exact = stretch.exact.getWritePointer (channel);
        const auto* out = stretch.output.getReadPointer (channel);

        for (int i = 0; i < n; ++i)
        {
            const auto untouched = bitsOf (out[i]) == bitsOf (toPedal (exact[i]));
            auto value = untouched ? exact[i] : (double) out[i];
            const auto finite = std::isfinite (value);
            streamed.silencedSamples += finite ? 0 : 1;

            // A float file cannot hold what a double file held beyond its range:
            // clipped to the largest float, and counted, rather than written as infinity.
            if (writesFloats && finite && std::abs (value) > largestFloat)
            {
                value = std::copysign (largestFloat, value);
                ++streamed.clippedSamples;
            }

            exact[i] = finite ? value : 0.0;
        }

        streamed.outputLevels.add (out, n);
    }

    if (plotter != nullptr)
        plotter->add (stretch.input.getArrayOfReadPointers(), stretch.output.getArrayOfReadPointers(), n);
}

RenderOutcome RenderJob::checkWhatWasWritten (const Streamed& streamed, brask::audiofile::Writer& writer, std::string& notes) const
{
    const auto& info = reader->info();
    const auto sampleRate = info.sampleRate;
    const auto framesRead = streamed.framesRead;

    // An MP3 whose frames the decoder would not give: an empty take is no render of it.
    if (framesRead == 0 && info.undecodedStreamFrames > 0)
        return failure ("input '" + filepath::shown (input) + "' holds " + seconds (info.undecodedStreamFrames, sampleRate)
                        + " of MP3 frames, but the decoder gave none of them; nothing written");

    // An empty WAV, AIFF or CAF is a valid file; a codec's is a file of 0 bytes or
    // one no player opens, which would pass for a render.
    if (framesRead == 0 && streamed.refusedAt < 0 && streamed.allWritten && brask::audiofile::bytesPerStoredSample (outputFormat.format) == 0)
        return failure ("input '" + filepath::shown (input) + "' holds no audio (0 frames): an empty "
                        + brask::audiofile::containerName (outputFormat.format) + " " + brask::audiofile::encodingName (outputFormat.format)
                        + " file is no file a player opens; nothing written");

    // Silence where the pedal should have played is no render: nothing is kept.
    if (streamed.refusedAt >= 0)
        return failure ("the module failed to process the audio at " + seconds (streamed.refusedAt, sampleRate) + " into '"
                        + filepath::shown (input) + "'");

    std::string error;

    if (! writer.close (error) || ! streamed.allWritten)
        return failure (writer.failedInTheFormat() ? cannotWriteAs (error)
                                                   : "cannot write '" + filepath::shown (output) + "': "
                                                         + (error.empty() ? std::string ("a write failed") : error));

    if (reader->endedShort())
    {
        const auto lengths = "input ends after " + seconds (framesRead, sampleRate)
                             + (info.announcedFrames > framesRead ? " of the " + seconds (info.announcedFrames, sampleRate) + " its header announces"
                                                                  : std::string (" in the middle of its stream"));

        if (! options.acceptShort)
            return failure ("'" + filepath::shown (input) + "': " + lengths + " (--accept-short renders what is there)");

        notes = "; " + lengths + ", rendered as it is";
    }

    if (info.undecodedStreamFrames > 0)
        notes += "; input holds " + seconds (info.undecodedStreamFrames, sampleRate) + " of MP3 frames, of which the decoder gave "
                 + seconds (framesRead, sampleRate) + ", rendered as it is";

    // Not errors, but the file is not what its header says: whoever rendered it should know.
    if (info.announcedFrames >= 0 && framesRead > info.announcedFrames)
        notes += "; note: input holds " + seconds (framesRead, sampleRate) + ", more than the "
                 + seconds (info.announcedFrames, sampleRate) + " its header announces, rendered whole";

    if (info.lengthNeverWritten)
        notes += "; note: the header's data size was never written (a recording not finished), read to the end of the file";

    return {};
}

std::string RenderJob::drawPlot (RenderPlotter& plotter, const Streamed& streamed) const
{
    const auto& info = reader->info();
    PlotCaption caption;
    caption.title = filepath::fileName (input) + "  \xe2\x86\x92  Brask Overdrive  \xe2\x86\x92  " + filepath::fileName (output);
    caption.settings = describeSettings (options.settings);
    caption.numChannels = info.numChannels;
    caption.format = describeInput() + ", " + brask::audiofile::encodingName (info.format) + ", "
                     + seconds (streamed.framesRead, info.sampleRate) + ", blocks of " + std::to_string (options.blockSize) + " samples";
    caption.inputLevels = describeLevels (streamed.inputLevels);
    caption.outputLevels = describeLevels (streamed.outputLevels);

    // The audio is in place already: a plot that fails now is reported, and the
    // render it would have shown is kept.
    std::string error;

    if (! plotter.write (caption, pendingPlot->getTemporaryFile(), error))
        return "cannot write the plot '" + filepath::shown (plot) + "': " + error;

    if (auto refused = pendingPlot->commit(); ! refused.empty())
        return "cannot write the plot '" + filepath::shown (plot) + "': " + refused;

    return {};
}

std::string RenderJob::summarise (const Streamed& streamed, double startedAtSeconds) const
{
    const auto length = (double) streamed.framesRead / reader->info().sampleRate;
    const auto elapsed = secondsNow() - startedAtSeconds;
    const auto wroteAs = describeInput() + ", " + brask::audiofile::encodingName (outputFormat.format)
                         + (outputFormat.reason.empty() ? std::string() : "; " + outputFormat.reason);

    auto line = "wrote " + filepath::shown (output) + " (" + decimal (length, 2) + " s, " + wroteAs + ") in "
                + decimal (elapsed, 2) + " s, " + decimal (elapsed > 0.0 ? length / elapsed : 0.0, 1)
                + "x real time; in: " + streamed.inputLevels.describe() + "; out: " + streamed.outputLevels.describe();

    if (streamed.silencedSamples > 0)
        line += " (" + std::to_string (streamed.silencedSamples) + " written as 0)";

    if (streamed.clippedSamples > 0)
        line += " (" + plural (streamed.clippedSamples, "sample", "samples") + " beyond the 32-bit float range, clipped to it)";

    return line;
}
