#include "RenderTestSupport.h"

#include "plugin/BraskOverdriveAudioProcessor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace RenderTest
{
    juce::File builtModule()
    {
        return juce::File (brask::built::vst3Bundle);
    }

    //==============================================================================
    ScratchFolder::ScratchFolder()
        : folder (juce::File::getSpecialLocation (juce::File::tempDirectory)
                      .getNonexistentChildFile ("brask-render-test", {}, false))
    {
        folder.createDirectory();
    }

    ScratchFolder::~ScratchFolder()
    {
        folder.deleteRecursively();
    }

    std::map<juce::String, juce::MemoryBlock> ScratchFolder::snapshot() const
    {
        std::map<juce::String, juce::MemoryBlock> files;

        for (const auto& entry : juce::RangedDirectoryIterator (folder, true, "*", juce::File::findFilesAndDirectories))
        {
            const auto& file = entry.getFile();
            juce::MemoryBlock contents;

            if (! entry.isDirectory() && ! file.isSymbolicLink())
                file.loadFileAsData (contents);

            files[file.getRelativePathFrom (folder) + (entry.isDirectory() ? "/" : "")] = contents;
        }

        return files;
    }

    //==============================================================================
    juce::AudioBuffer<float> makeTestSignal (int numChannels, double sampleRate, int numSamples, juce::int64 seed)
    {
        juce::AudioBuffer<float> audio (numChannels, numSamples);
        juce::Random random (seed);

        for (int channel = 0; channel < numChannels; ++channel)
        {
            auto* samples = audio.getWritePointer (channel);

            // A different note on each channel, re-struck every 0.3 s and decaying.
            const auto fundamental = channel == 0 ? 110.0 : 146.83;
            const auto restrike = (int) (0.3 * sampleRate);

            for (int i = 0; i < numSamples; ++i)
            {
                const auto t = (double) i / sampleRate;
                const auto sinceStrike = (double) (i % restrike) / sampleRate;
                auto note = 0.0;

                for (int harmonic = 1; harmonic <= 6; ++harmonic)
                    note += std::sin (2.0 * juce::MathConstants<double>::pi * fundamental * harmonic * t + harmonic) / harmonic;

                const auto envelope = 0.55 * std::exp (-sinceStrike * 6.0);
                samples[i] = (float) (envelope * note + 0.01 * (random.nextDouble() * 2.0 - 1.0));
            }

            // A stretch of silence, where the chain's own low end and offset show.
            audio.clear (channel, numSamples / 3, juce::jmin (numSamples / 10, numSamples - numSamples / 3));

            // A burst at full scale, where the clipper works hardest and formats quantise at their limits.
            for (int i = numSamples / 2; i < juce::jmin (numSamples, numSamples / 2 + 200); ++i)
                samples[i] = (i / 20) % 2 == 0 ? 1.0f : -1.0f;
        }

        return audio;
    }

    void writeAudioFile (const juce::File& file, const juce::AudioBuffer<float>& audio, double sampleRate, const FileFormat& format)
    {
        file.deleteFile();
        std::string error;
        auto writer = brask::audiofile::Writer::create (file.getFullPathName().toStdString(), format.format,
                                                        audio.getNumChannels(), sampleRate, error);

        if (writer == nullptr)
        {
            // A test that cannot make its own input has nothing to say: stop it loudly.
            std::fprintf (stderr, "cannot write the test file '%s': %s\n", file.getFullPathName().toRawUTF8(), error.c_str());
            std::abort();
        }

        juce::AudioBuffer<double> samples;
        samples.makeCopyOf (audio);
        writer->write (samples.getArrayOfReadPointers(), samples.getNumSamples());
        if (! writer->close (error))
        {
            std::fprintf (stderr, "cannot write the test file '%s': %s\n", file.getFullPathName().toRawUTF8(), error.c_str());
            std::abort();
        }
    }

    DecodedFile readAudioFile (const juce::File& file)
    {
        DecodedFile decoded;
        std::string error;
        auto reader = brask::audiofile::Reader::open (file.getFullPathName().toStdString(), error);

        if (reader == nullptr)
            return decoded;

        const auto& info = reader->info();
        decoded.sampleRate = info.sampleRate;
        decoded.format = info.format;

        // Read to the real end, however long the header says the file is.
        constexpr int chunk = 65536;
        juce::AudioBuffer<double> piece (info.numChannels, chunk);

        for (int got; (got = reader->read (piece.getArrayOfWritePointers(), chunk)) > 0;)
        {
            const auto start = decoded.exact.getNumSamples();
            decoded.exact.setSize (info.numChannels, start + got, true);

            for (int channel = 0; channel < info.numChannels; ++channel)
                decoded.exact.copyFrom (channel, start, piece, channel, 0, got);
        }

        decoded.audio.makeCopyOf (decoded.exact);
        return decoded;
    }

    juce::String firstDifference (const juce::AudioBuffer<double>& a, const juce::AudioBuffer<double>& b)
    {
        if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
            return juce::String (a.getNumChannels()) + " x " + juce::String (a.getNumSamples()) + " vs "
                   + juce::String (b.getNumChannels()) + " x " + juce::String (b.getNumSamples());

        for (int channel = 0; channel < a.getNumChannels(); ++channel)
            for (int i = 0; i < a.getNumSamples(); ++i)
                if (std::memcmp (a.getReadPointer (channel) + i, b.getReadPointer (channel) + i, sizeof (double)) != 0)
                    return "channel " + juce::String (channel) + ", sample " + juce::String (i) + ": "
                           + juce::String (a.getSample (channel, i), 12) + " vs " + juce::String (b.getSample (channel, i), 12);

        return {};
    }

    juce::String firstDifference (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
    {
        if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
            return juce::String (a.getNumChannels()) + " x " + juce::String (a.getNumSamples()) + " vs "
                   + juce::String (b.getNumChannels()) + " x " + juce::String (b.getNumSamples());

        for (int channel = 0; channel < a.getNumChannels(); ++channel)
            for (int i = 0; i < a.getNumSamples(); ++i)
                if (std::memcmp (a.getReadPointer (channel) + i, b.getReadPointer (channel) + i, sizeof (float)) != 0)
                    return "channel " + juce::String (channel) + ", sample " + juce::String (i) + ": "
                           + juce::String (a.getSample (channel, i), 9) + " vs " + juce::String (b.getSample (channel, i), 9);

        return {};
    }

    //==============================================================================
    juce::AudioBuffer<float> processInProcess (const juce::AudioBuffer<float>& input, double sampleRate,
                                               const PedalSettings& settings, int blockSize)
    {
        BraskOverdriveAudioProcessor pedal;

        const auto channelSet = input.getNumChannels() == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (channelSet);
        layout.outputBuses.add (channelSet);
        EXPECT_TRUE (pedal.setBusesLayout (layout));

        pedal.setDrive (settings.drive);
        pedal.setTone (settings.tone);
        pedal.setLevel (settings.level);
        pedal.setEffectOn (settings.effectOn);

        pedal.setRateAndBufferSizeDetails (sampleRate, blockSize);
        pedal.prepareToPlay (sampleRate, blockSize);

        juce::AudioBuffer<float> output (input.getNumChannels(), input.getNumSamples());
        juce::AudioBuffer<float> block (input.getNumChannels(), blockSize);
        juce::MidiBuffer midi;

        for (int start = 0; start < input.getNumSamples(); start += blockSize)
        {
            const auto length = juce::jmin (blockSize, input.getNumSamples() - start);
            block.setSize (input.getNumChannels(), length, false, false, true);

            for (int channel = 0; channel < input.getNumChannels(); ++channel)
                block.copyFrom (channel, 0, input, channel, start, length);

            pedal.processBlock (block, midi);

            for (int channel = 0; channel < input.getNumChannels(); ++channel)
                output.copyFrom (channel, start, block, channel, 0, length);
        }

        pedal.releaseResources();
        return output;
    }

    //==============================================================================
    int startRender (const std::vector<juce::String>& arguments, const juce::File& outputCapture, const juce::File& errorCapture,
                     const juce::File& executable)
    {
        std::vector<std::string> storage { executable.getFullPathName().toStdString() };

        for (const auto& argument : arguments)
            storage.push_back (argument.toStdString());

        std::vector<char*> argv;

        for (auto& s : storage)
            argv.push_back (s.data());

        argv.push_back (nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, outputCapture.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, errorCapture.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

        pid_t pid = -1;
        const auto spawned = posix_spawn (&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy (&actions);

        return spawned == 0 ? (int) pid : -1;
    }

    int waitForRender (int pid)
    {
        int status = 0;

        if (pid <= 0 || waitpid ((pid_t) pid, &status, 0) != pid)
            return -1;

        if (WIFEXITED (status))
            return WEXITSTATUS (status);

        return WIFSIGNALED (status) ? 128 + WTERMSIG (status) : -1;
    }

    ProcessResult runRender (const std::vector<juce::String>& arguments)
    {
        return runRender (juce::File (brask::built::renderExecutable), arguments);
    }

    ProcessResult runRender (const juce::File& executable, const std::vector<juce::String>& arguments)
    {
        // The captures live outside any folder a test inspects.
        const juce::TemporaryFile outputCapture (".out"), errorCapture (".err");

        ProcessResult result;
        result.exitStatus = waitForRender (startRender (arguments, outputCapture.getFile(), errorCapture.getFile(), executable));
        result.out = outputCapture.getFile().loadFileAsString().toStdString();
        result.err = errorCapture.getFile().loadFileAsString().toStdString();
        return result;
    }
}
