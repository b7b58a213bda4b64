#pragma once

#include "gui/PedalPictures.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <array>

//==============================================================================
/**
    The look of one rotary knob: a pre-rendered filmstrip of the knob turned
    through its travel, one frame drawn at a time.

    The frame shown is the one chosen by the last setKnobValue call; the
    slider's own position is not read when drawing. Each knob needs its own
    KnobImage (each remembers its own frame), while the decoded frames are
    shared by all of them, and by every pedal in the process (PedalPictures).
*/
class KnobImage final : public juce::LookAndFeel_V3
{
public:
    //==============================================================================
    static constexpr int numFilmstripFrames = 301;

    /** Supplies frame n (0 … 300) of the filmstrip; a frame that does not decode is a null image. */
    using FrameLoader = juce::Image (*) (int frameIndex);

    /** The filmstrip built into the module, from the pictures the pedals share. */
    static juce::Image loadEmbeddedFrame (int frameIndex);

    //==============================================================================
    /** Decodes the embedded filmstrip on every core, unless the pedals hold it decoded already. */
    KnobImage();

    /** Takes the filmstrip from elsewhere, frame 0 first: lets a knob be built over a damaged filmstrip. */
    explicit KnobImage (FrameLoader loadFrame);

    ~KnobImage() override;

    //==============================================================================
    void drawRotarySlider (juce::Graphics&, int x, int y, int width, int height,
                           float sliderPosProportional, float rotaryStartAngle,
                           float rotaryEndAngle, juce::Slider&) override;

    //==============================================================================
    /** Picks the frame that shows this knob value; values beyond the travel show the end frames.
        Does not repaint: the slider repaints itself when its value changes.
    */
    void setKnobValue (float value) noexcept;

    /** The frame the knob draws now: a shared reference to the decoded picture. */
    const juce::Image& getCurrentFrame() const noexcept { return currentFrame; }

    //==============================================================================
    float minValue = 0.0f;
    float maxValue = 1.0f;

private:
    //==============================================================================
    // Keeps the shared pictures while the knob is built and drawn, even with no pedal around it.
    std::shared_ptr<PedalPictures> pictures;
    float numFrames = (float) numFilmstripFrames;
    juce::Image currentFrame;
    std::array<juce::Image, numFilmstripFrames> frames;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KnobImage)
};
