// What brask-render writes is exactly what the pedal plays: the module this
// build made, loaded through the VST3 host in a child process, gives the same
// samples, bit for bit, as the pedal's own processor run here in-process with
// the same settings and the same blocks. With the footswitch off, the file
// comes back as it went in.

#include "BraskOverdriveAudioProcessor.h"
#include "RenderTestSupport.h"

#include <gtest/gtest.h>

using namespace RenderTest;

namespace
{
    struct RenderCase
    {
        const char* name;
        int numChannels;
        double sampleRate;
        FileFormat input;
        juce::String outputExtension;
        bool knobsGiven;            // false: leave the knobs to the renderer's defaults
        float drive, tone, level;
        bool effectOn;
        int blockSize;              // 0: leave it to the renderer's default
    };

    // Test names in failure messages, rather than the case's bytes.
    void PrintTo (const RenderCase& c, std::ostream* stream)
    {
        *stream << c.name;
    }

    constexpr int renderersDefaultBlock = 512;

    std::vector<juce::String> renderArguments (const RenderCase& c, const juce::File& input, const juce::File& output)
    {
        std::vector<juce::String> arguments { "--plugin", builtModule().getFullPathName() };

        if (c.knobsGiven)
            for (auto [option, value] : { std::pair { "--drive", c.drive }, { "--tone", c.tone }, { "--level", c.level } })
                arguments.insert (arguments.end(), { option, juce::String (value, 6) });

        if (! c.effectOn)
            arguments.push_back ("--off");

        if (c.blockSize > 0)
            arguments.insert (arguments.end(), { "--block", juce::String (c.blockSize) });

        arguments.insert (arguments.end(), { input.getFullPathName(), output.getFullPathName() });
        return arguments;
    }

    /** The pedal as a user sets it up by hand: knobs turned, footswitch pressed,
        prepared for the block size it will get, and fed the file block by block.
    */
    juce::AudioBuffer<float> processInProcess (const juce::AudioBuffer<float>& input, double sampleRate, const RenderCase& c)
    {
        BraskOverdriveAudioProcessor pedal;

        const auto channelSet = c.numChannels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (channelSet);
        layout.outputBuses.add (channelSet);
        EXPECT_TRUE (pedal.setBusesLayout (layout));

        const auto drive = c.knobsGiven ? c.drive : 0.5f;
        const auto tone = c.knobsGiven ? c.tone : 0.5f;
        const auto level = c.knobsGiven ? c.level : 0.5f;
        pedal.setDrive (drive);
        pedal.setTone (tone);
        pedal.setLevel (level);
        pedal.setEffectOn (c.effectOn);

        const auto blockSize = c.blockSize > 0 ? c.blockSize : renderersDefaultBlock;
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

    juce::String expectedFormatName (const juce::String& extension)
    {
        return extension == ".flac" ? "FLAC file" : extension == ".aiff" ? "AIFF file" : "WAV file";
    }
}

//==============================================================================
class RenderMatchesProcessor : public ::testing::TestWithParam<RenderCase>
{
protected:
    ScratchFolder scratch;
};

TEST_P (RenderMatchesProcessor, BitForBitInTheOutputFormat)
{
    const auto& c = GetParam();
    ASSERT_TRUE (builtModule().isDirectory()) << builtModule().getFullPathName();

    // An odd length, so the last block is a short one.
    const auto numSamples = (int) (0.6 * c.sampleRate) + 37;
    const auto inputFile = scratch / ("input" + c.input.extension);
    const auto outputFile = scratch / ("output" + c.outputExtension);
    writeAudioFile (inputFile, makeTestSignal (c.numChannels, c.sampleRate, numSamples, 7), c.sampleRate, c.input);

    const auto result = runRender (renderArguments (c, inputFile, outputFile));
    ASSERT_EQ (result.exitStatus, 0) << result.err;
    EXPECT_TRUE (result.err.empty()) << result.err;
    EXPECT_EQ (juce::StringArray::fromLines (juce::String (result.out).trim()).size(), 1) << result.out;
    EXPECT_TRUE (juce::String (result.out).startsWith ("brask-render: wrote ")) << result.out;

    // The same input, decoded the same way, through the pedal in-process, written
    // with the same writer settings: the file's own quantisation applies to both.
    const auto input = readAudioFile (inputFile);
    const auto reference = processInProcess (input.audio, c.sampleRate, c);
    const auto referenceFile = scratch / ("reference" + c.outputExtension);
    writeAudioFile (referenceFile, reference, c.sampleRate, { c.outputExtension, c.input.bitsPerSample });

    const auto rendered = readAudioFile (outputFile);
    const auto expected = readAudioFile (referenceFile);

    EXPECT_EQ (rendered.formatName, expectedFormatName (c.outputExtension));
    EXPECT_EQ (rendered.sampleRate, c.sampleRate);
    EXPECT_EQ (rendered.audio.getNumChannels(), c.numChannels);
    EXPECT_EQ (rendered.audio.getNumSamples(), numSamples);
    EXPECT_EQ (rendered.bitsPerSample, input.bitsPerSample);
    EXPECT_EQ (rendered.usesFloatingPointData, input.usesFloatingPointData);

    EXPECT_EQ (firstDifference (rendered.audio, expected.audio), juce::String()) << "first difference from the in-process pedal";

    if (c.effectOn)
        EXPECT_NE (firstDifference (rendered.audio, input.audio), juce::String()) << "the pedal left the sound untouched";
    else
        EXPECT_EQ (firstDifference (rendered.audio, input.audio), juce::String()) << "footswitch off must give the input back";

    // Nothing but the output is left beside it.
    const auto files = scratch.snapshot();
    EXPECT_EQ (files.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P (
    Renders,
    RenderMatchesProcessor,
    ::testing::Values (
        //            name                      ch  rate      input            output   knobs  drive  tone  level  on     block
        RenderCase { "MonoWav16NewPedal",        1, 44100.0, { ".wav", 16 },  ".wav",  false, 0.0f,  0.0f, 0.0f,  true,  0 },
        RenderCase { "StereoWav24HotDrive",      2, 48000.0, { ".wav", 24 },  ".wav",  true,  0.85f, 0.3f, 0.7f,  true,  100 },
        RenderCase { "StereoFloatCleanBright",   2, 96000.0, { ".wav", 32 },  ".wav",  true,  0.05f, 1.0f, 1.0f,  true,  4096 },
        RenderCase { "MonoFloatFullDriveTiny",   1, 48000.0, { ".wav", 32 },  ".wav",  true,  1.0f,  0.0f, 0.25f, true,  1 },
        RenderCase { "StereoFlac24",             2, 44100.0, { ".flac", 24 }, ".flac", true,  0.6f,  0.6f, 0.4f,  true,  333 },
        RenderCase { "StereoWav24ToFlac",        2, 48000.0, { ".wav", 24 },  ".flac", true,  0.4f,  0.8f, 0.5f,  true,  512 },
        RenderCase { "MonoAiff16ToWav",          1, 22050.0, { ".aiff", 16 }, ".wav",  true,  0.3f,  0.2f, 0.9f,  true,  256 },
        RenderCase { "FootswitchOffStereoFloat", 2, 48000.0, { ".wav", 32 },  ".wav",  true,  1.0f,  0.5f, 1.0f,  false, 0 },
        RenderCase { "FootswitchOffMonoWav16",   1, 44100.0, { ".wav", 16 },  ".wav",  true,  0.7f,  0.5f, 0.5f,  false, 64 },
        RenderCase { "FootswitchOffMonoFlac16",  1, 44100.0, { ".flac", 16 }, ".flac", false, 0.0f,  0.0f, 0.0f,  false, 0 }),
    [] (const ::testing::TestParamInfo<RenderCase>& testCase) { return std::string (testCase.param.name); });
