// One small host, built for Linux and for Windows alike: loads a VST3 module as a
// host does (the framework's VST3 hosting), opens the pedal's editor in a window
// of its own at the top left of the screen, without a border, and keeps it there
// until asked to close. scripts/test-win64 opens the Windows module's editor
// under Wine and the Linux module's on the same X display, takes a screenshot of
// each and compares them (tests/win64/editor_matches_linux.py).
//
//   brask_editor_window MODULE STOP_FILE
//
// Once the editor's window is on the screen, one line goes to the standard output:
//   shown X Y WIDTH HEIGHT SCALE
// (its place and size on the screen in pixels, and the display's scale). The
// window stays until STOP_FILE exists; a host that is never asked to close gives
// up with a failure after two minutes, so that a lost test never leaves it behind.

#include "MessageLoop.h"

#if BRASK_BARE_X_SERVER
#include "BareXServer.h"
#endif

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockLength = 512;
    // For the window to be mapped; the test waits for the picture to settle.
    constexpr int mappingTimeMs = 500;
    constexpr int patienceMs = 120000;

    int fail (const juce::String& message)
    {
        std::cerr << "brask_editor_window: " << message << std::endl;
        return 1;
    }

    int showEditor (const juce::File& module, const juce::File& stopFile)
    {
        juce::VST3PluginFormat format;
        juce::OwnedArray<juce::PluginDescription> found;
        format.findAllTypesForFile (found, module.getFullPathName());
        if (found.size() != 1)
            return fail ("found " + juce::String (found.size()) + " plug-ins in " + module.getFullPathName());

        juce::String error;
        auto instance = format.createInstanceFromDescription (*found[0], sampleRate, blockLength, error);
        if (instance == nullptr)
            return fail ("cannot instantiate: " + error);

        std::unique_ptr<juce::AudioProcessorEditor> editor (instance->createEditorIfNeeded());
        if (editor == nullptr)
            return fail ("the module gives no editor");

        // A window of the editor's own size, as a host's plug-in window has, with no
        // border or title bar to tell the two platforms' pictures apart.
        editor->setTopLeftPosition (0, 0);
        editor->addToDesktop (0);
        editor->setVisible (true);
        brask::runMessageLoopFor (mappingTimeMs);

        auto* peer = editor->getPeer();
        if (peer == nullptr || ! editor->isShowing())
            return fail ("the editor's window is not on the screen");

        const auto bounds = peer->getBounds();
        const auto* display = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay();
        const auto scale = display != nullptr ? display->scale * peer->getPlatformScaleFactor() : 0.0;
        std::cout << "shown " << bounds.getX() << " " << bounds.getY() << " " << bounds.getWidth() << " "
                  << bounds.getHeight() << " " << scale << std::endl;

        const auto end = juce::Time::getMillisecondCounterHiRes() + patienceMs;
        while (! stopFile.exists())
        {
            if (juce::Time::getMillisecondCounterHiRes() > end)
                return fail ("nobody asked the window to close");

            brask::runMessageLoopFor (50);
        }

        editor->removeFromDesktop();
        editor.reset();
        return 0;
    }
}

int main (int argc, char* argv[])
{
    if (argc != 3)
        return fail ("usage: brask_editor_window MODULE STOP_FILE");

#if BRASK_BARE_X_SERVER
    // The X display has no window manager; Wine's X11 driver readies its own.
    if (! prepareBareXServer())
        return fail ("cannot open the X display");
#endif

    const juce::ScopedJuceInitialiser_GUI framework;
    return showEditor (juce::File (juce::String::fromUTF8 (argv[1])), juce::File (juce::String::fromUTF8 (argv[2])));
}
