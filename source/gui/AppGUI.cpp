#include "AppGUI.h"
#include "gui/PanelLayout.h"

#include <cmath>
#include <locale>
#include <sstream>
#include <utility>

//==============================================================================
AppGUI::AppGUI (BraskOverdriveAudioProcessor& p, KnobImage::FrameLoader loadKnobFrame)
    : processor (p)
    , driveLook (loadKnobFrame)
    , toneLook (loadKnobFrame)
    , levelLook (loadKnobFrame)
    , linkText (juce::URL (JucePlugin_ManufacturerWebsite).getDomain())
    , linkURL (JucePlugin_ManufacturerWebsite)
{
    // Listening before reading the store: a restore that lands after the reads
    // below is then always followed by a message.
    processor.restoreBroadcaster.addChangeListener (this);

    // The footswitch draws nothing: the switch is part of the body picture,
    // and the lamp shows the result of a press.
    footswitch.setButtonText ("ON / OFF");
    footswitch.setMouseCursor (juce::MouseCursor::PointingHandCursor);
    footswitch.addListener (this);

    setUpKnob (driveKnob, driveLook, driveReadOut, processor.drive.load(), driveBuiltFrom);
    setUpKnob (toneKnob, toneLook, toneReadOut, processor.tone.load(), toneBuiltFrom);
    setUpKnob (levelKnob, levelLook, levelReadOut, processor.level.load(), levelBuiltFrom);

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
    addAndMakeVisible (driveKnob);
    addAndMakeVisible (driveReadOut);
    addAndMakeVisible (toneKnob);
    addAndMakeVisible (toneReadOut);
    addAndMakeVisible (levelKnob);
    addAndMakeVisible (levelReadOut);
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
    showStoredKnob (driveKnob, driveLook, driveReadOut, processor.drive.load());
    showStoredKnob (toneKnob, toneLook, toneReadOut, processor.tone.load());
    showStoredKnob (levelKnob, levelLook, levelReadOut, processor.level.load());
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
    using namespace PanelLayout;
    const auto W = getWidth();
    const auto H = getHeight();

    const auto knobSide = (float) (W * knobSize);
    const auto readOutSide = (float) (W * readOutWidth);

    const auto place = [&] (juce::Slider& knob, juce::Label& readOut, const KnobPlace& at) {
        readOut.setBounds ((int) (W * at.readOutCentreX - readOutSide * 0.5), (int) (H * at.readOutTop),
                           (int) readOutSide, (int) (readOutSide * readOutHeightOfWidth));
        knob.setBounds ((int) (W * at.x - knobSide * at.shiftOfSize), (int) (H * at.top), (int) knobSide, (int) knobSide);
    };

    floor.setBounds (0, 0, W, H);
    body.setBounds (0, 0, W, H);

    // The drive knob sits a little right of its anchor, next to its read-out's centre.
    place (driveKnob, driveReadOut, PanelLayout::drive);
    place (toneKnob, toneReadOut, PanelLayout::tone);
    place (levelKnob, levelReadOut, PanelLayout::level);

    footswitch.setBounds ((int) (W * footswitchLeft), (int) (H * footswitchTop),
                          (int) (W * footswitchWidth), (int) (H * footswitchHeight));
    link.setBounds ((int) (W * linkCentreX - W * linkWidth * 0.5), (int) (H * linkTop),
                    (int) (W * linkWidth), (int) (H * linkHeight));

    const juce::Font readOutFont (juce::String(), (float) (H * readOutFontHeight), juce::Font::plain);

    for (auto* readOut : { &driveReadOut, &toneReadOut, &levelReadOut })
        readOut->setFont (readOutFont);

    link.setFont (juce::Font ("Arial", (float) (H * linkFontHeight), juce::Font::bold), false, juce::Justification::centred);
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
        { driveKnob, driveLook, driveReadOut, &BraskOverdriveAudioProcessor::setDrive, processor.drive, driveBuiltFrom },
        { toneKnob, toneLook, toneReadOut, &BraskOverdriveAudioProcessor::setTone, processor.tone, toneBuiltFrom },
        { levelKnob, levelLook, levelReadOut, &BraskOverdriveAudioProcessor::setLevel, processor.level, levelBuiltFrom },
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
