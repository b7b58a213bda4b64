#pragma once

#include "RenderOptions.h"

#include <juce_audio_processors/juce_audio_processors.h>

//==============================================================================
/**
    The pedal as a DAW has it: the VST3 module loaded through the framework's
    VST3 host, one instance, the settings handed over as its saved state, and
    audio streamed through it block by block.

    Everything here runs on the thread that made the framework's message
    manager, as a host's message thread; processing is offline, so the same
    thread also plays the part of the audio thread.
*/
class HostedPedal final
{
public:
    HostedPedal() = default;
    ~HostedPedal();

    /** Loads the bundle and makes one instance of the pedal from it. */
    juce::Result load (const juce::File& bundle);

    /** Sets up a mono or stereo effect at the file's sample rate, gives it the
        settings as a host restores a project, and prepares it for blocks of at
        most maximumBlockSize samples. An instance that has played before is
        replaced by a fresh one first, so that every file starts from a pedal
        just switched on, as a render of that file alone would.
    */
    juce::Result prepare (int numChannels, double sampleRate, int maximumBlockSize, const PedalSettings& settings);

    /** Runs one block through the pedal, in place. */
    void process (juce::AudioBuffer<float>& buffer);

    void release();

private:
    //==============================================================================
    juce::Result createInstance();
    juce::Result applySettings (const PedalSettings& settings);
    juce::MemoryBlock readComponentState();

    juce::VST3PluginFormat format;
    std::unique_ptr<juce::PluginDescription> description;
    juce::String bundlePath;
    std::unique_ptr<juce::AudioPluginInstance> instance;
    juce::MidiBuffer noMidi;
    bool prepared = false, played = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (HostedPedal)
};
