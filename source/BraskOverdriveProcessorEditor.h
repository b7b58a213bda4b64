#pragma once

#include "BraskOverdriveAudioProcessor.h"

//==============================================================================
/** The pedal's editor window. */
class BraskOverdriveProcessorEditor final : public juce::AudioProcessorEditor
{
public:
    explicit BraskOverdriveProcessorEditor (BraskOverdriveAudioProcessor&);
    ~BraskOverdriveProcessorEditor() override;

    //==============================================================================
    void resized() override;

private:
    BraskOverdriveAudioProcessor& processor;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BraskOverdriveProcessorEditor)
};
