// brask-render: runs an audio file through the Brask Overdrive VST3 module,
// loaded through the framework's VST3 host exactly as a DAW loads it. For a
// user, a tester or a batch job who wants the pedal's sound without a DAW.

#include "HostedPedal.h"
#include "OutputStage.h"
#include "PendingOutputFile.h"
#include "RenderAnalysis.h"
#include "RenderOptions.h"
#include "RenderPlot.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
    constexpr int exitFailed = 1;
    constexpr int exitBadCommandLine = 2;

    // Columns of the plot's whole-file overview: one per pixel of its panel is plenty.
    constexpr int overviewColumns = 1500;

    // The file moves between reading, the pedal and writing in stretches of about
    // this many samples, a few of them in flight at once.
    constexpr int samplesPerStretch = 8192;
    constexpr int stretchesInFlight = 4;

    //==============================================================================
    /** A failure: one line for the user and the exit status that goes with it. */
    struct Failure
    {
        int exitStatus = 0;     // 0: no failure
        juce::String message;
    };

    int report (const Failure& failure)
    {
        std::fprintf (stderr, "brask-render: %s\n", failure.message.toRawUTF8());
        return failure.exitStatus;
    }

    /** Paths as the user would type them: relative to the current folder when inside it. */
    juce::String shown (const juce::File& file)
    {
        const auto here = juce::File::getCurrentWorkingDirectory();
        return file.isAChildOf (here) ? file.getRelativePathFrom (here) : file.getFullPathName();
    }

    /** True when both names lead to one file, through links, "..", or hard links. */
    bool isSameFile (const juce::File& a, const juce::File& b)
    {
        struct stat first {}, second {};

        if (::stat (a.getFullPathName().toRawUTF8(), &first) != 0
            || ::stat (b.getFullPathName().toRawUTF8(), &second) != 0)
            return false;

        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    }

    juce::String describeSampleFormat (const juce::AudioFormatReader& reader)
    {
        const auto channels = reader.numChannels == 1 ? "mono" : "stereo";
        const auto depth = juce::String ((int) reader.bitsPerSample) + "-bit"
                           + (reader.usesFloatingPointData ? " float" : "");
        return juce::String (juce::roundToInt (reader.sampleRate)) + " Hz, " + channels + ", " + depth;
    }

    /** A file stream that remembers any failed write, even the last flush when the
        writer that owns it closes it: a full disk must never pass as a finished file.
    */
    class WatchedFileStream final : public juce::OutputStream
    {
    public:
        WatchedFileStream (const juce::File& file, bool& failedFlag)
            : stream (file), failed (failedFlag)
        {
            failed = stream.failedToOpen();
        }

        ~WatchedFileStream() override
        {
            flush();
        }

        bool openedOk() const                           { return stream.openedOk(); }
        juce::Result getStatus() const                  { return stream.getStatus(); }

        void flush() override
        {
            stream.flush();
            failed = failed || stream.getStatus().failed();
        }

        bool setPosition (juce::int64 position) override
        {
            return note (stream.setPosition (position));
        }

        juce::int64 getPosition() override              { return stream.getPosition(); }

        bool write (const void* data, size_t numBytes) override
        {
            return note (stream.write (data, numBytes));
        }

    private:
        bool note (bool succeeded)
        {
            failed = failed || ! succeeded;
            return succeeded;
        }

        juce::FileOutputStream stream;
        bool& failed;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WatchedFileStream)
    };

    /** Hands blocks to the format writer so that a file read in comes out the same
        when the pedal leaves it alone. The framework's own float-to-integer path
        scales by 2^(b-1) - 1 while its reader divides by 2^(b-1), which would move
        every loud sample by one step; here each sample is rounded to the nearest
        of the 2^b steps the reader maps back to, and clamped at full scale.
    */
    class TransparentSampleWriter final
    {
    public:
        TransparentSampleWriter (juce::AudioFormatWriter& formatWriter, int numChannels, int maximumBlockSize)
            : writer (formatWriter),
              integers ((size_t) numChannels, std::vector<int> ((size_t) maximumBlockSize)),
              channelPointers ((size_t) numChannels + 1, nullptr)
        {
            for (size_t channel = 0; channel < integers.size(); ++channel)
                channelPointers[channel] = integers[channel].data();
        }

        bool write (const juce::AudioBuffer<float>& buffer, int numSamples)
        {
            if (writer.isFloatingPoint())
                return writer.writeFromAudioSampleBuffer (buffer, 0, numSamples);

            // Integer writers take 32-bit samples and keep the top bits. Up to 24 bits,
            // every step and the scaling by a power of two are exact in single precision.
            const auto bits = writer.getBitsPerSample();
            const auto fullScale = std::ldexp (1.0f, bits - 1);
            const auto shift = (juce::uint32) (32 - bits);

            for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
            {
                const auto* in = buffer.getReadPointer (channel);
                auto* out = integers[(size_t) channel].data();

                for (int i = 0; i < numSamples; ++i)
                {
                    const auto x = in[i];
                    const auto scaled = x == x ? juce::jlimit (-fullScale, fullScale - 1.0f, x * fullScale) : 0.0f;

                    // Nearest step, ties to even.
                    const auto step = juce::roundToInt (scaled);
                    out[i] = (int) ((juce::uint32) step << shift);
                }
            }

            return writer.write (const_cast<const int**> (channelPointers.data()), numSamples);
        }

    private:
        juce::AudioFormatWriter& writer;
        std::vector<std::vector<int>> integers;
        std::vector<int*> channelPointers;     // ends with nullptr, as the writer expects
    };

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

    //==============================================================================
    /** A progress bar on stderr, only when a person is watching it. */
    class ProgressBar final
    {
    public:
        explicit ProgressBar (juce::int64 totalSamples)
            : total (totalSamples), enabled (::isatty (STDERR_FILENO) == 1 && totalSamples > 0)
        {
        }

        ~ProgressBar()
        {
            clear();
        }

        void update (juce::int64 done)
        {
            if (! enabled)
                return;

            const auto permille = (int) (done * 1000 / total);

            if (permille == lastPermille)
                return;

            lastPermille = permille;
            constexpr int width = 40;
            const auto filled = permille * width / 1000;
            juce::String bar;

            for (int i = 0; i < width; ++i)
                bar << (i < filled ? "#" : (i == filled ? ">" : "."));

            std::fprintf (stderr, "\r  rendering [%s] %5.1f%%", bar.toRawUTF8(), permille / 10.0);
            std::fflush (stderr);
        }

        void clear()
        {
            if (enabled && lastPermille >= 0)
            {
                std::fprintf (stderr, "\r\033[K");
                std::fflush (stderr);
            }

            lastPermille = -1;
        }

    private:
        juce::int64 total;
        bool enabled;
        int lastPermille = -1;
    };

    //==============================================================================
    /** One render, from checking the request to the summary line. */
    class Render final
    {
    public:
        Render (const RenderOptions& renderOptions, double startedAtMilliseconds)
            : options (renderOptions), startMilliseconds (startedAtMilliseconds)
        {
            formats.registerBasicFormats();
        }

        int run()
        {
            if (auto failure = checkRequest(); failure.exitStatus != 0)
                return report (failure);

            if (auto failure = renderAndWrite(); failure.exitStatus != 0)
                return report (failure);

            return 0;
        }

    private:
        //==============================================================================
        Failure checkRequest()
        {
            const auto& input = options.input;
            const auto& output = options.output;

            if (input.isDirectory())
                return { exitFailed, "input '" + shown (input) + "' is a folder, not an audio file" };

            if (! input.existsAsFile())
                return { exitFailed, "cannot read input '" + shown (input) + "': no such file" };

            {
                juce::FileInputStream probe (input);

                if (probe.failedToOpen())
                    return { exitFailed, "cannot read input '" + shown (input) + "': " + probe.getStatus().getErrorMessage() };
            }

            reader.reset (formats.createReaderFor (input));

            if (reader == nullptr)
                return { exitFailed, "input '" + shown (input) + "' is not an audio file brask-render can read (WAV, AIFF or FLAC)" };

            if (reader->numChannels < 1 || reader->numChannels > 2)
                return { exitFailed, "input '" + shown (input) + "' has " + juce::String ((int) reader->numChannels)
                                         + " channels; the pedal takes mono or stereo" };

            if (reader->sampleRate <= 0.0)
                return { exitFailed, "input '" + shown (input) + "' has no sample rate" };

            if (auto failure = checkDestination (output, "output"); failure.exitStatus != 0)
                return failure;

            outputFormat = formats.findFormatForFileExtension (output.getFileExtension());

            if (outputFormat == nullptr)
                return { exitFailed, (output.getFileExtension().isEmpty() ? juce::String ("the output needs an extension")
                                                                           : "cannot write '" + output.getFileExtension() + "' files")
                                         + ": name the output .wav, .aiff or .flac" };

            const auto bits = (int) reader->bitsPerSample;

            if (! outputFormat->getPossibleBitDepths().contains (bits))
                return { exitFailed, outputFormat->getFormatName() + " cannot hold the input's " + juce::String (bits) + "-bit"
                                         + (reader->usesFloatingPointData ? " float" : "") + " samples: name the output .wav" };

            if (options.plot != juce::File())
            {
                if (auto failure = checkDestination (options.plot, "plot"); failure.exitStatus != 0)
                    return failure;

                if (options.plot == output || isSameFile (options.plot, output))
                    return { exitBadCommandLine, "the plot and the output cannot be the same file" };
            }

            return {};
        }

        Failure checkDestination (const juce::File& destination, const juce::String& what)
        {
            if (destination.isDirectory())
                return { exitFailed, what + " '" + shown (destination) + "' is a folder" };

            if (! destination.getParentDirectory().isDirectory())
                return { exitFailed, "the " + what + " folder '" + shown (destination.getParentDirectory()) + "' does not exist" };

            if (destination == options.input || isSameFile (destination, options.input))
                return { exitFailed, what + " '" + shown (destination) + "' is the input file: give the " + what + " another name" };

            return {};
        }

        //==============================================================================
        Failure renderAndWrite()
        {
            HostedPedal pedal;

            if (auto loaded = pedal.load (options.module); loaded.failed())
                return { exitFailed, loaded.getErrorMessage() };

            const auto numChannels = (int) reader->numChannels;
            const auto sampleRate = reader->sampleRate;
            const auto totalSamples = reader->lengthInSamples;

            if (auto prepared = pedal.prepare (numChannels, sampleRate, options.blockSize, options.settings); prepared.failed())
                return { exitFailed, prepared.getErrorMessage() };

            PendingOutputFile pendingOutput (options.output);
            auto writeFailed = false;
            auto stream = std::make_unique<WatchedFileStream> (pendingOutput.getTemporaryFile(), writeFailed);

            if (! stream->openedOk())
                return { exitFailed, "cannot write into '" + shown (options.output.getParentDirectory()) + "': "
                                         + stream->getStatus().getErrorMessage() };

            // The middle of the format's choices: FLAC's compression level 4 (its output is
            // lossless at every level); WAV and AIFF have no choices.
            const auto quality = outputFormat->getQualityOptions().size() / 2;
            std::unique_ptr<juce::AudioFormatWriter> writer (outputFormat->createWriterFor (stream.get(), sampleRate, (unsigned int) numChannels,
                                                                                           (int) reader->bitsPerSample, {}, quality));

            if (writer == nullptr)
                return { exitFailed, "cannot write " + describeSampleFormat (*reader) + " as " + outputFormat->getFormatName() };

            stream.release();     // the writer owns it now

            std::unique_ptr<RenderAnalysis> analysis;

            if (options.plot != juce::File())
                analysis = std::make_unique<RenderAnalysis> (sampleRate, totalSamples, overviewColumns);

            // The file moves in stretches of whole blocks; the pedal still gets them
            // one block at a time, exactly as asked, while the stretch before is
            // measured and written on the output stage's thread.
            const auto blocksPerStretch = juce::jmax (1, samplesPerStretch / options.blockSize);
            const auto stretchSize = blocksPerStretch * options.blockSize;

            LevelMeter inputLevels, outputLevels;
            TransparentSampleWriter sampleWriter (*writer, numChannels, stretchSize);

            OutputStage outputStage (stretchesInFlight, numChannels, stretchSize, [&] (OutputStage::Slot& stretch)
            {
                inputLevels.add (stretch.input, stretch.numSamples);
                outputLevels.add (stretch.output, stretch.numSamples);

                if (analysis != nullptr)
                    analysis->add (stretch.input, stretch.output, stretch.numSamples);

                return sampleWriter.write (stretch.output, stretch.numSamples);
            });

            ProgressBar progress (totalSamples);
            auto readFailedAt = (juce::int64) -1;

            for (juce::int64 position = 0; position < totalSamples;)
            {
                auto* stretch = outputStage.acquire();

                if (stretch == nullptr)
                    break;      // the output stage failed to write; reported below

                const auto numSamples = (int) juce::jmin<juce::int64> (stretchSize, totalSamples - position);
                stretch->numSamples = numSamples;

                if (! reader->read (&stretch->input, 0, numSamples, position, true, true))
                {
                    readFailedAt = position;
                    break;
                }

                for (int channel = 0; channel < numChannels; ++channel)
                    stretch->output.copyFrom (channel, 0, stretch->input, channel, 0, numSamples);

                for (int start = 0; start < numSamples; start += options.blockSize)
                {
                    juce::AudioBuffer<float> block (stretch->output.getArrayOfWritePointers(), numChannels,
                                                    start, juce::jmin (options.blockSize, numSamples - start));
                    pedal.process (block);
                }

                outputStage.submit (stretch);
                position += numSamples;
                progress.update (position);
            }

            const auto allWritten = outputStage.finish();

            if (readFailedAt >= 0)
                return { exitFailed, "cannot read input '" + shown (options.input) + "' at sample " + juce::String (readFailedAt) };

            if (! allWritten)
                return { exitFailed, "cannot write '" + shown (options.output) + "' (is the disk full?)" };

            progress.clear();
            pedal.release();

            // Closing the writer completes the file's header and flushes the last bytes.
            writer.reset();

            if (writeFailed)
                return { exitFailed, "cannot write '" + shown (options.output) + "' (is the disk full?)" };

            std::unique_ptr<PendingOutputFile> pendingPlot;

            if (analysis != nullptr)
            {
                analysis->finish();
                pendingPlot = std::make_unique<PendingOutputFile> (options.plot);

                PlotCaption caption;
                caption.title = options.input.getFileName() + "  \xe2\x86\x92  Brask Overdrive  \xe2\x86\x92  " + options.output.getFileName();
                caption.settings = describeSettings (options.settings);
                caption.numChannels = numChannels;
                caption.format = describeSampleFormat (*reader) + ", " + juce::String ((double) totalSamples / sampleRate, 2)
                                 + " s, blocks of " + juce::String (options.blockSize) + " samples";
                caption.inputLevels = "peak " + LevelMeter::toDecibelsText (inputLevels.getPeak())
                                      + "   RMS " + LevelMeter::toDecibelsText (inputLevels.getRms());
                caption.outputLevels = "peak " + LevelMeter::toDecibelsText (outputLevels.getPeak())
                                       + "   RMS " + LevelMeter::toDecibelsText (outputLevels.getRms());

                if (! writePicture (drawRenderPlot (*analysis, caption), pendingPlot->getTemporaryFile()))
                    return { exitFailed, "cannot write the plot '" + shown (options.plot) + "'" };
            }

            if (auto committed = pendingOutput.commit(); committed.failed())
                return { exitFailed, committed.getErrorMessage() };

            if (pendingPlot != nullptr)
                if (auto committed = pendingPlot->commit(); committed.failed())
                    return { exitFailed, committed.getErrorMessage() };

            const auto seconds = (double) totalSamples / sampleRate;
            const auto elapsed = (juce::Time::getMillisecondCounterHiRes() - startMilliseconds) / 1000.0;

            std::printf ("brask-render: wrote %s (%.2f s, %s) in %.2f s, %.1fx real time; "
                         "in: peak %s, RMS %s; out: peak %s, RMS %s%s\n",
                         shown (options.output).toRawUTF8(), seconds, describeSampleFormat (*reader).toRawUTF8(),
                         elapsed, elapsed > 0.0 ? seconds / elapsed : 0.0,
                         LevelMeter::toDecibelsText (inputLevels.getPeak()).toRawUTF8(),
                         LevelMeter::toDecibelsText (inputLevels.getRms()).toRawUTF8(),
                         LevelMeter::toDecibelsText (outputLevels.getPeak()).toRawUTF8(),
                         LevelMeter::toDecibelsText (outputLevels.getRms()).toRawUTF8(),
                         pendingPlot != nullptr ? ("; plot " + shown (options.plot)).toRawUTF8() : "");

            return {};
        }

        //==============================================================================
        const RenderOptions& options;
        const double startMilliseconds;

        juce::AudioFormatManager formats;
        std::unique_ptr<juce::AudioFormatReader> reader;
        juce::AudioFormat* outputFormat = nullptr;
    };
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
        return report ({ exitBadCommandLine, parsed.getErrorMessage() });

    if (options.showHelp)
    {
        std::fputs (RenderOptions::usage().toRawUTF8(), stdout);
        return 0;
    }

    // The framework's VST3 host needs a message thread: this one.
    juce::ScopedJuceInitialiser_GUI framework;
    return Render (options, startMilliseconds).run();
}
