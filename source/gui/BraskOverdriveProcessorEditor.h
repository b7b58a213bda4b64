#pragma once

#include "AppGUI.h"
#include "plugin/BraskOverdriveAudioProcessor.h"

#include <memory>
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
    /** A handle that keeps what every editor shares (the decoded pictures) for
        as long as anyone holds it: each pedal holds one from construction, so an
        editor reopened after any pause decodes nothing, and the last pedal to go
        frees it all. Opaque, so that the pedal needs no graphics type.
    */
    static std::shared_ptr<void> keepResourcesAlive();

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
