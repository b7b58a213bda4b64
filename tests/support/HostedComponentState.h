#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

/** The module's own component state as the framework's VST3 host keeps it: base64
    inside the host's XML. Empty when the host's state holds none.
*/
inline juce::MemoryBlock componentStateOf (juce::AudioPluginInstance& instance)
{
    juce::MemoryBlock hostState;
    instance.getStateInformation (hostState);

    juce::MemoryBlock component;

    if (auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize()))
        if (auto* child = xml->getChildByName ("IComponent"))
            component.fromBase64Encoding (child->getAllSubText());

    return component;
}
