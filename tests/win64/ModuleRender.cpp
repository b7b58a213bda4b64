// One small host, built for Linux and for Windows alike: plays a stereo file of
// 32-bit floats through a VST3 module, as a host does (the framework's VST3
// hosting, the pedal's knobs given as its saved state), and writes the output
// in the same form. scripts/test-win64 renders one file through the Windows
// module under Wine and through the Linux module, and compares the two.
//
//   brask_module_render MODULE INPUT.f32 OUTPUT.f32 DRIVE TONE LEVEL
//
// MODULE is what the framework's hosting is given: the bundle on Linux, the DLL
// inside it on Windows. The files hold interleaved stereo, little-endian.

#include "HostedComponentState.h"
#include "plugin/PedalSettings.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <iostream>

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockLength = 512;

    int fail (const juce::String& message)
    {
        std::cerr << "brask_module_render: " << message << std::endl;
        return 1;
    }

    // The host's state with the module's first 16 bytes replaced by the knobs.
    bool giveSettings (juce::AudioPluginInstance& instance, const PedalSettings& settings)
    {
        auto component = componentStateOf (instance);
        juce::MemoryBlock hostState;
        instance.getStateInformation (hostState);
        auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());

        if (xml == nullptr || xml->getChildByName ("IComponent") == nullptr || component.getSize() < PedalSettings::blobSize)
            return false;

        const auto bytes = settings.toBytes();
        component.copyFrom (bytes.data(), 0, bytes.size());
        auto* child = xml->getChildByName ("IComponent");
        child->deleteAllTextElements();
        child->addTextElement (component.toBase64Encoding());

        juce::MemoryBlock edited;
        juce::AudioProcessor::copyXmlToBinary (*xml, edited);
        instance.setStateInformation (edited.getData(), (int) edited.getSize());

        const auto now = componentStateOf (instance);
        return now.getSize() >= bytes.size() && std::memcmp (now.getData(), bytes.data(), bytes.size()) == 0;
    }

    int render (const juce::StringArray& args)
    {
        const juce::File module (args[0]), input (args[1]), output (args[2]);
        const PedalSettings settings { args[3].getFloatValue(), args[4].getFloatValue(), args[5].getFloatValue(), true };

        juce::MemoryBlock samples;
        if (! input.loadFileAsData (samples) || samples.getSize() % (2 * sizeof (float)) != 0)
            return fail ("cannot read whole stereo frames from " + input.getFullPathName());

        const auto numFrames = (int) (samples.getSize() / (2 * sizeof (float)));
        const auto* interleaved = static_cast<const float*> (samples.getData());

        juce::VST3PluginFormat format;
        juce::OwnedArray<juce::PluginDescription> found;
        format.findAllTypesForFile (found, module.getFullPathName());
        if (found.size() != 1)
            return fail ("found " + juce::String (found.size()) + " plug-ins in " + module.getFullPathName());

        juce::String error;
        auto instance = format.createInstanceFromDescription (*found[0], sampleRate, blockLength, error);
        if (instance == nullptr)
            return fail ("cannot instantiate: " + error);

        juce::AudioProcessor::BusesLayout stereo;
        stereo.inputBuses.add (juce::AudioChannelSet::stereo());
        stereo.outputBuses.add (juce::AudioChannelSet::stereo());
        if (! instance->setBusesLayout (stereo))
            return fail ("the module refuses stereo");

        if (! giveSettings (*instance, settings))
            return fail ("the module did not take the knobs' settings");

        instance->prepareToPlay (sampleRate, blockLength);

        juce::HeapBlock<float> result ((size_t) numFrames * 2);
        juce::AudioBuffer<float> block (2, blockLength);
        juce::MidiBuffer midi;

        for (int start = 0; start < numFrames; start += blockLength)
        {
            const auto length = juce::jmin (blockLength, numFrames - start);
            block.setSize (2, length, false, false, true);

            for (int i = 0; i < length; ++i)
                for (int channel = 0; channel < 2; ++channel)
                    block.setSample (channel, i, interleaved[2 * (start + i) + channel]);

            instance->processBlock (block, midi);

            for (int i = 0; i < length; ++i)
                for (int channel = 0; channel < 2; ++channel)
                    result[2 * (start + i) + channel] = block.getSample (channel, i);
        }

        instance->releaseResources();

        if (! output.replaceWithData (result.get(), (size_t) numFrames * 2 * sizeof (float)))
            return fail ("cannot write " + output.getFullPathName());

        return 0;
    }
}

int main (int argc, char* argv[])
{
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    if (args.size() != 6)
        return fail ("usage: brask_module_render MODULE INPUT.f32 OUTPUT.f32 DRIVE TONE LEVEL");

    const juce::ScopedJuceInitialiser_GUI framework;
    return render (args);
}
