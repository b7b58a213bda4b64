// brask-pedal-snapshot: draws the pedal's editor in-process, without a window or
// a display, and saves it as a PNG picture.
//
//     brask-pedal-snapshot [--width W] OUTPUT.png
//
// It asks the processor for its editor exactly as a host does (createEditor) and
// uses nothing but the AudioProcessorEditor interface, so it shows whatever the
// editor draws today. --width resizes the editor, keeping its proportions, before
// drawing (default: the size the editor chooses for itself).

#include "plugin/BraskOverdriveAudioProcessor.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdio>

namespace
{
    int fail (const juce::String& message)
    {
        std::fprintf (stderr, "brask-pedal-snapshot: %s\n", message.toRawUTF8());
        return 1;
    }

    /** Delivers the messages an editor posts to itself while it opens (the first
        notifications of its controls) before the picture is taken.
    */
    void deliverPendingMessages (int milliseconds)
    {
        juce::Timer::callAfterDelay (milliseconds, [] { juce::MessageManager::getInstance()->stopDispatchLoop(); });
        juce::MessageManager::getInstance()->runDispatchLoop();
    }
}

//==============================================================================
int main (int argc, char* argv[])
{
    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (juce::String::fromUTF8 (argv[i]));

    auto width = 0;

    if (arguments.size() == 3 && arguments[0] == "--width")
    {
        width = arguments[1].getIntValue();

        if (! arguments[1].containsOnly ("0123456789") || width < 50 || width > 4000)
            return fail ("--width takes a number of pixels from 50 to 4000");

        arguments.removeRange (0, 2);
    }

    if (arguments.size() != 1 || arguments[0].startsWith ("-"))
    {
        std::fprintf (stderr, "Usage: brask-pedal-snapshot [--width W] OUTPUT.png\n");
        return 2;
    }

    const auto target = juce::File::getCurrentWorkingDirectory().getChildFile (arguments[0]);

    if (! target.getParentDirectory().isDirectory())
        return fail ("the folder '" + target.getParentDirectory().getFullPathName() + "' does not exist");

    juce::ScopedJuceInitialiser_GUI framework;

    auto processor = std::make_unique<BraskOverdriveAudioProcessor>();
    std::unique_ptr<juce::AudioProcessorEditor> editor (processor->createEditor());

    if (editor == nullptr)
        return fail ("the pedal made no editor");

    if (width > 0 && editor->getWidth() > 0)
    {
        const auto height = juce::roundToInt ((double) width * editor->getHeight() / editor->getWidth());
        editor->setSize (width, height);
    }

    deliverPendingMessages (250);

    if (editor->getWidth() <= 0 || editor->getHeight() <= 0)
        return fail ("the editor has no size");

    const auto picture = editor->createComponentSnapshot (editor->getLocalBounds(), true, 1.0f);

    juce::TemporaryFile temporary (target);
    {
        juce::FileOutputStream stream (temporary.getFile());
        juce::PNGImageFormat png;

        if (stream.failedToOpen() || ! png.writeImageToStream (picture, stream))
            return fail ("cannot write '" + target.getFullPathName() + "'");

        stream.flush();

        if (stream.getStatus().failed())
            return fail ("cannot write '" + target.getFullPathName() + "'");
    }

    if (! temporary.overwriteTargetFileWithTemporary())
        return fail ("cannot write '" + target.getFullPathName() + "'");

    // The editor goes before its processor, as in a host.
    editor.reset();
    processor.reset();

    std::printf ("brask-pedal-snapshot: wrote %s (%d x %d)\n", target.getFullPathName().toRawUTF8(),
                 picture.getWidth(), picture.getHeight());
    return 0;
}
