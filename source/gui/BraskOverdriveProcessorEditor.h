#pragma once

#include "AppGUI.h"
#include "plugin/BraskOverdriveAudioProcessor.h"

#include <optional>

//==============================================================================
/**
    The pedal's editor window: the pedal panel filling it, at a size fitted to
    the primary display, kept at the pedal's 7:11 proportions when the host
    resizes it.
*/
class BraskOverdriveProcessorEditor final : public juce::AudioProcessorEditor
{
public:
    //==============================================================================
    /** Sized for the desktop's primary display. */
    explicit BraskOverdriveProcessorEditor (BraskOverdriveAudioProcessor&);

    /** Sized for a primary display whose usable area is this high (none: no display at all). */
    BraskOverdriveProcessorEditor (BraskOverdriveAudioProcessor&,
                                   std::optional<int> primaryUserAreaHeight,
                                   KnobImage::FrameLoader loadKnobFrame = KnobImage::loadEmbeddedFrame);

    ~BraskOverdriveProcessorEditor() override;

    //==============================================================================
    void resized() override;

    //==============================================================================
    /** The usable height of the desktop's primary display, if there is one. */
    static std::optional<int> getPrimaryUserAreaHeight();

    static constexpr int minimumWidth = 200;
    static constexpr int maximumWidth = 1200;

    /** Share of the display's usable height that a newly opened pedal takes. */
    static constexpr double displayHeightShare = 0.65;

private:
    //==============================================================================
    BraskOverdriveAudioProcessor& processorRef;
    AppGUI panel;

    float panelWidth = 245.0f;
    float panelHeight = 385.0f;
    double aspectRatio = 245.0f / 385.0f;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BraskOverdriveProcessorEditor)
};
