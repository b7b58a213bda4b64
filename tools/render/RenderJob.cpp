#include "RenderJob.h"

#include "HostedPedal.h"
#include "LevelMeter.h"
#include "OutputStage.h"
#include "PendingOutputFile.h"
#include "ProgressDisplay.h"
#include "RenderAnalysis.h"
#include "RenderPlot.h"

#include <juce_events/juce_events.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace
{
    // Columns of the plot's whole-file overview: one per pixel of its panel is plenty.
    constexpr int overviewColumns = 1500;

    // The file moves between reading, the pedal and writing in stretches of about
    // this many samples, a few of them in flight at once.
    constexpr int samplesPerStretch = 8192;
    constexpr int stretchesInFlight = 4;

    /** True when both names lead to one file, through links, "..", or hard links. */
    bool isSameFile (const juce::File& a, const juce::File& b)
    {
        struct stat first {}, second {};

        if (::stat (a.getFullPathName().toRawUTF8(), &first) != 0
            || ::stat (b.getFullPathName().toRawUTF8(), &second) != 0)
            return false;

        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    }

    /** The framework's VST3 host expects its calls that set a module up on the
        message thread; a worker hands them over and waits.
    */
    void onMessageThread (const std::function<void()>& call)
    {
        auto* messageManager = juce::MessageManager::getInstance();

        if (messageManager->isThisTheMessageThread())
        {
            call();
            return;
        }

        messageManager->callFunctionOnMessageThread ([] (void* function) -> void*
                                                     {
                                                         (*static_cast<const std::function<void()>*> (function))();
                                                         return nullptr;
                                                     },
                                                     const_cast<std::function<void()>*> (&call));
    }

    juce::String seconds (juce::int64 frames, double sampleRate)
    {
        return juce::String ((double) frames / sampleRate, 2) + " s";
    }

    std::uint32_t bitsOf (float value) noexcept
    {
        std::uint32_t bits;
        std::memcpy (&bits, &value, sizeof (bits));
        return bits;
    }

    bool writePicture (const juce::Image& picture, const juce::File& file)
    {
        juce::FileOutputStream stream (file);

        if (stream.failedToOpen())
            return false;

        juce::PNGImageFormat png;

        if (! png.writeImageToStream (picture, stream))
            return false;

        stream.flush();
        return stream.getStatus().wasOk();
    }

    juce::String describeSettings (const PedalSettings& settings)
    {
        return "drive " + juce::String (settings.drive, 2) + "   tone " + juce::String (settings.tone, 2)
               + "   level " + juce::String (settings.level, 2)
               + "   footswitch " + (settings.effectOn ? "on" : "off");
    }
}

juce::String shownPath (const juce::File& file)
{
    const auto here = juce::File::getCurrentWorkingDirectory();
    return file.isAChildOf (here) ? file.getRelativePathFrom (here) : file.getFullPathName();
}

//==============================================================================
RenderJob::RenderJob (const RenderOptions& renderOptions, const juce::File& inputFile, const juce::File& outputFile, const juce::File& plotFile)
    : options (renderOptions), input (inputFile), output (outputFile), plot (plotFile)
{
}

RenderJob::~RenderJob() = default;

RenderOutcome RenderJob::failure (const juce::String& message, int exitStatus) const
{
    return { exitStatus, message };
}

juce::int64 RenderJob::expectedFrames() const noexcept
{
    return reader != nullptr ? reader->info().expectedFrames : 0;
}

juce::String RenderJob::describeInput() const
{
    const auto& info = reader->info();
    return juce::String (juce::roundToInt (info.sampleRate)) + " Hz, " + (info.numChannels == 1 ? "mono" : "stereo");
}

RenderOutcome RenderJob::open()
{
    if (input.isDirectory())
        return failure ("input '" + shownPath (input) + "' is a folder, not an audio file");

    if (! input.existsAsFile())
        return failure ("cannot read input '" + shownPath (input) + "': no such file");

    // Opened here, once, so that a file the system refuses (permissions) is told apart
    // from one that is not audio.
    const auto descriptor = ::open (input.getFullPathName().toRawUTF8(), O_RDONLY | O_CLOEXEC);

    if (descriptor < 0)
        return failure ("cannot read input '" + shownPath (input) + "': " + juce::String (std::strerror (errno)));

    std::string error;
    reader = brask::audiofile::Reader::openDescriptor (descriptor, error);

    if (reader == nullptr)
        return failure ("input '" + shownPath (input) + "' is not an audio file brask-render can read (" + juce::String (error) + ")");

    const auto& info = reader->info();

    if (info.numChannels > 2)
        return failure ("input '" + shownPath (input) + "' has " + juce::String (info.numChannels)
                        + " channels; the pedal takes mono or stereo");

    // A file whose bytes cannot hold what its header announces is short before a sample is read.
    if (info.announcedFrames > info.maximumFrames && ! options.acceptShort)
        return failure ("'" + shownPath (input) + "': input ends after " + seconds (info.maximumFrames, info.sampleRate)
                        + " of the " + seconds (info.announcedFrames, info.sampleRate)
                        + " its header announces (--accept-short renders what is there)");

    if (auto refused = checkDestination (output, "output"); ! refused.succeeded())
        return refused;

    const auto container = brask::audiofile::containerForFileName (output.getFileName().toStdString());

    if (container == 0)
        return failure ((output.getFileExtension().isEmpty() ? juce::String ("the output needs an extension")
                                                              : "cannot write '" + output.getFileExtension() + "' files")
                        + ": name the output " + juce::String (brask::audiofile::writableExtensions()));

    outputFormat = brask::audiofile::chooseOutputFormat (info.format, container, info.numChannels,
                                                         juce::roundToInt (info.sampleRate), options.bits);

    if (outputFormat.format == 0)
        return failure ("cannot write '" + shownPath (output) + "': " + juce::String (outputFormat.reason));

    outputFormat = brask::audiofile::largeEnoughFor (outputFormat, info.expectedFrames, info.numChannels);

    if (plot != juce::File())
    {
        if (auto refused = checkDestination (plot, "plot"); ! refused.succeeded())
            return refused;

        if (plot == output || isSameFile (plot, output))
            return failure ("the plot and the output cannot be the same file", RenderOutcome::badCommandLine);
    }

    return {};
}

RenderOutcome RenderJob::checkDestination (const juce::File& destination, const juce::String& what) const
{
    if (destination.isDirectory())
        return failure (what + " '" + shownPath (destination) + "' is a folder");

    if (! destination.getParentDirectory().isDirectory())
        return failure ("the " + what + " folder '" + shownPath (destination.getParentDirectory()) + "' does not exist");

    if (destination == input || isSameFile (destination, input))
        return failure (what + " '" + shownPath (destination) + "' is the input file: give the " + what + " another name");

    return {};
}

//==============================================================================
RenderOutcome RenderJob::render (HostedPedal& pedal, ProgressDisplay& progress, double startedAtMilliseconds)
{
    jassert (reader != nullptr);

    const auto& info = reader->info();
    const auto numChannels = info.numChannels;
    const auto sampleRate = info.sampleRate;

    std::string prepared;
    onMessageThread ([&] { prepared = pedal.prepare (numChannels, sampleRate, options.blockSize, options.settings); });

    if (! prepared.empty())
        return failure (prepared);

    PendingOutputFile pendingOutput (output);
    std::string error;
    auto writer = brask::audiofile::Writer::create (pendingOutput.getTemporaryFile().getFullPathName().toStdString(),
                                                    outputFormat.format, numChannels, sampleRate, error);

    if (writer == nullptr)
        return failure ("cannot write into '" + shownPath (output.getParentDirectory()) + "': " + juce::String (error));

    std::unique_ptr<RenderAnalysis> analysis;

    if (plot != juce::File())
        analysis = std::make_unique<RenderAnalysis> (sampleRate, info.expectedFrames, overviewColumns);

    // The file moves in stretches of whole blocks; the pedal still gets them one
    // block at a time, exactly as asked, while the stretch before is measured and
    // written on the output stage's thread. A short file gets short stretches, so
    // that no memory is set aside (and touched) for samples that never come.
    const auto maximumBlocks = juce::jmax (1, samplesPerStretch / options.blockSize);
    const auto expectedBlocks = (info.expectedFrames + options.blockSize - 1) / options.blockSize;
    const auto blocksPerStretch = expectedBlocks > 0 ? (int) std::min<juce::int64> (maximumBlocks, expectedBlocks) : maximumBlocks;
    const auto stretchSize = blocksPerStretch * options.blockSize;

    LevelMeter inputLevels, outputLevels;
    juce::int64 silencedSamples = 0;

    // A file of one stretch has nothing to overlap: no thread for it.
    const auto slots = expectedBlocks > 0 && expectedBlocks <= maximumBlocks ? 1 : stretchesInFlight;

    OutputStage outputStage (slots, numChannels, stretchSize, analysis != nullptr, [&] (OutputStage::Slot& stretch)
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

        if (analysis != nullptr)
            analysis->add (stretch.input, stretch.output, n);

        return writer->write (stretch.exact.getArrayOfReadPointers(), n);
    });

    progress.expect (info.expectedFrames);

    for (;;)
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

            if (analysis != nullptr)
                stretch->input.copyFrom (channel, 0, out, numSamples);
        }

        for (int start = 0; start < numSamples; start += options.blockSize)
        {
            juce::AudioBuffer<float> block (stretch->output.getArrayOfWritePointers(), numChannels,
                                            start, juce::jmin (options.blockSize, numSamples - start));
            pedal.process (block.getArrayOfWritePointers(), block.getNumSamples());
        }

        outputStage.submit (stretch);
        progress.add (numSamples);
    }

    const auto allWritten = outputStage.finish();
    const auto framesRead = reader->framesRead();
    progress.add (info.expectedFrames - framesRead);     // what was expected but never came

    onMessageThread ([&] { pedal.release(); });

    if (! allWritten || ! writer->close (error))
        return failure ("cannot write '" + shownPath (output) + "' (is the disk full?)");

    juce::String shortNote;

    if (reader->endedShort())
    {
        const auto lengths = "input ends after " + seconds (framesRead, sampleRate) + " of the "
                             + seconds (info.announcedFrames, sampleRate) + " its header announces";

        if (! options.acceptShort)
            return failure ("'" + shownPath (input) + "': " + lengths + " (--accept-short renders what is there)");

        shortNote = "; " + lengths + ", rendered as it is";
    }

    const auto wroteAs = describeInput() + ", " + juce::String (brask::audiofile::encodingName (outputFormat.format))
                         + (outputFormat.reason.empty() ? juce::String() : "; " + juce::String (outputFormat.reason));

    std::unique_ptr<PendingOutputFile> pendingPlot;

    if (analysis != nullptr)
    {
        analysis->finish();
        pendingPlot = std::make_unique<PendingOutputFile> (plot);

        PlotCaption caption;
        caption.title = input.getFileName() + "  \xe2\x86\x92  Brask Overdrive  \xe2\x86\x92  " + output.getFileName();
        caption.settings = describeSettings (options.settings);
        caption.numChannels = numChannels;
        caption.format = describeInput() + ", " + juce::String (brask::audiofile::encodingName (info.format)) + ", "
                         + seconds (framesRead, sampleRate) + ", blocks of " + juce::String (options.blockSize) + " samples";
        caption.inputLevels = "peak " + juce::String (LevelMeter::toDecibelsText (inputLevels.getPeak()))
                              + "   RMS " + juce::String (LevelMeter::toDecibelsText (inputLevels.getRms()));
        caption.outputLevels = "peak " + juce::String (LevelMeter::toDecibelsText (outputLevels.getPeak()))
                               + "   RMS " + juce::String (LevelMeter::toDecibelsText (outputLevels.getRms()));

        if (! writePicture (drawRenderPlot (*analysis, caption), pendingPlot->getTemporaryFile()))
            return failure ("cannot write the plot '" + shownPath (plot) + "'");
    }

    if (auto committed = pendingOutput.commit(); committed.failed())
        return failure (committed.getErrorMessage());

    if (pendingPlot != nullptr)
        if (auto committed = pendingPlot->commit(); committed.failed())
            return failure (committed.getErrorMessage());

    const auto length = (double) framesRead / sampleRate;
    const auto elapsed = (juce::Time::getMillisecondCounterHiRes() - startedAtMilliseconds) / 1000.0;

    auto line = "wrote " + shownPath (output) + " (" + juce::String (length, 2) + " s, " + wroteAs + ") in "
                + juce::String (elapsed, 2) + " s, " + juce::String (elapsed > 0.0 ? length / elapsed : 0.0, 1)
                + "x real time; in: " + juce::String (inputLevels.describe()) + "; out: " + juce::String (outputLevels.describe());

    if (silencedSamples > 0)
        line << " (" << silencedSamples << " written as 0)";

    line << shortNote;

    if (pendingPlot != nullptr)
        line << "; plot " << shownPath (plot);

    return { 0, line };
}
