#include "vst3host/HostedPedal.h"

#include "vst3host/Vst3Module.h"

#include <pluginterfaces/base/smartpointer.h>
#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivstprocesscontext.h>
#include <public.sdk/source/common/memorystream.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

using namespace Steinberg;

namespace
{
    // The pedal's class in its module's factory, should the module ever hold more than one effect.
    constexpr char pedalName[] = "Brask Overdrive";

    /** The component's saved state, as it writes it into a stream a host keeps; nullptr when it writes none. */
    IPtr<MemoryStream> readState (Vst::IComponent& component)
    {
        auto stream = owned (new MemoryStream());

        if (component.getState (stream) != kResultOk)
            return {};

        return stream;
    }
}

//==============================================================================
/** One instance of the effect, and how far it has been set up. Taking it apart
    undoes every step in reverse order, however far it got.
*/
struct HostedPedal::Instance
{
    ~Instance()
    {
        stop();

        if (initialised)
            component->terminate();
    }

    /** Undoes prepare(): the instance can be prepared again afterwards. */
    void stop()
    {
        if (processing)
            processor->setProcessing (false);

        if (active)
            component->setActive (false);

        if (busesActive)
        {
            component->activateBus (Vst::kAudio, Vst::kOutput, 0, false);
            component->activateBus (Vst::kAudio, Vst::kInput, 0, false);
        }

        processing = active = busesActive = false;
    }

    IPtr<Vst::IComponent> component;
    IPtr<Vst::IAudioProcessor> processor;
    bool initialised = false, busesActive = false, active = false, processing = false;

    // Set once the instance has been prepared: its pedal has state of its own from then on.
    bool used = false;

    // What process() hands the module. The output has buffers of its own, sized
    // when prepared: a module need not be safe to run in place.
    int numChannels = 0, maximumBlockSize = 0;
    std::vector<float> outputSamples;
    std::array<float*, 2> inputChannels {}, outputChannels {};
    Vst::AudioBusBuffers inputBus, outputBus;
    Vst::ProcessContext context {};
    Vst::ProcessData data;
};

//==============================================================================
HostedPedal::HostedPedal() = default;

HostedPedal::~HostedPedal()
{
    destroyInstance();
}

std::string HostedPedal::load (const std::string& path)
{
    destroyInstance();
    module = nullptr;
    bundlePath = path;

    auto opened = Vst3Module::open (path);

    if (opened.module == nullptr)
        return opened.error;

    // The pedal is the module's audio effect; should it hold several, the one by
    // the pedal's name, else the first.
    auto& factory = opened.module->getFactory();
    auto found = false;

    for (int32 index = 0; index < factory.countClasses(); ++index)
    {
        PClassInfo info;

        if (factory.getClassInfo (index, &info) != kResultOk
            || std::strncmp (info.category, kVstAudioEffectClass, sizeof (info.category)) != 0)
            continue;

        const auto isPedal = std::strncmp (info.name, pedalName, sizeof (info.name)) == 0;

        if (! found || isPedal)
            std::copy (std::begin (info.cid), std::end (info.cid), effectClassId.begin());

        found = true;

        if (isPedal)
            break;
    }

    if (! found)
        return "cannot load the VST3 module '" + path + "': it holds no audio effect";

    module = opened.module;
    return createInstance();
}

std::string HostedPedal::createInstance()
{
    auto created = std::make_unique<Instance>();

    Vst::IComponent* component = nullptr;

    if (module->getFactory().createInstance (effectClassId.data(), Vst::IComponent::iid, reinterpret_cast<void**> (&component)) != kResultOk
        || component == nullptr)
        return cannotStart();

    created->component = owned (component);

    if (component->initialize (module->getHostContext()) != kResultOk)
        return cannotStart();

    created->initialised = true;
    created->processor = FUnknownPtr<Vst::IAudioProcessor> (component);

    if (created->processor == nullptr)
        return cannotStart();

    instance = std::move (created);
    return {};
}

void HostedPedal::destroyInstance()
{
    instance.reset();
}

std::string HostedPedal::cannotStart() const
{
    return "cannot start the effect in '" + bundlePath + "'";
}

//==============================================================================
std::string HostedPedal::prepare (int numChannels, double sampleRate, int maximumBlockSize, const PedalSettings& settings)
{
    assert (module != nullptr && "load() the module first");
    assert (numChannels == 1 || numChannels == 2);
    assert (maximumBlockSize > 0);

    if (instance == nullptr || instance->used)
    {
        destroyInstance();

        if (auto error = createInstance(); ! error.empty())
            return error;
    }

    auto& pedal = *instance;
    pedal.used = true;

    auto inputArrangement = numChannels == 1 ? Vst::SpeakerArr::kMono : Vst::SpeakerArr::kStereo;
    auto outputArrangement = inputArrangement;

    if (pedal.processor->setBusArrangements (&inputArrangement, 1, &outputArrangement, 1) != kResultOk)
        return std::string ("the module refuses a ") + (numChannels == 1 ? "mono" : "stereo") + " layout";

    pedal.busesActive = true;

    if (pedal.component->activateBus (Vst::kAudio, Vst::kInput, 0, true) != kResultOk
        || pedal.component->activateBus (Vst::kAudio, Vst::kOutput, 0, true) != kResultOk)
        return cannotStart();

    if (auto error = applySettings (settings); ! error.empty())
        return error;

    Vst::ProcessSetup setup { Vst::kOffline, Vst::kSample32, maximumBlockSize, sampleRate };

    if (pedal.processor->setupProcessing (setup) != kResultOk)
        return cannotStart();

    pedal.numChannels = numChannels;
    pedal.maximumBlockSize = maximumBlockSize;
    pedal.outputSamples.assign ((size_t) numChannels * (size_t) maximumBlockSize, 0.0f);

    for (int channel = 0; channel < numChannels; ++channel)
        pedal.outputChannels[(size_t) channel] = pedal.outputSamples.data() + (size_t) channel * (size_t) maximumBlockSize;

    pedal.inputBus.numChannels = numChannels;
    pedal.inputBus.channelBuffers32 = pedal.inputChannels.data();
    pedal.outputBus.numChannels = numChannels;
    pedal.outputBus.channelBuffers32 = pedal.outputChannels.data();

    pedal.context = {};
    pedal.context.sampleRate = sampleRate;
    pedal.context.state = Vst::ProcessContext::kPlaying;

    pedal.data.processMode = Vst::kOffline;
    pedal.data.symbolicSampleSize = Vst::kSample32;
    pedal.data.numInputs = 1;
    pedal.data.numOutputs = 1;
    pedal.data.inputs = &pedal.inputBus;
    pedal.data.outputs = &pedal.outputBus;
    pedal.data.processContext = &pedal.context;

    if (pedal.component->setActive (true) != kResultOk)
        return cannotStart();

    pedal.active = true;

    // Many modules have nothing to do here and say so: only a refusal to start counts.
    if (const auto started = pedal.processor->setProcessing (true); started != kResultOk && started != kNotImplemented)
        return cannotStart();

    pedal.processing = true;
    return {};
}

bool HostedPedal::process (float* const* channels, int numSamples)
{
    assert (instance != nullptr && instance->processing && "prepare() the pedal first");
    auto& pedal = *instance;
    auto allProcessed = true;

    // The module was promised blocks of at most maximumBlockSize samples: a longer one goes in pieces.
    for (int start = 0; start < numSamples; start += pedal.maximumBlockSize)
    {
        const auto length = std::min (pedal.maximumBlockSize, numSamples - start);

        for (int channel = 0; channel < pedal.numChannels; ++channel)
            pedal.inputChannels[(size_t) channel] = channels[channel] + start;

        pedal.data.numSamples = length;
        const auto processed = pedal.processor->process (pedal.data) == kResultOk;
        pedal.context.projectTimeSamples += length;
        allProcessed = allProcessed && processed;

        // A block the module refused leaves silence, never what its buffers held before.
        for (int channel = 0; channel < pedal.numChannels; ++channel)
        {
            auto* destination = channels[channel] + start;

            if (processed)
                std::copy_n (pedal.outputChannels[(size_t) channel], length, destination);
            else
                std::fill_n (destination, length, 0.0f);
        }
    }

    return allProcessed;
}

void HostedPedal::release()
{
    if (instance != nullptr)
        instance->stop();
}

//==============================================================================
std::string HostedPedal::applySettings (const PedalSettings& settings)
{
    auto& component = *instance->component;

    // Start from the state the module itself wrote, so that whatever it keeps
    // behind the pedal's 16 bytes survives as it is.
    auto state = readState (component);

    if (state == nullptr || state->getSize() < (TSize) PedalSettings::blobSize)
        return "the module's saved state is not the pedal's (is this Brask Overdrive?)";

    const auto bytes = settings.toBytes();
    std::memcpy (state->getData(), bytes.data(), bytes.size());
    state->seek (0, IBStream::kIBSeekSet, nullptr);

    // Read it back: a module that did not take the settings would otherwise
    // render at its defaults without a word.
    const auto taken = component.setState (state) == kResultOk ? readState (component) : IPtr<MemoryStream>();

    if (taken == nullptr
        || taken->getSize() < (TSize) PedalSettings::blobSize
        || std::memcmp (taken->getData(), bytes.data(), bytes.size()) != 0)
        return "the module did not take the settings";

    return {};
}
