// The renderer's host, in-process: the module this build made, hosted through
// the VST3 interfaces alone, plays exactly what the pedal's own processor plays
// at the same settings and blocks; every file starts from a pedal just switched
// on; and a bundle that is not the pedal's module is refused with the message
// the user sees.

#include "vst3host/HostedPedal.h"
#include "RenderTestSupport.h"

#include <gtest/gtest.h>

using namespace RenderTest;

namespace
{
    constexpr double sampleRate = 48000.0;

    std::string builtBundle()
    {
        return builtModule().getFullPathName().toStdString();
    }

    /** The input through a prepared pedal, in blocks of blockSize (the last one short). */
    juce::AudioBuffer<float> playThrough (HostedPedal& pedal, const juce::AudioBuffer<float>& input, int blockSize)
    {
        juce::AudioBuffer<float> audio (input);

        for (int start = 0; start < audio.getNumSamples(); start += blockSize)
        {
            float* channels[2] {};

            for (int channel = 0; channel < audio.getNumChannels(); ++channel)
                channels[channel] = audio.getWritePointer (channel, start);

            const auto played = pedal.process (channels, juce::jmin (blockSize, audio.getNumSamples() - start));
            EXPECT_TRUE (played) << "the module refused the block at " << start;
        }

        return audio;
    }

    /** A fresh pedal from the built module, prepared; empty on failure, with the reason recorded. */
    juce::AudioBuffer<float> renderHosted (const juce::AudioBuffer<float>& input, const PedalSettings& settings, int blockSize)
    {
        HostedPedal pedal;

        if (const auto loaded = pedal.load (builtBundle()); ! loaded.empty())
        {
            ADD_FAILURE() << loaded;
            return {};
        }

        if (const auto prepared = pedal.prepare (input.getNumChannels(), sampleRate, blockSize, settings); ! prepared.empty())
        {
            ADD_FAILURE() << prepared;
            return {};
        }

        auto output = playThrough (pedal, input, blockSize);
        pedal.release();
        return output;
    }

    // An odd length, so that most block sizes end on a short block.
    juce::AudioBuffer<float> testSignal (int numChannels)
    {
        return makeTestSignal (numChannels, sampleRate, (int) (0.25 * sampleRate) + 37, 11);
    }

    const PedalSettings hotSettings { 0.85f, 0.3f, 0.7f, true };
}

//==============================================================================
TEST (HostedPedal, PlaysWhatTheProcessorPlays)
{
    ASSERT_TRUE (builtModule().isDirectory()) << builtModule().getFullPathName();

    struct Case
    {
        int numChannels, blockSize;
        PedalSettings settings;
    };

    const Case cases[] = {
        { 1, 1, { 1.0f, 0.0f, 0.25f, true } },
        { 2, 1, hotSettings },
        { 1, 509, { 0.2f, 0.9f, 0.9f, true } },
        { 2, 509, { 0.6f, 0.4f, 0.5f, true } },
        { 2, 512, hotSettings },
        { 1, 4096, { 0.05f, 1.0f, 1.0f, true } },
        { 2, 64, { 0.85f, 0.3f, 0.7f, false } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << c.numChannels << " channel(s), blocks of " << c.blockSize
                                         << ", drive " << c.settings.drive << (c.settings.effectOn ? "" : ", off"));

        const auto input = testSignal (c.numChannels);
        const auto hosted = renderHosted (input, c.settings, c.blockSize);
        ASSERT_EQ (hosted.getNumChannels(), c.numChannels);

        const auto expected = processInProcess (input, sampleRate, c.settings, c.blockSize);
        EXPECT_EQ (firstDifference (hosted, expected), "");

        // The settings reached the pedal: at the module's own defaults it plays something else.
        const auto atDefaults = processInProcess (input, sampleRate, PedalSettings {}, c.blockSize);
        EXPECT_NE (firstDifference (hosted, atDefaults), "");
    }
}

TEST (HostedPedal, EveryPrepareStartsFromAPedalJustSwitchedOn)
{
    const auto input = testSignal (2);
    constexpr int blockSize = 256;

    HostedPedal pedal;
    ASSERT_EQ (pedal.load (builtBundle()), "");

    // A second pedal from the same module, alive while the first plays and gone
    // before it prepares again: the module stays, and so does the first pedal.
    auto other = std::make_unique<HostedPedal>();
    ASSERT_EQ (other->load (builtBundle()), "");
    ASSERT_EQ (other->prepare (2, sampleRate, blockSize, PedalSettings {}), "");

    ASSERT_EQ (pedal.prepare (2, sampleRate, blockSize, hotSettings), "");
    const auto first = playThrough (pedal, input, blockSize);
    pedal.release();
    other.reset();

    ASSERT_EQ (pedal.prepare (2, sampleRate, blockSize, hotSettings), "");
    const auto second = playThrough (pedal, input, blockSize);
    pedal.release();

    EXPECT_NE (firstDifference (first, input), "") << "the pedal played nothing";
    EXPECT_EQ (firstDifference (second, first), "");
}

TEST (HostedPedal, RefusesWhatIsNotThePedalsModule)
{
    ScratchFolder scratch;
    const auto path = [&] (const char* name) { return (scratch / name).getFullPathName().toStdString(); };

    (scratch / "notes.txt").replaceWithText ("not a module\n");

    // A bundle in the right shape whose shared object is no program at all.
    const auto fakeBinary = scratch / "Fake.vst3/Contents/x86_64-linux/Fake.so";
    ASSERT_TRUE (fakeBinary.getParentDirectory().createDirectory());
    ASSERT_TRUE (fakeBinary.replaceWithText ("not a shared object\n"));

    struct Case
    {
        std::string bundle, messageStart;
    };

    const Case cases[] = {
        { path ("Gone.vst3"), "cannot find the pedal's module '" + path ("Gone.vst3") + "' (run scripts/demo to install it, or pass --plugin)" },
        { path ("notes.txt"), "'" + path ("notes.txt") + "' is not a VST3 module (a .vst3 bundle)" },
        { path ("Fake.vst3"), "cannot load the VST3 module '" + path ("Fake.vst3") + "'" },
    };

    for (const auto& c : cases)
    {
        HostedPedal pedal;
        const auto message = pedal.load (c.bundle);
        EXPECT_EQ (message.substr (0, c.messageStart.size()), c.messageStart);
        EXPECT_EQ (message.find ('\n'), std::string::npos) << message;
    }
}
