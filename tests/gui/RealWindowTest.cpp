// The built module as a user meets it: loaded by a VST3 host, its editor shown
// in a real window on an X display, the footswitch pressed and a knob dragged
// with real mouse input (xdotool), and the result read back the way the host
// sees it (the saved state) and the way the user sees it (a screenshot).
//
// Run under a virtual display: xvfb-run -a -s "-screen 0 1280x1024x24" brask_gui_tests

#include "BareXServer.h"
#include "BuiltPaths.h"
#include "HostedComponentState.h"
#include "LampOnBodyPicture.h"
#include "plugin/PedalSettings.h"

#include <gtest/gtest.h>
#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <cmath>
#include <cstring>

namespace juce
{
    // The framework's own message pump, as its plug-in wrappers use it; the
    // modal run loop is switched off in this build.
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace
{
    juce::File builtModule()
    {
        if (auto* overridden = std::getenv ("BRASK_VST3"))
            return juce::File (overridden);

        return juce::File (brask::built::vst3Bundle);
    }

    // Keeps the message loop turning for a while: X events, repaints, the plug-in's own callbacks.
    void pumpMessagesFor (int milliseconds)
    {
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) milliseconds;

        while (juce::Time::getMillisecondCounter() < end)
            if (! juce::dispatchNextMessageOnSystemQueue (true))
                juce::Thread::sleep (5);
    }

    // Runs a command to its end while the window keeps answering the X server.
    bool runWhilePumping (const juce::StringArray& command)
    {
        juce::ChildProcess process;

        if (! process.start (command, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
            return false;

        while (process.isRunning())
            pumpMessagesFor (10);

        const auto output = process.readAllProcessOutput();

        if (process.getExitCode() != 0)
        {
            ADD_FAILURE() << command.joinIntoString (" ") << ": " << output;
            return false;
        }

        return true;
    }

    juce::Image screenshot (const juce::String& name)
    {
        const auto file = juce::File (brask::built::screenshotFolder).getChildFile (name);
        file.deleteFile();

        if (! runWhilePumping ({ "import", "-window", "root", file.getFullPathName() }))
            return {};

        return juce::ImageFileFormat::loadFrom (file);
    }

    // Keeps the loop turning until the condition holds or the time is up; true if it held.
    template <typename Condition>
    bool waitUntil (Condition&& condition, int timeoutMilliseconds = 10000)
    {
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMilliseconds;

        while (! condition())
        {
            if (juce::Time::getMillisecondCounter() >= end)
                return false;

            pumpMessagesFor (50);
        }

        return true;
    }

    // Screenshots until one shows what is expected (the window may still be catching up), or the time is up.
    template <typename Condition>
    juce::Image screenshotShowing (const juce::String& name, Condition&& condition)
    {
        juce::Image shot;
        waitUntil ([&] { shot = screenshot (name); return shot.isValid() && condition (shot); });
        return shot;
    }

    void click (juce::Point<int> at)
    {
        runWhilePumping ({ "xdotool", "mousemove", juce::String (at.x), juce::String (at.y), "click", "1" });
    }

    void dragVertically (juce::Point<int> from, int distance)
    {
        juce::StringArray command { "xdotool", "mousemove", juce::String (from.x), juce::String (from.y), "mousedown", "1" };

        // In steps, as a hand moves, so that the knob follows the drag.
        for (int step = 1; step <= 10; ++step)
            command.addArray ({ "sleep", "0.02", "mousemove", juce::String (from.x), juce::String (from.y + distance * step / 10) });

        command.addArray ({ "mouseup", "1" });
        runWhilePumping (command);
    }

    // The processor's own 16 bytes, as the host keeps them inside its state.
    std::vector<float> pedalStateOf (juce::AudioPluginInstance& instance)
    {
        const auto component = componentStateOf (instance);

        if (component.getSize() < PedalSettings::blobSize)
            return {};

        const auto stored = PedalSettings::fromBlob (component.getData(), component.getSize());
        return { stored.drive, stored.tone, stored.level, stored.effectOn ? 1.0f : 0.0f };
    }

    // Where the lamp lies on the body pictures, as the build embeds them.
    juce::Point<float> lampOnBodyPicture (juce::Point<int>& pictureSize)
    {
        const juce::File resources (brask::built::resourcesFolder);
        const auto lit = juce::ImageFileFormat::loadFrom (resources.getChildFile ("BraskOverdriveOnRed.png"));
        const auto dark = juce::ImageFileFormat::loadFrom (resources.getChildFile ("BraskOverdriveOff.png"));
        pictureSize = { lit.getWidth(), lit.getHeight() };
        return ::lampOnBodyPicture (lit, dark).toFloat();
    }

    float averageBrightness (const juce::Image& image, juce::Rectangle<int> area)
    {
        float sum = 0.0f;

        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                sum += image.getPixelAt (x, y).getBrightness();

        return sum / (float) juce::jmax (1, area.getWidth() * area.getHeight());
    }

    // Pixels whose colour differs by more than the tolerance in any channel.
    int differingPixels (const juce::Image& a, const juce::Image& b, juce::Rectangle<int> area, int tolerance = 0)
    {
        int differing = 0;

        for (int y = area.getY(); y < area.getBottom(); ++y)
        {
            for (int x = area.getX(); x < area.getRight(); ++x)
            {
                const auto p = a.getPixelAt (x, y), q = b.getPixelAt (x, y);

                if (std::abs (p.getRed() - q.getRed()) > tolerance || std::abs (p.getGreen() - q.getGreen()) > tolerance
                    || std::abs (p.getBlue() - q.getBlue()) > tolerance)
                    ++differing;
            }
        }

        return differing;
    }
}

//==============================================================================
TEST (RealWindow, TheFootswitchAndAKnobAnswerTheMouse)
{
    ASSERT_NE (std::getenv ("DISPLAY"), nullptr) << "needs an X display, e.g. xvfb-run";
    ASSERT_TRUE (builtModule().isDirectory()) << builtModule().getFullPathName();

    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> found;
    format.findAllTypesForFile (found, builtModule().getFullPathName());
    ASSERT_EQ (found.size(), 1);

    juce::String error;
    auto instance = format.createInstanceFromDescription (*found[0], 48000.0, 512, error);
    ASSERT_NE (instance, nullptr) << error;

    juce::MemoryBlock hostStateAtOpening;
    instance->getStateInformation (hostStateAtOpening);

    const auto before = pedalStateOf (*instance);
    ASSERT_EQ (before.size(), 4u);
    EXPECT_EQ (before[0], 0.5f);
    EXPECT_EQ (before[3], 1.0f);

    std::unique_ptr<juce::AudioProcessorEditor> editor (instance->createEditorIfNeeded());
    ASSERT_NE (editor, nullptr);

    juce::DocumentWindow window ("Brask Overdrive", juce::Colours::black, 0);
    window.setUsingNativeTitleBar (false);
    window.setContentNonOwned (editor.get(), true);
    window.setTopLeftPosition (40, 30);
    window.setVisible (true);
    window.toFront (true);
    ASSERT_TRUE (waitUntil ([&] { return editor->isShowing(); }));

    // On a screen 1024 px high the pedal opens at 65 % of the height, at 7:11.
    const auto pedal = editor->getScreenBounds();
    EXPECT_EQ (pedal.getWidth(), 423);
    EXPECT_EQ (pedal.getHeight(), 665);

    const auto W = (double) pedal.getWidth();
    const auto H = (double) pedal.getHeight();
    const auto onScreen = [&] (double fx, double fy) { return pedal.getPosition() + juce::Point<int> ((int) (W * fx), (int) (H * fy)); };

    // The lamp, mapped from the body picture through the body's box on the panel.
    juce::Point<int> pictureSize;
    const auto lampOnPicture = lampOnBodyPicture (pictureSize);
    const juce::Rectangle<float> bodyBox ((float) (int) (0.5 * (W * 0.1)), (float) (int) (0.6 * H * 0.1),
                                          (float) (int) (0.9 * W), (float) (int) (0.9 * H));
    const auto scale = juce::jmin (bodyBox.getWidth() / (float) pictureSize.x, bodyBox.getHeight() / (float) pictureSize.y);
    const auto pictureOrigin = bodyBox.getCentre() - pictureSize.toFloat() * 0.5f * scale;
    const auto lamp = (pedal.getPosition().toFloat() + pictureOrigin + lampOnPicture * scale).roundToInt();
    const auto lampArea = juce::Rectangle<int> (3, 3).withCentre (lamp);

    const auto readOut1Area = juce::Rectangle<int> ((int) (W * 0.26 - W * 0.125), (int) (H * 0.245), (int) (W * 0.25), (int) (W * 0.0625))
                              + pedal.getPosition();
    const auto knob1Area = juce::Rectangle<int> ((int) (W * 0.22 - W * 0.19 * 0.3), (int) (H * 0.09), (int) (W * 0.19), (int) (W * 0.19))
                           + pedal.getPosition();

    // The pedal opens with the lamp lit.
    const auto opened = screenshotShowing ("pedal-opened.png", [&] (const juce::Image& shot) { return averageBrightness (shot, lampArea) > 0.6f; });
    ASSERT_TRUE (opened.isValid());
    const auto litBrightness = averageBrightness (opened, lampArea);
    ASSERT_GT (litBrightness, 0.6f) << "the lamp should be lit at " << lamp.toString();

    //==========================================================================
    // A press in the middle of the footswitch switches the effect off and the lamp goes dark.
    click (onScreen (0.5, 0.72));

    EXPECT_TRUE (waitUntil ([&] { return pedalStateOf (*instance).at (3) == 0.0f; }))
        << "the host should read the effect as off";

    juce::MemoryBlock hostStateSwitchedOff;
    instance->getStateInformation (hostStateSwitchedOff);

    const auto switchedOff = screenshotShowing ("pedal-switched-off.png", [&] (const juce::Image& shot) { return averageBrightness (shot, lampArea) < litBrightness - 0.3f; });
    EXPECT_LT (averageBrightness (switchedOff, lampArea), litBrightness - 0.3f);
    EXPECT_EQ (differingPixels (opened, switchedOff, readOut1Area), 0);

    //==========================================================================
    // Dragging the drive knob upwards turns it up: the host's state and the read-out follow.
    dragVertically (onScreen (0.258, 0.09) + juce::Point<int> (0, (int) (W * 0.19 * 0.5)), -80);

    EXPECT_TRUE (waitUntil ([&] { return pedalStateOf (*instance).at (0) > 0.6f; }))
        << "the host should read the drive turned up";

    const auto afterDrag = pedalStateOf (*instance);
    EXPECT_LE (afterDrag[0], 1.0f);
    EXPECT_EQ (afterDrag[1], 0.5f);
    EXPECT_EQ (afterDrag[2], 0.5f);
    EXPECT_EQ (afterDrag[3], 0.0f);

    const auto turned = screenshotShowing ("pedal-drive-turned.png", [&] (const juce::Image& shot) { return differingPixels (switchedOff, shot, readOut1Area) > 0; });
    EXPECT_GT (differingPixels (switchedOff, turned, readOut1Area), 0);

    //==========================================================================
    // Pressed again, the pedal is back on, lamp lit; this is the picture the README shows.
    click (onScreen (0.5, 0.72));
    EXPECT_TRUE (waitUntil ([&] { return pedalStateOf (*instance).at (3) == 1.0f; }));

    const auto backOn = screenshotShowing ("pedal-back-on.png", [&] (const juce::Image& shot) { return std::abs (averageBrightness (shot, lampArea) - litBrightness) < 0.05f; });
    EXPECT_NEAR (averageBrightness (backOn, lampArea), litBrightness, 0.05f);

    const auto pedalOnly = backOn.getClippedImage (pedal);
    juce::FileOutputStream out (juce::File (brask::built::screenshotFolder).getChildFile ("pedal.png"));
    out.setPosition (0);
    out.truncate();
    juce::PNGImageFormat().writeImageToStream (pedalOnly, out);

    //==========================================================================
    // The host restores a project while the pedal is open: the pedal shows it at once,
    // knob, read-out and lamp, as when it was first opened with those settings.
    const auto restoreThroughTheHost = [&] (const juce::MemoryBlock& hostState) {
        instance->setStateInformation (hostState.getData(), (int) hostState.getSize());
    };

    // A part of the window repainted on its own resamples the body picture a shade
    // differently at its edges; a different read-out or knob frame differs by far more.
    constexpr int repaintShade = 16;

    const auto showsAsIn = [&] (const juce::Image& reference, const juce::Image& shot) {
        return differingPixels (reference, shot, readOut1Area, repaintShade) == 0
               && differingPixels (reference, shot, knob1Area, repaintShade) == 0
               && std::abs (averageBrightness (shot, lampArea) - averageBrightness (reference, lampArea)) < 0.05f;
    };

    // From lamp lit and drive turned up back to the middle with the effect off: knob,
    // read-out and lamp all change...
    ASSERT_GT (differingPixels (switchedOff, backOn, readOut1Area, repaintShade), 0);
    ASSERT_GT (differingPixels (switchedOff, backOn, knob1Area, repaintShade), 0);
    restoreThroughTheHost (hostStateSwitchedOff);
    EXPECT_EQ (pedalStateOf (*instance), std::vector<float> ({ 0.5f, 0.5f, 0.5f, 0.0f }));

    const auto restoredOff = screenshotShowing ("pedal-restored-off.png", [&] (const juce::Image& shot) { return showsAsIn (switchedOff, shot); });
    EXPECT_TRUE (showsAsIn (switchedOff, restoredOff)) << "the pedal should show the restored drive 5.5 and the lamp dark";

    // ...and then to the settings it opened with: the lamp lights again.
    restoreThroughTheHost (hostStateAtOpening);
    EXPECT_EQ (pedalStateOf (*instance), before);

    const auto restoredOpening = screenshotShowing ("pedal-restored-opening.png", [&] (const juce::Image& shot) { return showsAsIn (opened, shot); });
    EXPECT_TRUE (showsAsIn (opened, restoredOpening)) << "the pedal should show the lamp lit again";

    window.clearContentComponent();
    editor.reset();
    pumpMessagesFor (200);
}

//==============================================================================
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);

    // Before the framework opens its own connection and looks the atoms up.
    prepareBareXServer();

    juce::ScopedJuceInitialiser_GUI juceInitialiser;
    return RUN_ALL_TESTS();
}
