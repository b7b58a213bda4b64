#pragma once

#include "gui/PedalPictures.h"

#include <juce_gui_basics/juce_gui_basics.h>

//==============================================================================
/**
    The pedal's body, drawn in one of two pictures that differ only in the
    lamp: lit red while the effect is on, dark while it is off. Which of the
    two it draws is the pedal's on/off display.

    The body keeps its proportions inside a box of 90 % of the component; the
    box sits a little nearer the top than the bottom, leaving room below the
    pedal for the link along the panel's bottom edge.
*/
class EffectBaseImage final : public juce::Component
{
public:
    //==============================================================================
    EffectBaseImage();
    ~EffectBaseImage() override;

    //==============================================================================
    void paint (juce::Graphics&) override;
    void resized() override;

    //==============================================================================
    /** Switch the lamp; neither repaints, the caller does. */
    void showOn();
    void showOff();

    /** The picture the body draws now: the lit or the dark one. */
    const juce::Image& getCurrentImage() const noexcept { return currentImage; }
    const juce::Image& getOnImage() const noexcept { return onImage; }
    const juce::Image& getOffImage() const noexcept { return offImage; }

    /** Where the body picture is fitted, in this component's coordinates. */
    juce::Rectangle<int> getBodyBox() const;

private:
    //==============================================================================
    float bodyScale = 0.9f;
    std::shared_ptr<PedalPictures> pictures;
    juce::Image onImage;
    juce::Image offImage;
    juce::Image currentImage;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (EffectBaseImage)
};
