#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <memory>

class BraskOverdriveAudioProcessor;

//==============================================================================
/**
    What the pedal asks of its editor side. The editor's folder defines these
    (BraskOverdriveProcessorEditor.cpp), so the pedal depends on these two
    declarations and on no graphics type.
*/
namespace EditorSide
{
    /** A new editor for the pedal, owned by the caller. */
    juce::AudioProcessorEditor* createEditor (BraskOverdriveAudioProcessor&);

    /** A handle that keeps what every editor shares (the decoded pictures) for as
        long as anyone holds it: each pedal holds one from construction, so an
        editor reopened after any pause decodes nothing, and the last pedal to go
        frees it all.
    */
    std::shared_ptr<void> keepResourcesAlive();
}
