#pragma once

#include "plugin/BraskOverdriveAudioProcessor.h"
#include "EffectBaseImage.h"
#include "FloorImage.h"
#include "KnobImage.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <optional>

//==============================================================================
/**
    The pedal panel: the floor, the pedal body with its lamp, the three knobs
    (drive left, tone in the middle and a little lower, level right) with a
    number under each, an invisible footswitch over the pedal's switch and the
    link to our web site along the bottom.

    It reads the pedal's settings when it is built and again after every
    restore, and turns knob turns and footswitch presses into the processor's
    operations.
    Every child is placed at fixed fractions of the panel's size (the table
    PanelLayout.json), so the controls stay over their spots on the artwork at
    any size.
*/
class AppGUI final : public juce::Component,
                     public juce::Slider::Listener,
                     public juce::Button::Listener,
                     private juce::ChangeListener
{
public:
    //==============================================================================
    explicit AppGUI (BraskOverdriveAudioProcessor&,
                     KnobImage::FrameLoader loadKnobFrame = KnobImage::loadEmbeddedFrame);
    ~AppGUI() override;

    //==============================================================================
    void resized() override;

    //==============================================================================
    void sliderValueChanged (juce::Slider*) override;
    void buttonClicked (juce::Button*) override;

    //==============================================================================
    /** A knob value as its read-out shows it: 0 … 11 with one decimal, cut rather than rounded. */
    static juce::String readOutText (double knobValue);

private:
    //==============================================================================
    BraskOverdriveAudioProcessor& processor;

    FloorImage floor;
    juce::Colour linkColour { 0xff526d82 };

    // The looks outlive the knobs that draw with them.
    KnobImage driveLook, toneLook, levelLook;

    juce::Slider driveKnob;
    juce::Label driveReadOut;
    juce::Slider toneKnob;
    juce::Label toneReadOut;
    juce::Slider levelKnob;
    juce::Label levelReadOut;

    juce::ImageButton footswitch;
    juce::HyperlinkButton link;
    juce::String linkText;
    juce::URL linkURL;

    EffectBaseImage body;

    // The stored value each knob was built from, while the knob's first change
    // notification, which re-applies it to the sound, is still on its way.
    std::optional<float> driveBuiltFrom, toneBuiltFrom, levelBuiltFrom;

    //==============================================================================
    void setUpKnob (juce::Slider& knob, KnobImage& look, juce::Label& readOut,
                    float storedValue, std::optional<float>& builtFrom);
    void showStoredKnob (juce::Slider& knob, KnobImage& look, juce::Label& readOut, float storedValue);
    void showStoredFootswitch();

    // A restore has landed: show what the store holds now.
    void changeListenerCallback (juce::ChangeBroadcaster*) override;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AppGUI)
};
