#pragma once

#include "gui/PedalPictures.h"

#include <juce_gui_basics/juce_gui_basics.h>

//==============================================================================
/** The floor the pedal stands on, stretched over the whole panel whatever its proportions. */
class FloorImage final : public juce::Component
{
public:
    //==============================================================================
    FloorImage();
    ~FloorImage() override;

    //==============================================================================
    void paint (juce::Graphics&) override;
    void resized() override;

    const juce::Image& getFloorImage() const noexcept { return floorImage; }

private:
    //==============================================================================
    std::shared_ptr<PedalPictures> pictures;
    juce::Image floorImage;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FloorImage)
};
