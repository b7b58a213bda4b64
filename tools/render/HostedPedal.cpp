#include "HostedPedal.h"

namespace
{
    // The framework's VST3 host keeps a module's state as XML: the component's
    // own bytes, base64-encoded, in this element.
    const juce::Identifier componentStateTag ("IComponent");

    constexpr auto pedalStateSize = PedalSettings::blobSize;

    // The pedal's identity in its module's factory: its name and class ID.
    const juce::String pedalName ("Brask Overdrive");
    const char* const pedalClassId = "ABCDEF019182FAEB4D616E75517A7674";

    /** The description a scan of the module would give the pedal, without the scan:
        a scan starts the effect once only to count its channels, and starting it
        (its message thread, its look for a display) is most of a short render's time.
        The framework's host finds the class by name and by this hash of its ID.
    */
    juce::PluginDescription describePedalIn (const juce::File& bundle)
    {
        juce::MemoryBlock classId;
        classId.loadFromHexString (pedalClassId);

        juce::uint32 hash = 0;

        for (size_t i = 0; i < classId.getSize(); ++i)
            hash = hash * 31 + (juce::uint32) (int) static_cast<const char*> (classId.getData())[i];

        juce::PluginDescription description;
        description.fileOrIdentifier = bundle.getFullPathName();
        description.pluginFormatName = "VST3";
        description.name = pedalName;
        description.descriptiveName = pedalName;
        description.deprecatedUid = (int) hash;
        return description;
    }
}

//==============================================================================
HostedPedal::~HostedPedal()
{
    release();
}

juce::Result HostedPedal::load (const juce::File& bundle)
{
    if (! bundle.exists())
        return juce::Result::fail ("cannot find the pedal's module '" + bundle.getFullPathName()
                                   + "' (run scripts/demo to install it, or pass --plugin)");

    if (! format.fileMightContainThisPluginType (bundle.getFullPathName()))
        return juce::Result::fail ("'" + bundle.getFullPathName() + "' is not a VST3 module (a .vst3 bundle)");

    bundlePath = bundle.getFullPathName();
    description = std::make_unique<juce::PluginDescription> (describePedalIn (bundle));

    if (createInstance().wasOk())
        return juce::Result::ok();

    // Not the pedal as this build knows it (another build, another effect): scan the module.
    juce::OwnedArray<juce::PluginDescription> found;
    format.findAllTypesForFile (found, bundle.getFullPathName());

    if (found.isEmpty())
        return juce::Result::fail ("cannot load the VST3 module '" + bundle.getFullPathName() + "'");

    // A bundle holds one effect; should it ever hold more, the first is the pedal.
    description = std::make_unique<juce::PluginDescription> (*found[0]);
    return createInstance();
}

juce::Result HostedPedal::createInstance()
{
    instance.reset();
    played = false;

    juce::String error;
    instance = format.createInstanceFromDescription (*description, 48000.0, 512, error);

    if (instance == nullptr)
        return juce::Result::fail ("cannot start the effect in '" + bundlePath + "'"
                                   + (error.isNotEmpty() ? ": " + error : juce::String()));

    return juce::Result::ok();
}

juce::Result HostedPedal::prepare (int numChannels, double sampleRate, int maximumBlockSize, const PedalSettings& settings)
{
    jassert (instance != nullptr);

    if (played)
    {
        release();

        if (auto created = createInstance(); created.failed())
            return created;
    }

    const auto channelSet = numChannels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();

    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add (channelSet);
    layout.outputBuses.add (channelSet);

    if (! instance->setBusesLayout (layout))
        return juce::Result::fail ("the module refuses a " + channelSet.getDescription().toLowerCase() + " layout");

    if (auto result = applySettings (settings); result.failed())
        return result;

    // An offline render: the module may take its time over each block. It is
    // prepared with exactly the block size used, so it plans for what it gets.
    instance->setNonRealtime (true);
    instance->prepareToPlay (sampleRate, maximumBlockSize);
    prepared = true;
    played = true;

    return juce::Result::ok();
}

void HostedPedal::process (juce::AudioBuffer<float>& buffer)
{
    noMidi.clear();
    instance->processBlock (buffer, noMidi);
}

void HostedPedal::release()
{
    if (instance != nullptr && prepared)
        instance->releaseResources();

    prepared = false;
}

//==============================================================================
juce::MemoryBlock HostedPedal::readComponentState()
{
    juce::MemoryBlock hostState;
    instance->getStateInformation (hostState);

    juce::MemoryBlock component;

    if (auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize()))
        if (auto* element = xml->getChildByName (componentStateTag))
            component.fromBase64Encoding (element->getAllSubText());

    return component;
}

juce::Result HostedPedal::applySettings (const PedalSettings& settings)
{
    // Start from the state the module itself wrote, so that whatever the
    // framework's wrapper keeps behind the pedal's 16 bytes survives as it is.
    juce::MemoryBlock hostState;
    instance->getStateInformation (hostState);
    auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
    auto* element = xml != nullptr ? xml->getChildByName (componentStateTag) : nullptr;

    juce::MemoryBlock component;

    if (element != nullptr)
        component.fromBase64Encoding (element->getAllSubText());

    if (element == nullptr || component.getSize() < pedalStateSize)
        return juce::Result::fail ("the module's saved state is not the pedal's (is this Brask Overdrive?)");

    const auto blob = settings.toBytes();
    component.copyFrom (blob.data(), 0, pedalStateSize);

    element->deleteAllTextElements();
    element->addTextElement (component.toBase64Encoding());

    juce::MemoryBlock editedState;
    juce::AudioProcessor::copyXmlToBinary (*xml, editedState);
    instance->setStateInformation (editedState.getData(), (int) editedState.getSize());

    // Read it back: a module that did not take the settings would otherwise
    // render at its defaults without a word.
    const auto taken = readComponentState();

    if (taken.getSize() < pedalStateSize || std::memcmp (taken.getData(), blob.data(), pedalStateSize) != 0)
        return juce::Result::fail ("the module did not take the settings");

    return juce::Result::ok();
}
