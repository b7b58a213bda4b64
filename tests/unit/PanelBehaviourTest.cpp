#include "gui/AppGUI.h"

#include "BinaryData.h"
#include "LampOnBodyPicture.h"
#include "plugin/PedalSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <thread>
#include <tuple>
#include "PanelChildren.h"

// What the pedal panel does with the pedal's settings: it shows the stored
// values when it opens and re-applies them to the sound once the message loop
// has run, turns knob turns into the knob's own operation, and switches the
// effect and the lamp with the footswitch.

namespace juce
{
    // The framework's own message pump, as its plug-in wrappers use it; the
    // modal run loop is switched off in this build.
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace
{
    using namespace brask::test;
    using Child = PanelChild;

    void deliverPendingMessages()
    {
        for (int i = 0; i < 10000 && juce::dispatchNextMessageOnSystemQueue (true); ++i)
        {
        }
    }

    template <typename ComponentType>
    ComponentType& child (AppGUI& panel, Child index)
    {
        auto* c = dynamic_cast<ComponentType*> (panel.getChildComponent (index));
        EXPECT_NE (c, nullptr) << "child " << (int) index;
        return *c;
    }

    juce::String readOutOf (AppGUI& panel, Child index)
    {
        return child<juce::Label> (panel, index).getText();
    }

    const KnobImage& lookOf (AppGUI& panel, Child knob)
    {
        return dynamic_cast<const KnobImage&> (child<juce::Slider> (panel, knob).getLookAndFeel());
    }

    // Frame n of the filmstrip, found by its file name rather than through the knob's own table.
    juce::ImagePixelData* filmstripFrame (int n)
    {
        int size = 0;
        const auto name = "BraskOverdrive_" + juce::String (n) + "_png";
        const auto* data = BinaryData::getNamedResource (name.toRawUTF8(), size);
        return PedalPictures::getShared()->get ({ data, size }).getPixelData();
    }

    juce::ImagePixelData* frameShownBy (AppGUI& panel, Child knob)
    {
        return lookOf (panel, knob).getCurrentFrame().getPixelData();
    }

    // Counts the change notifications each knob delivers to its listeners.
    struct NotificationCounter final : public juce::Slider::Listener
    {
        void sliderValueChanged (juce::Slider* slider) override
        {
            ++count;
            lastValue = slider->getValue();
        }

        int count = 0;
        double lastValue = -1.0;
    };

    // Records whole-panel repaints: the framework tells a component's cached
    // image whenever the component is repainted.
    struct RepaintProbe final : public juce::CachedComponentImage
    {
        explicit RepaintProbe (int& counter)
            : wholeRepaints (counter)
        {
        }

        void paint (juce::Graphics&) override {}
        bool invalidateAll() override
        {
            ++wholeRepaints;
            return false;
        }
        bool invalidate (const juce::Rectangle<int>&) override { return false; }
        void releaseResources() override {}

        int& wholeRepaints;
    };

    // Where the lamp is on the body pictures the panel draws.
    juce::Point<int> lampOnBodyPicture()
    {
        const auto pictures = PedalPictures::getShared();
        return ::lampOnBodyPicture (pictures->get ({ BinaryData::BraskOverdriveOnRed_png, BinaryData::BraskOverdriveOnRed_pngSize }),
                                    pictures->get ({ BinaryData::BraskOverdriveOff_png, BinaryData::BraskOverdriveOff_pngSize }));
    }

    // A project as the host keeps it, holding these settings as they are.
    juce::MemoryBlock savedStateOf (float drive, float tone, float level, bool on)
    {
        const auto bytes = PedalSettings { drive, tone, level, on }.toBytes();
        return { bytes.data(), bytes.size() };
    }

    void restore (BraskOverdriveAudioProcessor& processor, const juce::MemoryBlock& blob)
    {
        processor.setStateInformation (blob.getData(), (int) blob.getSize());
    }

    // The brightness of the lamp as the body component draws it now.
    float lampBrightness (EffectBaseImage& body)
    {
        static const auto lamp = lampOnBodyPicture();

        const auto box = body.getBodyBox().toFloat();
        const auto picture = body.getOnImage().getBounds().toFloat();
        const auto scale = juce::jmin (box.getWidth() / picture.getWidth(), box.getHeight() / picture.getHeight());
        const auto drawnAt = box.getCentre() - picture.getCentre() * scale;
        const auto onScreen = (drawnAt + lamp.toFloat() * scale).roundToInt();

        const auto snapshot = body.createComponentSnapshot (body.getLocalBounds());
        return snapshot.getPixelAt (onScreen.x, onScreen.y).getBrightness();
    }
}

//==============================================================================
TEST (PanelBehaviour, ShowsTheStoredSettingsAndReappliesThemOnceTheMessageLoopRuns)
{
    BraskOverdriveAudioProcessor processor;

    // Move the sound away from the stored values behind the store's back: only
    // the knobs' own operations can bring it back.
    processor.setDrive (0.2f);
    processor.setTone (0.2f);
    processor.setLevel (0.2f);
    processor.drive = 0.5f;
    processor.tone = 0.5f;
    processor.level = 0.5f;

    const auto movedDriveGain = processor.getDriveGain();
    const auto movedToneCutoff = processor.getToneCutoffHz();
    const auto movedLevelGain = processor.getLevelGain();

    NotificationCounter driveNotes, toneNotes, levelNotes;
    AppGUI panel (processor);
    panel.setSize (245, 385);

    child<juce::Slider> (panel, knob1).addListener (&driveNotes);
    child<juce::Slider> (panel, knob2).addListener (&toneNotes);
    child<juce::Slider> (panel, knob3).addListener (&levelNotes);

    EXPECT_EQ (readOutOf (panel, readOut1), "5.5");
    EXPECT_EQ (readOutOf (panel, readOut2), "5.5");
    EXPECT_EQ (readOutOf (panel, readOut3), "5.5");

    auto& body = child<EffectBaseImage> (panel, bodyChild);
    EXPECT_EQ (body.getCurrentImage().getPixelData(), body.getOnImage().getPixelData());
    EXPECT_GT (lampBrightness (body), 0.6f);

    // The notifications are still on their way: nothing has reached the sound yet.
    EXPECT_EQ (processor.getDriveGain(), movedDriveGain);
    EXPECT_EQ (processor.getToneCutoffHz(), movedToneCutoff);
    EXPECT_EQ (processor.getLevelGain(), movedLevelGain);

    deliverPendingMessages();

    for (const auto* notes : { &driveNotes, &toneNotes, &levelNotes })
    {
        EXPECT_EQ (notes->count, 1);
        EXPECT_EQ (notes->lastValue, 0.5);
    }

    ASSERT_NE (BraskOverdriveAudioProcessor::driveGainFor (0.5f), movedDriveGain);
    EXPECT_EQ (processor.getDriveGain(), BraskOverdriveAudioProcessor::driveGainFor (0.5f));
    EXPECT_EQ (processor.getToneCutoffHz(), BraskOverdriveAudioProcessor::toneCutoffFor (0.5f));
    EXPECT_EQ (processor.getLevelGain(), BraskOverdriveAudioProcessor::levelGainFor (0.5f));

    // Delivered once: running the loop again changes nothing.
    deliverPendingMessages();

    for (const auto* notes : { &driveNotes, &toneNotes, &levelNotes })
        EXPECT_EQ (notes->count, 1);
}

TEST (PanelBehaviour, AKnobStoredAtZeroIsNotReapplied)
{
    BraskOverdriveAudioProcessor processor;
    processor.setLevel (0.2f);
    processor.level = 0.0f;
    const auto movedLevelGain = processor.getLevelGain();

    NotificationCounter driveNotes, toneNotes, levelNotes;
    AppGUI panel (processor);

    child<juce::Slider> (panel, knob1).addListener (&driveNotes);
    child<juce::Slider> (panel, knob2).addListener (&toneNotes);
    child<juce::Slider> (panel, knob3).addListener (&levelNotes);

    EXPECT_EQ (readOutOf (panel, readOut3), "0.0");
    EXPECT_EQ (frameShownBy (panel, knob3), filmstripFrame (0));

    deliverPendingMessages();

    EXPECT_EQ (driveNotes.count, 1);
    EXPECT_EQ (toneNotes.count, 1);
    EXPECT_EQ (levelNotes.count, 0);
    EXPECT_EQ (processor.getLevelGain(), movedLevelGain);
}

TEST (PanelBehaviour, StoredValuesOutsideTheKnobsTravelShowClampedAndStayFinite)
{
    BraskOverdriveAudioProcessor processor;
    processor.drive = 1.7f;
    processor.tone = -0.3f;
    processor.level = std::numeric_limits<float>::quiet_NaN();

    AppGUI panel (processor);

    EXPECT_EQ (readOutOf (panel, readOut1), "11.0");
    EXPECT_EQ (readOutOf (panel, readOut2), "0.0");
    EXPECT_EQ (readOutOf (panel, readOut3), "5.5");  // not a number: the knob's middle

    EXPECT_EQ (frameShownBy (panel, knob1), filmstripFrame (300));
    EXPECT_EQ (frameShownBy (panel, knob2), filmstripFrame (0));
    EXPECT_EQ (frameShownBy (panel, knob3), filmstripFrame (150));

    deliverPendingMessages();

    for (auto knob : { knob1, knob2, knob3 })
        EXPECT_TRUE (std::isfinite (child<juce::Slider> (panel, knob).getValue()));

    // The knobs that moved write their shown value back; the one at the bottom raises no change.
    EXPECT_EQ (processor.drive.load(), 1.0f);
    EXPECT_EQ (processor.tone.load(), -0.3f);
    EXPECT_EQ (processor.level.load(), 0.5f);

    EXPECT_TRUE (std::isfinite (processor.getDriveGain()));
    EXPECT_TRUE (std::isfinite (processor.getToneCutoffHz()));
    EXPECT_TRUE (std::isfinite (processor.getLevelGain()));
}

//==============================================================================
TEST (PanelBehaviour, TurningOneKnobLeavesTheOthersAlone)
{
    BraskOverdriveAudioProcessor processor;
    AppGUI panel (processor);
    panel.setSize (245, 385);
    deliverPendingMessages();

    struct Case
    {
        Child knob;
        Child readOut;
        double value;
        const char* text;
        int frame;
    };

    const Case turns[] = {
        { knob2, readOut2, 0.9, "9.9", 270 },
        { knob1, readOut1, 0.0, "0.0", 0 },
        { knob1, readOut1, 1.0, "11.0", 300 },
        { knob3, readOut3, 0.1, "1.1", 30 },
    };

    for (const auto& turn : turns)
    {
        SCOPED_TRACE ("knob child " + std::to_string ((int) turn.knob) + " to " + std::to_string (turn.value));

        std::map<Child, std::pair<juce::ImagePixelData*, juce::String>> others;

        for (auto [knob, readOut] : { std::pair (knob1, readOut1), std::pair (knob2, readOut2), std::pair (knob3, readOut3) })
            if (knob != turn.knob)
                others[knob] = { frameShownBy (panel, knob), readOutOf (panel, readOut) };

        const auto storeBefore = std::make_tuple (processor.drive.load(), processor.tone.load(), processor.level.load());

        child<juce::Slider> (panel, turn.knob).setValue (turn.value, juce::sendNotificationSync);

        EXPECT_EQ (readOutOf (panel, turn.readOut), turn.text);
        EXPECT_EQ (frameShownBy (panel, turn.knob), filmstripFrame (turn.frame));

        for (auto [knob, readOut] : { std::pair (knob1, readOut1), std::pair (knob2, readOut2), std::pair (knob3, readOut3) })
        {
            if (knob == turn.knob)
                continue;

            EXPECT_EQ (frameShownBy (panel, knob), others[knob].first);
            EXPECT_EQ (readOutOf (panel, readOut), others[knob].second);
        }

        // Only the turned knob's setting moves in the store.
        auto expectedStore = storeBefore;
        const auto turned = (float) turn.value;

        if (turn.knob == knob1)
            std::get<0> (expectedStore) = turned;
        if (turn.knob == knob2)
            std::get<1> (expectedStore) = turned;
        if (turn.knob == knob3)
            std::get<2> (expectedStore) = turned;

        EXPECT_EQ (std::make_tuple (processor.drive.load(), processor.tone.load(), processor.level.load()), expectedStore);
    }
}

//==============================================================================
TEST (PanelBehaviour, TheFootswitchTogglesTheEffectAndTheLampAndRepaints)
{
    BraskOverdriveAudioProcessor processor;
    AppGUI panel (processor);
    panel.setSize (245, 385);
    panel.setVisible (true);
    deliverPendingMessages();

    int wholeRepaints = 0;
    panel.setCachedComponentImage (new RepaintProbe (wholeRepaints));
    wholeRepaints = 0;  // installing the probe repaints once by itself

    auto& body = child<EffectBaseImage> (panel, bodyChild);
    auto& button = child<juce::Button> (panel, footswitch);
    const auto litBrightness = lampBrightness (body);

    button.triggerClick();
    deliverPendingMessages();

    EXPECT_FALSE (processor.effectOn.load());
    EXPECT_EQ (body.getCurrentImage().getPixelData(), body.getOffImage().getPixelData());
    EXPECT_LT (lampBrightness (body), litBrightness - 0.3f);
    EXPECT_EQ (wholeRepaints, 1);

    button.triggerClick();
    deliverPendingMessages();

    EXPECT_TRUE (processor.effectOn.load());
    EXPECT_EQ (body.getCurrentImage().getPixelData(), body.getOnImage().getPixelData());
    EXPECT_EQ (lampBrightness (body), litBrightness);
    EXPECT_EQ (wholeRepaints, 2);

    panel.setCachedComponentImage (nullptr);
}

TEST (PanelBehaviour, APedalSwitchedOffOpensWithTheLampDark)
{
    BraskOverdriveAudioProcessor processor;
    processor.effectOn = false;

    AppGUI panel (processor);
    panel.setSize (245, 385);

    auto& body = child<EffectBaseImage> (panel, bodyChild);
    EXPECT_EQ (body.getCurrentImage().getPixelData(), body.getOffImage().getPixelData());
    EXPECT_LT (lampBrightness (body), 0.5f);
}

TEST (PanelBehaviour, TheFootswitchDrawsNothing)
{
    BraskOverdriveAudioProcessor processor;
    AppGUI panel (processor);
    panel.setSize (245, 385);

    auto& button = child<juce::Button> (panel, footswitch);
    EXPECT_EQ (button.getButtonText(), "ON / OFF");
    EXPECT_EQ (button.getMouseCursor(), juce::MouseCursor (juce::MouseCursor::PointingHandCursor));

    for (auto state : { juce::Button::buttonNormal, juce::Button::buttonOver, juce::Button::buttonDown })
    {
        button.setState (state);
        const auto snapshot = button.createComponentSnapshot (button.getLocalBounds());
        const juce::Image::BitmapData pixels (snapshot, juce::Image::BitmapData::readOnly);
        int drawn = 0;

        for (int y = 0; y < pixels.height; ++y)
            for (int x = 0; x < pixels.width; ++x)
                if (pixels.getPixelColour (x, y).getAlpha() != 0)
                    ++drawn;

        EXPECT_EQ (drawn, 0) << "state " << (int) state;
    }
}

//==============================================================================
// What an open panel shows after the host restores a project.
namespace
{
    struct Shown
    {
        const char* readOut1;
        const char* readOut2;
        const char* readOut3;
        int frame1, frame2, frame3;
        bool lampLit;
    };

    void expectPanelShows (AppGUI& panel, const Shown& shown)
    {
        EXPECT_EQ (readOutOf (panel, readOut1), shown.readOut1);
        EXPECT_EQ (readOutOf (panel, readOut2), shown.readOut2);
        EXPECT_EQ (readOutOf (panel, readOut3), shown.readOut3);

        EXPECT_EQ (frameShownBy (panel, knob1), filmstripFrame (shown.frame1));
        EXPECT_EQ (frameShownBy (panel, knob2), filmstripFrame (shown.frame2));
        EXPECT_EQ (frameShownBy (panel, knob3), filmstripFrame (shown.frame3));

        auto& body = child<EffectBaseImage> (panel, bodyChild);
        const auto& lamp = shown.lampLit ? body.getOnImage() : body.getOffImage();
        EXPECT_EQ (body.getCurrentImage().getPixelData(), lamp.getPixelData());

        if (shown.lampLit)
            EXPECT_GT (lampBrightness (body), 0.6f);
        else
            EXPECT_LT (lampBrightness (body), 0.5f);
    }

    void expectStoreHolds (BraskOverdriveAudioProcessor& processor, float drive, float tone, float level, bool on)
    {
        EXPECT_EQ (processor.drive.load(), drive);
        EXPECT_EQ (processor.tone.load(), tone);
        EXPECT_EQ (processor.level.load(), level);
        EXPECT_EQ (processor.effectOn.load(), on);

        // and the chain plays it
        EXPECT_EQ (processor.getDriveGain(), BraskOverdriveAudioProcessor::driveGainFor (drive));
        EXPECT_EQ (processor.getToneCutoffHz(), BraskOverdriveAudioProcessor::toneCutoffFor (tone));
        EXPECT_EQ (processor.getLevelGain(), BraskOverdriveAudioProcessor::levelGainFor (level));
    }
}

TEST (PanelBehaviour, FollowsARestoreFromAnyThread)
{
    // Opened a while ago, or just now with its first knob notifications still on
    // their way; the host restoring on the message thread or on one of its own.
    struct Case
    {
        bool settledFirst;
        bool fromAnotherThread;
    };

    for (const auto& c : { Case { true, false }, Case { false, false }, Case { true, true }, Case { false, true } })
    {
        SCOPED_TRACE (juce::String (c.settledFirst ? "settled panel" : "new panel")
                      + (c.fromAnotherThread ? ", restored from another thread" : ", restored on the message thread"));

        BraskOverdriveAudioProcessor processor;
        AppGUI panel (processor);
        panel.setSize (245, 385);

        if (c.settledFirst)
            deliverPendingMessages();

        const auto project = savedStateOf (0.2f, 0.9f, 0.1f, false);

        if (c.fromAnotherThread)
            std::thread ([&] { restore (processor, project); }).join();
        else
            restore (processor, project);

        // Shown from the message thread only, after the restore has returned.
        EXPECT_EQ (readOutOf (panel, readOut1), "5.5");

        deliverPendingMessages();

        expectPanelShows (panel, { "2.2", "9.9", "1.1", 60, 270, 30, false });
        expectStoreHolds (processor, 0.2f, 0.9f, 0.1f, false);

        // Still the pedal's own knob: a turn after the restore moves the store and the sound.
        child<juce::Slider> (panel, knob2).setValue (0.3, juce::sendNotificationSync);
        expectStoreHolds (processor, 0.2f, 0.3f, 0.1f, false);
    }
}

TEST (PanelBehaviour, ShowsARestoredValueOutsideTheTravelClampedAndLeavesTheStoreAsRestored)
{
    BraskOverdriveAudioProcessor processor;
    AppGUI panel (processor);
    panel.setSize (245, 385);
    deliverPendingMessages();

    restore (processor, savedStateOf (std::numeric_limits<float>::quiet_NaN(), 1.7f, -0.3f, true));

    // What the restore keeps: not a number as the knob's middle, the rest clamped.
    const auto storeBefore = std::make_tuple (processor.drive.load(), processor.tone.load(), processor.level.load());
    ASSERT_EQ (storeBefore, std::make_tuple (0.5f, 1.0f, 0.0f));

    deliverPendingMessages();

    expectPanelShows (panel, { "5.5", "11.0", "0.0", 150, 300, 0, true });
    expectStoreHolds (processor, 0.5f, 1.0f, 0.0f, true);
}

TEST (PanelBehaviour, RestoresInQuickSuccessionEndWithTheLastShown)
{
    BraskOverdriveAudioProcessor processor;
    AppGUI panel (processor);
    panel.setSize (245, 385);

    restore (processor, savedStateOf (0.9f, 0.9f, 0.9f, false));
    restore (processor, savedStateOf (0.1f, 0.4f, 0.7f, true));
    deliverPendingMessages();

    expectPanelShows (panel, { "1.1", "4.4", "7.7", 30, 120, 210, true });
    expectStoreHolds (processor, 0.1f, 0.4f, 0.7f, true);
}

TEST (PanelBehaviour, APanelReopenedWhileRestoresHappenShowsTheCurrentStore)
{
    BraskOverdriveAudioProcessor processor;

    {
        AppGUI first (processor);
        restore (processor, savedStateOf (0.9f, 0.9f, 0.9f, false));
    }

    restore (processor, savedStateOf (0.3f, 0.3f, 0.3f, false));

    AppGUI second (processor);
    second.setSize (245, 385);
    restore (processor, savedStateOf (0.1f, 0.4f, 0.7f, true));
    deliverPendingMessages();

    expectPanelShows (second, { "1.1", "4.4", "7.7", 30, 120, 210, true });
    expectStoreHolds (processor, 0.1f, 0.4f, 0.7f, true);
}
