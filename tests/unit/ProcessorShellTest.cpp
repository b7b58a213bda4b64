#include "plugin/BraskOverdriveAudioProcessor.h"

#include <gtest/gtest.h>

using juce::AudioChannelSet;

TEST (ProcessorShell, AnswersTheHostAsAnOverdriveEffect)
{
    BraskOverdriveAudioProcessor processor;

    EXPECT_EQ (processor.getName(), BRASK_PRODUCT_NAME);
    EXPECT_FALSE (processor.acceptsMidi());
    EXPECT_FALSE (processor.producesMidi());
    EXPECT_FALSE (processor.isMidiEffect());
    EXPECT_EQ (processor.getTailLengthSeconds(), 0.0);
    EXPECT_EQ (processor.getLatencySamples(), 0);
    EXPECT_TRUE (processor.hasEditor());

    EXPECT_EQ (processor.getNumPrograms(), 1);
    EXPECT_EQ (processor.getProgramName (0), "Default");
    EXPECT_EQ (processor.getProgramName (7), "");
    processor.setCurrentProgram (3);
    EXPECT_EQ (processor.getCurrentProgram(), 0);
    processor.changeProgramName (0, "Renamed");
    EXPECT_EQ (processor.getProgramName (0), "Default");

    EXPECT_TRUE (processor.getParameters().isEmpty());
}

TEST (ProcessorShell, StartsAsANewPedal)
{
    BraskOverdriveAudioProcessor processor;

    EXPECT_TRUE (processor.effectOn.load());
    EXPECT_EQ (processor.drive.load(), 0.5f);
    EXPECT_EQ (processor.tone.load(), 0.5f);
    EXPECT_EQ (processor.level.load(), 0.5f);

    ASSERT_EQ (processor.getBusCount (true), 1);
    ASSERT_EQ (processor.getBusCount (false), 1);
    EXPECT_EQ (processor.getBus (true, 0)->getName(), "Input");
    EXPECT_EQ (processor.getBus (false, 0)->getName(), "Output");
    EXPECT_EQ (processor.getBus (true, 0)->getDefaultLayout(), AudioChannelSet::stereo());
    EXPECT_EQ (processor.getBus (false, 0)->getDefaultLayout(), AudioChannelSet::stereo());
    EXPECT_TRUE (processor.getBus (true, 0)->isEnabledByDefault());
    EXPECT_TRUE (processor.getBus (false, 0)->isEnabledByDefault());
}

TEST (ProcessorShell, TakesMonoOrStereoWithTheSameLayoutOnBothSides)
{
    struct Case
    {
        const char* name;
        AudioChannelSet in, out;
        bool supported;
    };

    const Case cases[] = {
        { "mono to mono", AudioChannelSet::mono(), AudioChannelSet::mono(), true },
        { "stereo to stereo", AudioChannelSet::stereo(), AudioChannelSet::stereo(), true },
        { "mono to stereo", AudioChannelSet::mono(), AudioChannelSet::stereo(), false },
        { "stereo to mono", AudioChannelSet::stereo(), AudioChannelSet::mono(), false },
        { "disabled output", AudioChannelSet::stereo(), AudioChannelSet::disabled(), false },
        { "disabled input, stereo out", AudioChannelSet::disabled(), AudioChannelSet::stereo(), false },
        { "5.1 in", AudioChannelSet::create5point1(), AudioChannelSet::stereo(), false },
        { "5.1 out", AudioChannelSet::stereo(), AudioChannelSet::create5point1(), false },
        { "5.1 both", AudioChannelSet::create5point1(), AudioChannelSet::create5point1(), false },
    };

    BraskOverdriveAudioProcessor processor;

    for (const auto& c : cases)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (c.in);
        layout.outputBuses.add (c.out);
        EXPECT_EQ (processor.checkBusesLayoutSupported (layout), c.supported) << c.name;
    }
}

TEST (ProcessorShell, MakesANewEditorOnEveryRequest)
{
    BraskOverdriveAudioProcessor processor;

    std::unique_ptr<juce::AudioProcessorEditor> first (processor.createEditor());
    std::unique_ptr<juce::AudioProcessorEditor> second (processor.createEditor());

    ASSERT_NE (first, nullptr);
    ASSERT_NE (second, nullptr);
    EXPECT_NE (first.get(), second.get());
    EXPECT_EQ (first->getAudioProcessor(), &processor);
    EXPECT_EQ (second->getAudioProcessor(), &processor);
}
