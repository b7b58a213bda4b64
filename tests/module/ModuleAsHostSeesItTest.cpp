// The built VST3 module, loaded the way a DAW loads it: first its raw factory
// through the module's own entry points, then a full instance through the
// framework's VST3 hosting.

#include "BuiltPaths.h"
#include "HostedComponentState.h"
#include "plugin/PedalSettings.h"

#include <gtest/gtest.h>
#include <juce_audio_processors/juce_audio_processors.h>

#include <pluginterfaces/base/ipluginbase.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace
{
    juce::File builtModule()
    {
        // The test runs against the bundle this build made, or another one named in the environment.
        if (auto* overridden = std::getenv ("BRASK_VST3"))
            return juce::File (overridden);

        return juce::File (brask::built::vst3Bundle);
    }

    // The module's binary inside the bundle.
    juce::File binaryIn (const juce::File& bundle)
    {
#if JUCE_WINDOWS
        return bundle.getChildFile ("Contents/x86_64-win").getChildFile (bundle.getFileName());
#else
        return bundle.getChildFile ("Contents/x86_64-linux")
            .getChildFile (bundle.getFileNameWithoutExtension() + ".so");
#endif
    }

    // What a host is given: the bundle; on Windows the framework's hosting finds
    // no types in the folder and must be given the binary inside it.
    juce::File moduleForHosting()
    {
#if JUCE_WINDOWS
        return binaryIn (builtModule());
#else
        return builtModule();
#endif
    }

    // A class ID as the spec writes it. On Windows the interfaces lay the 16 bytes
    // out as a COM GUID (the first three fields little-endian): the same ID.
    juce::String hexOf (const Steinberg::TUID id)
    {
        std::array<juce::uint8, 16> bytes;
        std::memcpy (bytes.data(), id, bytes.size());
#if JUCE_WINDOWS
        std::reverse (bytes.begin(), bytes.begin() + 4);
        std::reverse (bytes.begin() + 4, bytes.begin() + 6);
        std::reverse (bytes.begin() + 6, bytes.begin() + 8);
#endif
        return juce::String::toHexString (bytes.data(), (int) bytes.size(), 0).toUpperCase();
    }

    // Opens the module's binary, runs its entry point and hands out its factory.
    struct RawModule
    {
        explicit RawModule (const juce::File& bundle)
        {
            if (! library.open (binaryIn (bundle).getFullPathName()))
            {
                problem = "cannot load " + binaryIn (bundle).getFullPathName();
                return;
            }

            using FactoryFn = Steinberg::IPluginFactory* (*) ();
            auto getFactory = reinterpret_cast<FactoryFn> (library.getFunction ("GetPluginFactory"));

#if JUCE_WINDOWS
            auto entry = reinterpret_cast<bool (*)()> (library.getFunction ("InitDll"));
            entered = entry != nullptr && getFactory != nullptr && entry();
#else
            auto entry = reinterpret_cast<bool (*) (void*)> (library.getFunction ("ModuleEntry"));
            entered = entry != nullptr && getFactory != nullptr && entry (library.getNativeHandle());
#endif

            if (entered)
                factory = getFactory();
            else
                problem = "the module's entry points are missing or refused to start";
        }

        ~RawModule()
        {
            if (factory != nullptr)
                factory->release();

#if JUCE_WINDOWS
            const char* exitName = "ExitDll";
#else
            const char* exitName = "ModuleExit";
#endif

            if (entered)
                if (auto exitFn = reinterpret_cast<bool (*)()> (library.getFunction (exitName)))
                    exitFn();
        }

        juce::DynamicLibrary library;
        bool entered = false;
        Steinberg::IPluginFactory* factory = nullptr;
        juce::String problem;
    };

    std::unique_ptr<juce::AudioPluginInstance> instantiate (juce::VST3PluginFormat& format,
                                                            const juce::PluginDescription& description)
    {
        juce::String error;
        auto instance = format.createInstanceFromDescription (description, 48000.0, 512, error);
        EXPECT_TRUE (error.isEmpty()) << error;
        return instance;
    }
}

//==============================================================================
TEST (ModuleAsHostSeesIt, FactoryDeclaresTheIdentityAndClassIds)
{
    ASSERT_TRUE (builtModule().isDirectory()) << builtModule().getFullPathName();

    RawModule module (builtModule());
    ASSERT_NE (module.factory, nullptr) << module.problem;

    Steinberg::PFactoryInfo factoryInfo;
    ASSERT_EQ (module.factory->getFactoryInfo (&factoryInfo), Steinberg::kResultOk);
    EXPECT_STREQ (factoryInfo.vendor, BRASK_VENDOR);
    EXPECT_STREQ (factoryInfo.url, "https://quillonaudio.example");
    EXPECT_STREQ (factoryInfo.email, "support@quillonaudio.example");
    EXPECT_EQ (factoryInfo.flags, (Steinberg::int32) Steinberg::PFactoryInfo::kUnicode);

    Steinberg::IPluginFactory2* factory2 = nullptr;
    ASSERT_EQ (module.factory->queryInterface (Steinberg::IPluginFactory2_iid, (void**) &factory2), Steinberg::kResultOk);
    ASSERT_NE (factory2, nullptr);

    struct Expected
    {
        const char* category;
        const char* id;
        const char* subCategories;
    };
    const Expected expected[] = {
        { "Audio Module Class", "ABCDEF019182FAEB4D616E75517A7674", "Fx|Distortion" },
        { "Component Controller Class", "ABCDEF011234ABCD4D616E75517A7674", "Fx|Distortion" },
    };

    juce::StringArray seenCategories;

    for (Steinberg::int32 i = 0; i < factory2->countClasses(); ++i)
    {
        Steinberg::PClassInfo2 info;
        ASSERT_EQ (factory2->getClassInfo2 (i, &info), Steinberg::kResultOk);
        seenCategories.add (info.category);

        for (const auto& e : expected)
        {
            if (juce::String (info.category) != e.category)
                continue;

            EXPECT_EQ (hexOf (info.cid), e.id) << e.category;
            EXPECT_STREQ (info.name, BRASK_PRODUCT_NAME) << e.category;
            EXPECT_STREQ (info.vendor, BRASK_VENDOR) << e.category;
            EXPECT_STREQ (info.version, BRASK_VERSION) << e.category;
            EXPECT_STREQ (info.subCategories, e.subCategories) << e.category;
            EXPECT_EQ (info.cardinality, (Steinberg::int32) Steinberg::PClassInfo::kManyInstances) << e.category;
            EXPECT_EQ (info.classFlags, 0u) << e.category;
        }
    }

    for (const auto& e : expected)
        EXPECT_TRUE (seenCategories.contains (e.category)) << e.category << " missing";

    factory2->release();
}

TEST (ModuleAsHostSeesIt, LoadsAsAStereoOrMonoEffectWithOnlyTheBypassParameter)
{
    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> found;
    format.findAllTypesForFile (found, moduleForHosting().getFullPathName());

    ASSERT_EQ (found.size(), 1);
    const auto& description = *found[0];
    EXPECT_EQ (description.name, BRASK_PRODUCT_NAME);
    EXPECT_EQ (description.manufacturerName, BRASK_VENDOR);
    EXPECT_EQ (description.version, BRASK_VERSION);
    EXPECT_EQ (description.category, "Fx|Distortion");
    EXPECT_FALSE (description.isInstrument);

    auto instance = instantiate (format, description);
    ASSERT_NE (instance, nullptr);

    EXPECT_EQ (instance->getName(), BRASK_PRODUCT_NAME);
    EXPECT_FALSE (instance->acceptsMidi());
    EXPECT_FALSE (instance->producesMidi());
    EXPECT_EQ (instance->getLatencySamples(), 0);
    EXPECT_EQ (instance->getTailLengthSeconds(), 0.0);
    EXPECT_TRUE (instance->hasEditor());

    const auto& parameters = instance->getParameters();
    ASSERT_EQ (parameters.size(), 1);
    EXPECT_EQ (parameters[0]->getName (64), "Bypass");

    ASSERT_EQ (instance->getBusCount (true), 1);
    ASSERT_EQ (instance->getBusCount (false), 1);

    struct Case
    {
        juce::AudioChannelSet in, out;
        bool supported;
    };
    const Case layouts[] = {
        { juce::AudioChannelSet::stereo(), juce::AudioChannelSet::stereo(), true },
        { juce::AudioChannelSet::mono(), juce::AudioChannelSet::mono(), true },
        { juce::AudioChannelSet::mono(), juce::AudioChannelSet::stereo(), false },
    };

    for (const auto& c : layouts)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (c.in);
        layout.outputBuses.add (c.out);
        EXPECT_EQ (instance->setBusesLayout (layout), c.supported)
            << c.in.getDescription() << " -> " << c.out.getDescription();
    }
}

TEST (ModuleAsHostSeesIt, StateSavedThroughTheHostRestoresIntoAFreshInstance)
{
    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> found;
    format.findAllTypesForFile (found, moduleForHosting().getFullPathName());
    ASSERT_EQ (found.size(), 1);

    auto first = instantiate (format, *found[0]);
    ASSERT_NE (first, nullptr);

    const auto defaults = componentStateOf (*first);
    ASSERT_GE (defaults.getSize(), 16u);
    const unsigned char defaultBytes[] = { 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x3F,
                                           0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0x3F };
    EXPECT_EQ (std::memcmp (defaults.getData(), defaultBytes, 16), 0);

    // Settings reach a hosted module only as its state: give it other knobs and the footswitch off.
    const auto settings = PedalSettings { 0.125f, 0.875f, 0.25f, false }.toBytes();

    juce::MemoryBlock hostState;
    first->getStateInformation (hostState);
    auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
    ASSERT_NE (xml, nullptr);
    auto* component = xml->getChildByName ("IComponent");
    ASSERT_NE (component, nullptr);

    juce::MemoryBlock edited (defaults);
    edited.copyFrom (settings.data(), 0, 16);
    component->deleteAllTextElements();
    component->addTextElement (edited.toBase64Encoding());

    juce::MemoryBlock editedState;
    juce::AudioProcessor::copyXmlToBinary (*xml, editedState);
    first->setStateInformation (editedState.getData(), (int) editedState.getSize());

    const auto saved = componentStateOf (*first);
    ASSERT_GE (saved.getSize(), 16u);
    EXPECT_EQ (std::memcmp (saved.getData(), settings.data(), 16), 0);

    juce::MemoryBlock savedHostState;
    first->getStateInformation (savedHostState);

    auto second = instantiate (format, *found[0]);
    ASSERT_NE (second, nullptr);
    second->setStateInformation (savedHostState.getData(), (int) savedHostState.getSize());

    const auto restored = componentStateOf (*second);
    ASSERT_GE (restored.getSize(), 16u);
    EXPECT_EQ (std::memcmp (restored.getData(), settings.data(), 16), 0);
}
