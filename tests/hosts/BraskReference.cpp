// What the pedal's own processor, run in-process, makes of the same audio and
// the same saved state that a host hands the built plug-in. The host tests
// check that a host's render of the built plug-in is this, sample for sample;
// whether this is the right sound is the unit tests' business.
//
//   brask_reference render --state HEX [--warm-up CYCLES --cycle SIZE] [--prepare-again]
//                          --block SIZE IN_L.wav IN_R.wav OUT_L.wav OUT_R.wav
//       Follows a host's lifecycle: restores the 16-byte state (32 hex digits)
//       and prepares; with --warm-up, first plays CYCLES engine cycles of
//       silence of SIZE samples (a host keeps running its plug-ins while the
//       transport stands) and, with --prepare-again, prepares once more for the
//       render; then processes the input in blocks of --block samples. Writes
//       32-bit float mono files.
//
//   brask_reference editor-size
//       Prints the width and height of a newly opened editor on this display.

#include "AudioFile.h"
#include "plugin/BraskOverdriveAudioProcessor.h"

#include <sndfile.h>

#include <iostream>
#include <optional>

namespace
{
    int fail (const juce::String& message)
    {
        std::cerr << "brask_reference: " << message << std::endl;
        return 2;
    }

    struct MonoFile
    {
        juce::AudioBuffer<float> samples;
        double sampleRate = 0.0;
    };

    std::optional<MonoFile> readMono (const juce::File& file)
    {
        std::string error;
        auto reader = brask::audiofile::Reader::open (file.getFullPathName().toStdString(), error);

        if (reader == nullptr || reader->info().numChannels != 1)
            return std::nullopt;

        MonoFile result;
        result.sampleRate = reader->info().sampleRate;

        // To the file's real end, whatever its header says.
        std::vector<double> samples;
        std::vector<double> chunk (65536);
        auto* destination = chunk.data();

        for (int got; (got = reader->read (&destination, (int) chunk.size())) > 0;)
            samples.insert (samples.end(), chunk.begin(), chunk.begin() + got);

        result.samples.setSize (1, (int) samples.size());

        for (size_t i = 0; i < samples.size(); ++i)
            result.samples.setSample (0, (int) i, (float) samples[i]);

        return result;
    }

    bool writeMono (const juce::File& file, const float* samples, int numSamples, double sampleRate)
    {
        file.deleteFile();
        std::string error;
        auto writer = brask::audiofile::Writer::create (file.getFullPathName().toStdString(),
                                                        SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, sampleRate, error);

        if (writer == nullptr)
            return false;

        const std::vector<double> exact (samples, samples + numSamples);
        const auto* source = exact.data();
        return writer->write (&source, numSamples) && writer->close (error);
    }

    struct Lifecycle
    {
        juce::MemoryBlock state;
        int warmUpCycles = 0;
        int cycleSize = 0;
        bool prepareAgain = false;
        int blockSize = 0;
        juce::StringArray files;
    };

    std::optional<Lifecycle> parseLifecycle (const juce::StringArray& args)
    {
        Lifecycle lifecycle;

        for (int i = 2; i < args.size(); ++i)
        {
            const auto& arg = args[i];
            const auto hasValue = i + 1 < args.size();

            if (arg == "--state" && hasValue)
                lifecycle.state.loadFromHexString (args[++i]);
            else if (arg == "--warm-up" && hasValue)
                lifecycle.warmUpCycles = args[++i].getIntValue();
            else if (arg == "--cycle" && hasValue)
                lifecycle.cycleSize = args[++i].getIntValue();
            else if (arg == "--block" && hasValue)
                lifecycle.blockSize = args[++i].getIntValue();
            else if (arg == "--prepare-again")
                lifecycle.prepareAgain = true;
            else if (arg.startsWith ("--"))
                return std::nullopt;
            else
                lifecycle.files.add (arg);
        }

        const auto valid = lifecycle.state.getSize() == 16
                           && lifecycle.blockSize > 0
                           && lifecycle.warmUpCycles >= 0
                           && (lifecycle.warmUpCycles == 0 || lifecycle.cycleSize > 0)
                           && lifecycle.files.size() == 4;

        return valid ? std::optional<Lifecycle> (lifecycle) : std::nullopt;
    }

    void processInBlocks (BraskOverdriveAudioProcessor& pedal, juce::AudioBuffer<float>& audio, int blockSize)
    {
        juce::MidiBuffer midi;

        for (int start = 0; start < audio.getNumSamples(); start += blockSize)
        {
            const auto length = juce::jmin (blockSize, audio.getNumSamples() - start);
            juce::AudioBuffer<float> block (audio.getArrayOfWritePointers(), audio.getNumChannels(), start, length);
            pedal.processBlock (block, midi);
        }
    }

    int render (const juce::StringArray& args)
    {
        const auto lifecycle = parseLifecycle (args);

        if (! lifecycle)
            return fail ("usage: render --state HEX [--warm-up CYCLES --cycle SIZE] [--prepare-again] "
                         "--block SIZE IN_L IN_R OUT_L OUT_R");

        auto left = readMono (juce::File (lifecycle->files[0]));
        auto right = readMono (juce::File (lifecycle->files[1]));

        if (! left || ! right || left->sampleRate != right->sampleRate
            || left->samples.getNumSamples() != right->samples.getNumSamples())
            return fail ("the inputs must be two mono WAV files of the same rate and length");

        const auto sampleRate = left->sampleRate;
        const auto numSamples = left->samples.getNumSamples();

        BraskOverdriveAudioProcessor pedal;
        pedal.setStateInformation (lifecycle->state.getData(), (int) lifecycle->state.getSize());

        const auto prepare = [&] (int maximumBlockSize) {
            pedal.setRateAndBufferSizeDetails (sampleRate, maximumBlockSize);
            pedal.prepareToPlay (sampleRate, maximumBlockSize);
        };

        if (lifecycle->warmUpCycles > 0)
        {
            prepare (lifecycle->cycleSize);

            juce::AudioBuffer<float> silence (2, lifecycle->cycleSize * lifecycle->warmUpCycles);
            silence.clear();
            processInBlocks (pedal, silence, lifecycle->cycleSize);

            if (lifecycle->prepareAgain)
                prepare (lifecycle->blockSize);
        }
        else
        {
            prepare (lifecycle->blockSize);
        }

        juce::AudioBuffer<float> audio (2, numSamples);
        audio.copyFrom (0, 0, left->samples, 0, 0, numSamples);
        audio.copyFrom (1, 0, right->samples, 0, 0, numSamples);
        processInBlocks (pedal, audio, lifecycle->blockSize);
        pedal.releaseResources();

        if (! writeMono (juce::File (lifecycle->files[2]), audio.getReadPointer (0), numSamples, sampleRate)
            || ! writeMono (juce::File (lifecycle->files[3]), audio.getReadPointer (1), numSamples, sampleRate))
            return fail ("cannot write the rendered files");

        return 0;
    }

    int editorSize()
    {
        BraskOverdriveAudioProcessor pedal;
        std::unique_ptr<juce::AudioProcessorEditor> editor (pedal.createEditorIfNeeded());

        if (editor == nullptr)
            return fail ("the pedal made no editor");

        std::cout << editor->getWidth() << " " << editor->getHeight() << std::endl;
        return 0;
    }
}

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juceInitialiser;
    const juce::StringArray args (argv, argc);

    if (args[1] == "render")
        return render (args);

    if (args[1] == "editor-size")
        return editorSize();

    return fail ("usage: brask_reference render ... | editor-size");
}
