#include "AppGUI.h"

#include <cmath>
#include <locale>
#include <sstream>
#include <utility>

//==============================================================================
AppGUI::AppGUI (BraskOverdriveAudioProcessor& p, KnobImage::FrameLoader loadKnobFrame)
    : processor (p),
      knobLook1 (loadKnobFrame),
      knobLook2 (loadKnobFrame),
      knobLook3 (loadKnobFrame),
      linkText (juce::URL (JucePlugin_ManufacturerWebsite).getDomain()),
      linkURL (JucePlugin_ManufacturerWebsite)
{
    // Listening before reading the store: a restore that lands after the reads
    // below is then always followed by a message.
    processor.restoreBroadcaster.addChangeListener (this);

    // The footswitch draws nothing: the switch is part of the body picture,
    // and the lamp shows the result of a press.
    footswitch.setButtonText ("ON / OFF");
    footswitch.setMouseCursor (juce::MouseCursor::PointingHandCursor);
    footswitch.addListener (this);

    setUpKnob (knob1, knobLook1, readOut1, processor.drive.load(), driveBuiltFrom);
    setUpKnob (knob2, knobLook2, readOut2, processor.tone.load(), toneBuiltFrom);
    setUpKnob (knob3, knobLook3, readOut3, processor.level.load(), levelBuiltFrom);

    link.setButtonText (linkText);
    link.setURL (linkURL);
    link.setFont (juce::Font ("Arial", 16.0f, juce::Font::bold), false, juce::Justification::centred);
    // Neither the link nor the panel has a look of its own yet, so this colours
    // every link drawn with the framework's default look.
    link.getLookAndFeel().setColour (juce::HyperlinkButton::textColourId, linkColour);
    link.addListener (this);

    showStoredFootswitch();

    // Bottom to top.
    addAndMakeVisible (floor);
    addAndMakeVisible (body);
    addAndMakeVisible (knob1);
    addAndMakeVisible (readOut1);
    addAndMakeVisible (knob2);
    addAndMakeVisible (readOut2);
    addAndMakeVisible (knob3);
    addAndMakeVisible (readOut3);
    addAndMakeVisible (footswitch);
    addAndMakeVisible (link);
}

AppGUI::~AppGUI()
{
    processor.restoreBroadcaster.removeChangeListener (this);
}

void AppGUI::setUpKnob (juce::Slider& knob, KnobImage& look, juce::Label& readOut,
                        float storedValue, std::optional<float>& builtFrom)
{
    // A store value that is not a number stands for the knob's middle, as in a
    // restored state; anything else finite is clamped by the knob itself.
    const auto value = std::isnan (storedValue) ? BraskOverdriveAudioProcessor::sanitiseKnobValue (storedValue)
                                                : storedValue;

    knob.setLookAndFeel (&look);
    look.setKnobValue (value);
    look.minValue = 0.0f;
    look.maxValue = 1.0f;

    knob.setSliderStyle (juce::Slider::RotaryVerticalDrag);
    knob.setTextBoxStyle (juce::Slider::NoTextBox, true, 0, 0);
    knob.setRange (0.0, 1.0, 0.0);

    // The change is delivered after the panel is built, and then re-applies the
    // stored setting to the sound through the knob's own handler.
    knob.setValue ((double) value, juce::sendNotificationAsync);
    knob.addListener (this);

    // The knob announces only a move away from its starting position, 0.
    if (knob.getValue() != 0.0)
        builtFrom = storedValue;

    knob.setMouseCursor (juce::MouseCursor::PointingHandCursor);

    readOut.setText (readOutText (knob.getValue()), juce::dontSendNotification);
    readOut.setJustificationType (juce::Justification::horizontallyCentred);
}

void AppGUI::showStoredKnob (juce::Slider& knob, KnobImage& look, juce::Label& readOut, float storedValue)
{
    // Shown, never written back: the store keeps exactly what was restored.
    const auto value = BraskOverdriveAudioProcessor::sanitiseKnobValue (storedValue);

    knob.setValue ((double) value, juce::dontSendNotification);
    look.setKnobValue (value);
    readOut.setText (readOutText (knob.getValue()), juce::dontSendNotification);
}

void AppGUI::showStoredFootswitch()
{
    if (processor.effectOn.load())
        body.showOn();
    else
        body.showOff();
}

void AppGUI::changeListenerCallback (juce::ChangeBroadcaster*)
{
    showStoredKnob (knob1, knobLook1, readOut1, processor.drive.load());
    showStoredKnob (knob2, knobLook2, readOut2, processor.tone.load());
    showStoredKnob (knob3, knobLook3, readOut3, processor.level.load());
    showStoredFootswitch();

    // Neither the body's picture nor a knob's look repaints by itself.
    repaint();
}

//==============================================================================
juce::String AppGUI::readOutText (double knobValue)
{
    // Always a point, whatever the host's locale says.
    std::ostringstream printed;
    printed.imbue (std::locale::classic());
    printed.setf (std::ios::fixed);
    printed.precision (6);
    printed << knobValue * 11.0;

    const juce::String text (printed.str());
    const auto point = text.indexOfChar ('.');

    return point < 0 ? text : text.substring (0, point + 2);
}

//==============================================================================
void AppGUI::resized()
{
    const auto W = getWidth();
    const auto H = getHeight();

    const auto knobSize = (float) (W * 0.19);
    const auto readOutWidth = (float) (W * 0.25);

    const auto readOutBounds = [&] (double centreX, double topY)
    {
        return juce::Rectangle<int> ((int) (W * centreX - readOutWidth * 0.5), (int) (H * topY),
                                     (int) readOutWidth, (int) (readOutWidth * 0.25));
    };

    floor.setBounds (0, 0, W, H);
    body.setBounds (0, 0, W, H);

    // The drive knob sits a little right of its anchor, next to its read-out's centre.
    readOut1.setBounds (readOutBounds (0.26, 0.245));
    knob1.setBounds ((int) (W * 0.22 - knobSize * 0.3), (int) (H * 0.09), (int) knobSize, (int) knobSize);

    readOut2.setBounds (readOutBounds (0.49, 0.29));
    knob2.setBounds ((int) (W * 0.49 - knobSize * 0.5), (int) (H * 0.14), (int) knobSize, (int) knobSize);

    readOut3.setBounds (readOutBounds (0.735, 0.245));
    knob3.setBounds ((int) (W * 0.735 - knobSize * 0.5), (int) (H * 0.09), (int) knobSize, (int) knobSize);

    footswitch.setBounds ((int) (W * 0.145), (int) (H * 0.58), (int) (W * 0.71), (int) (H * 0.28));
    link.setBounds ((int) (W * 0.5 - W * 0.25), (int) (H * 0.95), (int) (W * 0.5), (int) (H * 0.05));

    const juce::Font readOutFont (juce::String(), (float) (H * 0.03), juce::Font::plain);

    for (auto* readOut : { &readOut1, &readOut2, &readOut3 })
        readOut->setFont (readOutFont);

    link.setFont (juce::Font ("Arial", (float) (H * 0.025), juce::Font::bold), false, juce::Justification::centred);
    link.repaint();
}

//==============================================================================
void AppGUI::sliderValueChanged (juce::Slider* slider)
{
    struct Binding
    {
        juce::Slider& knob;
        KnobImage& look;
        juce::Label& readOut;
        void (BraskOverdriveAudioProcessor::*operation) (float);
        const std::atomic<float>& stored;
        std::optional<float>& builtFrom;
    };

    const Binding bindings[] = {
        { knob1, knobLook1, readOut1, &BraskOverdriveAudioProcessor::setDrive, processor.drive, driveBuiltFrom },
        { knob2, knobLook2, readOut2, &BraskOverdriveAudioProcessor::setTone, processor.tone, toneBuiltFrom },
        { knob3, knobLook3, readOut3, &BraskOverdriveAudioProcessor::setLevel, processor.level, levelBuiltFrom },
    };

    for (const auto& binding : bindings)
    {
        if (slider != &binding.knob)
            continue;

        // The first notification re-applies the store the knob was built from. If a
        // restore has changed the store since, re-applying would undo the restore:
        // the restored settings stay, and the restore's own message shows them.
        const auto builtFrom = std::exchange (binding.builtFrom, std::nullopt);
        const auto storeMovedOn = builtFrom.has_value() && ! BraskOverdriveAudioProcessor::isSameStoredValue (*builtFrom, binding.stored.load());

        const auto value = binding.knob.getValue();

        if (! storeMovedOn)
            (processor.*binding.operation) ((float) value);

        binding.look.setKnobValue ((float) value);
        binding.readOut.setText (readOutText (value), juce::dontSendNotification);
        return;
    }
}

void AppGUI::buttonClicked (juce::Button* button)
{
    // The link opens our web site by itself; only the footswitch matters here.
    if (button != &footswitch)
        return;

    if (processor.effectOn.load())
    {
        processor.setEffectOn (false);
        body.showOff();
    }
    else
    {
        processor.setEffectOn (true);
        body.showOn();
    }

    // Switching the body's picture does not repaint it.
    repaint();
}
