// An LV2 host of our own, written against lilv as most Linux hosts are, that
// loads the built bundle and behaves as each kind of host does: with or without
// the features and options the framework's wrapper wants, with odd maxima, with
// runs longer than the maximum, of random lengths or of none, connecting its
// ports late or never, at every common rate, many times over and on two threads
// at once, and hands back damaged saved states. Whatever it does, the pedal must
// make an instance (or decline with a line in the host's log where it must) whose
// output is the pedal's own processor's, run in-process on the same audio in the
// host's runs, with no NaN, and must refuse a damaged state without harm.
//
//   brask_lv2_host_test   (LV2_PATH names the folder holding the built bundle)

#include "plugin/BraskOverdriveAudioProcessor.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/presets/presets.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{
    constexpr auto pedalUri = "https://quillonaudio.example/plugins/brask-overdrive";

    //==============================================================================
    // The host's URID map and log, as every host has them.
    struct HostMap
    {
        LV2_URID_Map feature { this, [] (LV2_URID_Map_Handle handle, const char* uri) {
                                  auto& self = *static_cast<HostMap*> (handle);
                                  const std::scoped_lock lock (self.mutex);
                                  return self.ids.emplace (uri, (LV2_URID) self.ids.size() + 1).first->second;
                              } };
        std::map<std::string, LV2_URID> ids;
        std::mutex mutex;

        LV2_URID operator() (const char* uri) { return feature.map (feature.handle, uri); }
    };

    struct HostLog
    {
        static int print (LV2_Log_Handle handle, LV2_URID type, const char* format, ...)
        {
            va_list args;
            va_start (args, format);
            const auto result = printList (handle, type, format, args);
            va_end (args);
            return result;
        }

        static int printList (LV2_Log_Handle handle, LV2_URID, const char* format, va_list args)
        {
            char line[1024];
            const auto length = std::vsnprintf (line, sizeof (line), format, args);
            static_cast<HostLog*> (handle)->lines.emplace_back (line);
            return length;
        }

        LV2_Log_Log feature { this, print, printList };
        std::vector<std::string> lines;
    };

    //==============================================================================
    // The world lilv reads, holding only the folder LV2_PATH names: other plug-ins
    // on the machine stay out of it, and the pedal is found by its URI.
    struct World
    {
        World()
        {
            const auto* path = std::getenv ("LV2_PATH");

            if (path != nullptr)
            {
                auto* value = lilv_new_string (world, path);
                lilv_world_set_option (world, LILV_OPTION_LV2_PATH, value);
                lilv_node_free (value);
            }

            lilv_world_load_all (world);
            auto* uri = lilv_new_uri (world, pedalUri);
            plugin = lilv_plugins_get_by_uri (lilv_world_get_all_plugins (world), uri);
            lilv_node_free (uri);
        }

        ~World() { lilv_world_free (world); }

        LilvWorld* world = lilv_world_new();
        const LilvPlugin* plugin = nullptr;
    };

    World& world()
    {
        static World shared;
        return shared;
    }

    //==============================================================================
    /*  How one host behaves. */
    struct Behaviour
    {
        const char* name;
        bool offersMap = true;
        bool offersOptions = true;
        bool offersBoundedBlocks = true;
        std::optional<int64_t> maximum = 512;  // sent as atom:Int of 4 bytes, or of 8 beyond that range
        double rate = 48000.0;
        std::vector<uint32_t> runs { 512 };  // run lengths, repeated until the input is used up
        bool connectsAtomPorts = true;
        bool connectsBeforeActivate = true;
        bool declines = false;  // must decline, with a line in the log
    };

    // The samples a host renders: two channels, long enough for several cap-long runs.
    constexpr int inputLength = 40000;

    std::vector<std::vector<float>> testSignal (double rate)
    {
        std::mt19937 noise (22);
        std::uniform_real_distribution<float> uniform (-0.05f, 0.05f);
        std::vector<std::vector<float>> signal (2, std::vector<float> (inputLength));

        for (int i = 0; i < inputLength; ++i)
        {
            signal[0][(size_t) i] = 0.5f * (float) std::sin (2.0 * M_PI * 220.0 * i / rate) + uniform (noise);
            signal[1][(size_t) i] = 0.3f * (float) std::sin (2.0 * M_PI * 330.0 * i / rate) + uniform (noise);
        }

        return signal;
    }

    // The runs the host hands the plug-in, whole: the pedal plays any length.
    std::vector<uint32_t> piecesOf (const Behaviour& host)
    {
        std::vector<uint32_t> pieces;
        uint32_t done = 0;

        for (size_t turn = 0; done < (uint32_t) inputLength; ++turn)
        {
            const auto run = std::min (host.runs[turn % host.runs.size()], (uint32_t) inputLength - done);
            done += run;
            pieces.push_back (run);
        }

        return pieces;
    }

    // The pedal's own processor, in-process, in those runs.
    std::vector<std::vector<float>> reference (const Behaviour& host, const std::vector<std::vector<float>>& input)
    {
        BraskOverdriveAudioProcessor pedal;
        const auto pieces = piecesOf (host);
        pedal.prepareToPlay (host.rate, std::max (1, (int) *std::max_element (pieces.begin(), pieces.end())));

        auto output = input;
        juce::MidiBuffer midi;
        int done = 0;

        for (const auto piece : pieces)
        {
            float* channels[] = { output[0].data() + done, output[1].data() + done };
            juce::AudioBuffer<float> block (channels, 2, (int) piece);
            pedal.processBlock (block, midi);
            done += (int) piece;
        }

        pedal.releaseResources();
        return output;
    }

    //==============================================================================
    /*  One instance as the host makes, runs and ends it. The output is empty when
        the pedal declined.
    */
    struct Rendered
    {
        std::vector<std::vector<float>> output;
        std::vector<std::string> log;
    };

    Rendered render (const Behaviour& host, const std::vector<std::vector<float>>& input)
    {
        HostMap map;
        HostLog log;
        int32_t maximum32 = host.maximum ? (int32_t) *host.maximum : 0;
        int64_t maximum64 = host.maximum ? *host.maximum : 0;
        const auto wide = host.maximum && (*host.maximum > INT32_MAX || *host.maximum < INT32_MIN);
        int32_t sequenceSize = 8192;

        std::vector<LV2_Options_Option> options {
            { LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__sequenceSize), sizeof (sequenceSize), map (LV2_ATOM__Int), &sequenceSize },
        };

        if (host.maximum)
            options.push_back ({ LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__maxBlockLength),
                                 wide ? (uint32_t) sizeof (maximum64) : (uint32_t) sizeof (maximum32),
                                 map (wide ? LV2_ATOM__Long : LV2_ATOM__Int), wide ? (void*) &maximum64 : (void*) &maximum32 });

        options.push_back ({ LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr });

        const LV2_Feature mapFeature { LV2_URID__map, &map.feature };
        const LV2_Feature logFeature { LV2_LOG__log, &log.feature };
        const LV2_Feature optionsFeature { LV2_OPTIONS__options, options.data() };
        const LV2_Feature boundedFeature { LV2_BUF_SIZE__boundedBlockLength, nullptr };

        std::vector<const LV2_Feature*> features { &logFeature };

        if (host.offersMap)
            features.push_back (&mapFeature);
        if (host.offersOptions)
            features.push_back (&optionsFeature);
        if (host.offersBoundedBlocks)
            features.push_back (&boundedFeature);

        features.push_back (nullptr);

        Rendered result;
        auto* instance = lilv_plugin_instantiate (world().plugin, host.rate, features.data());

        if (instance == nullptr)
        {
            result.log = log.lines;
            return result;
        }

        // The host's buffers: audio in place of the input's copy, the atom ports'
        // sequences (an empty input, an output of 8 KiB), the settings at their defaults.
        auto output = input;
        std::vector<uint64_t> atomInput (4), atomOutput (1024);
        float settings[] = { 0.5f, 0.5f, 0.5f, 1.0f };
        float latency = 0.0f;

        const auto ports = lilv_plugin_get_num_ports (world().plugin);
        const auto firstSetting = ports - 4;

        const auto connect = [&] (uint32_t done) {
            for (uint32_t channel = 0; channel < 2; ++channel)
            {
                lilv_instance_connect_port (instance, channel, output[channel].data() + done);
                lilv_instance_connect_port (instance, 2 + channel, output[channel].data() + done);
            }

            lilv_instance_connect_port (instance, 4, host.connectsAtomPorts ? atomInput.data() : nullptr);
            lilv_instance_connect_port (instance, 5, host.connectsAtomPorts ? atomOutput.data() : nullptr);
            lilv_instance_connect_port (instance, 6, &latency);

            for (uint32_t setting = 0; setting < 4; ++setting)
                lilv_instance_connect_port (instance, firstSetting + setting, &settings[setting]);
        };

        const auto sequenceType = map (LV2_ATOM__Sequence);
        auto* in = reinterpret_cast<LV2_Atom_Sequence*> (atomInput.data());
        auto* out = reinterpret_cast<LV2_Atom_Sequence*> (atomOutput.data());

        if (host.connectsBeforeActivate)
            connect (0);

        lilv_instance_activate (instance);
        uint32_t done = 0;

        for (size_t turn = 0; done < (uint32_t) inputLength; ++turn)
        {
            const auto run = std::min (host.runs[turn % host.runs.size()], (uint32_t) inputLength - done);

            in->atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), sequenceType };
            in->body = { 0, 0 };
            out->atom = { (uint32_t) (atomOutput.size() * sizeof (uint64_t) - sizeof (LV2_Atom)), map (LV2_ATOM__Chunk) };
            connect (done);
            lilv_instance_run (instance, run);
            done += run;
        }

        lilv_instance_deactivate (instance);
        lilv_instance_free (instance);

        result.output = std::move (output);
        result.log = log.lines;
        return result;
    }

    void expectTheProcessorsOutput (const Behaviour& host)
    {
        SCOPED_TRACE (host.name);
        const auto input = testSignal (host.rate);
        const auto rendered = render (host, input);

        if (host.declines)
        {
            EXPECT_TRUE (rendered.output.empty());
            ASSERT_FALSE (rendered.log.empty()) << "declined without a word in the host's log";
            EXPECT_NE (rendered.log.front().find ("Brask Overdrive"), std::string::npos) << rendered.log.front();
            return;
        }

        ASSERT_FALSE (rendered.output.empty()) << "no instance; log: "
                                               << (rendered.log.empty() ? "" : rendered.log.front());
        const auto expected = reference (host, input);

        for (size_t channel = 0; channel < 2; ++channel)
        {
            size_t nans = 0, differing = 0;

            for (size_t i = 0; i < (size_t) inputLength; ++i)
            {
                nans += std::isnan (rendered.output[channel][i]) ? 1u : 0u;
                differing += rendered.output[channel][i] != expected[channel][i] ? 1u : 0u;
            }

            EXPECT_EQ (nans, 0u) << "channel " << channel;
            EXPECT_EQ (differing, 0u) << "channel " << channel << " differs from the processor's";
        }

        // And the pedal did something: the reference is not the input.
        EXPECT_NE (expected[0], input[0]);
    }

    std::vector<uint32_t> randomRuns()
    {
        std::mt19937 lengths (7);
        std::uniform_int_distribution<uint32_t> length (0, 3000);
        std::vector<uint32_t> runs;

        for (int i = 0; i < 40; ++i)
            runs.push_back (i % 5 == 0 ? 0 : length (lengths));

        return runs;
    }
}

//==============================================================================
TEST (Lv2Host, TheBundleIsFoundByItsUri)
{
    ASSERT_NE (world().plugin, nullptr) << "no plug-in " << pedalUri << " in LV2_PATH";
}

TEST (Lv2Host, EveryHostBehaviourGetsThePedalsOwnSound)
{
    ASSERT_NE (world().plugin, nullptr);

    const Behaviour hosts[] = {
        { "a host offering everything the wrapper wants (jalv, Ardour on JACK)" },
        { "a host without boundedBlockLength (Ardour on PipeWire)", true, true, false },
        { "a host without the options", true, false, false },
        { "a host with options but no maximum", true, true, true, std::nullopt },
        { "a host offering nothing, not even a map (lv2file, lv2apply)", false, false, false, std::nullopt, 48000.0, { 4096 } },
        { "a maximum of 0", true, true, true, 0 },
        { "a maximum of 1, runs of 300", true, true, true, 1, 48000.0, { 300 } },
        { "a maximum of 2^31 - 1, one run of everything", true, true, true, INT32_MAX, 48000.0, { (uint32_t) inputLength } },
        { "Audacity's 1,048,576 (8 bytes), runs of 20000", true, true, true, 1048576, 48000.0, { 20000 } },
        { "runs longer than the maximum (256)", true, true, true, 256, 48000.0, { 1000, 2048, 257 } },
        { "runs of random lengths, zero-length ones among them", true, true, true, 512, 48000.0, randomRuns() },
        { "runs of random lengths without a maximum", false, false, false, std::nullopt, 48000.0, randomRuns() },
        { "ports connected after activate", true, true, true, 512, 48000.0, { 512 }, true, false },
        { "atom ports never connected", true, true, true, 512, 48000.0, { 512 }, false },
        { "atom ports never connected, runs longer than the maximum", true, true, true, 256, 48000.0, { 5000 }, false },
        { "22050 Hz", true, true, true, 512, 22050.0 },
        { "44100 Hz", true, true, true, 512, 44100.0 },
        { "88200 Hz", true, true, true, 512, 88200.0 },
        { "96000 Hz", true, true, true, 512, 96000.0 },
        { "192000 Hz", true, true, true, 512, 192000.0 },
        { "a rate of 0 Hz is declined", true, true, true, 512, 0.0, { 512 }, true, true, true },
        { "a rate that is no number is declined", true, true, true, 512, std::nan (""), { 512 }, true, true, true },
    };

    for (const auto& host : hosts)
        expectTheProcessorsOutput (host);
}

TEST (Lv2Host, AZeroLengthRunChangesNothing)
{
    ASSERT_NE (world().plugin, nullptr);

    // Only zero-length runs between the real ones: the output is what the real ones alone make.
    Behaviour withZeros { "zero-length runs between runs of 512" };
    withZeros.runs = { 0, 512, 0, 0 };
    expectTheProcessorsOutput (withZeros);
}

namespace
{
    size_t residentBytes()
    {
        std::ifstream statm ("/proc/self/statm");
        size_t pages = 0, resident = 0;
        statm >> pages >> resident;
        return resident * (size_t) sysconf (_SC_PAGESIZE);
    }
}

TEST (Lv2Host, AHundredInstancesComeAndGoWithoutAGrowingFootprint)
{
    ASSERT_NE (world().plugin, nullptr);

    Behaviour host { "an instance made, run once and ended" };
    host.runs = { 512 };
    const auto input = testSignal (host.rate);

    const auto cycle = [&] {
        HostMap map;
        const LV2_Feature mapFeature { LV2_URID__map, &map.feature };
        const LV2_Feature* features[] = { &mapFeature, nullptr };
        auto* instance = lilv_plugin_instantiate (world().plugin, 48000.0, features);
        ASSERT_NE (instance, nullptr);
        std::vector<float> left (input[0].begin(), input[0].begin() + 512), right (input[1].begin(), input[1].begin() + 512);
        lilv_instance_connect_port (instance, 0, left.data());
        lilv_instance_connect_port (instance, 1, right.data());
        lilv_instance_connect_port (instance, 2, left.data());
        lilv_instance_connect_port (instance, 3, right.data());
        lilv_instance_activate (instance);
        lilv_instance_run (instance, 512);
        lilv_instance_deactivate (instance);
        lilv_instance_free (instance);
    };

    // The first cycles fill the framework's shared caches; after them, nothing may stay behind.
    for (int i = 0; i < 10; ++i)
        cycle();

    const auto before = residentBytes();

    for (int i = 0; i < 100; ++i)
        cycle();

    const auto grown = (double) residentBytes() - (double) before;
    EXPECT_LT (grown, 1024.0 * 1024.0) << "resident memory grew by " << grown / 1024.0 << " KiB over 100 instances";
}

TEST (Lv2Host, TwoInstancesMadeOnTwoThreadsAtOnceEachGetTheirOwnPedal)
{
    ASSERT_NE (world().plugin, nullptr);

    Behaviour host { "two instances on two threads" };
    host.runs = { 1000 };
    const auto input = testSignal (host.rate);
    const auto expected = reference (host, input);

    // The second gets a louder input: were the two to share a pedal, or swap them,
    // neither output would be its own.
    auto louder = input;
    for (auto& channel : louder)
        for (auto& sample : channel)
            sample *= 1.5f;
    const auto expectedLouder = reference (host, louder);

    Rendered first, second;
    std::thread a ([&] { first = render (host, input); });
    std::thread b ([&] { second = render (host, louder); });
    a.join();
    b.join();

    ASSERT_FALSE (first.output.empty());
    ASSERT_FALSE (second.output.empty());
    EXPECT_EQ (first.output, expected);
    EXPECT_EQ (second.output, expectedLouder);
}

//==============================================================================
namespace
{
    // The pedal's saved state as the plug-in hands it to a host: the value it stores.
    std::vector<uint8_t> savedState (LilvInstance* instance)
    {
        const auto* state = static_cast<const LV2_State_Interface*> (lilv_instance_get_extension_data (instance, LV2_STATE__interface));

        if (state == nullptr)
            return {};

        std::string stored;
        const auto store = [] (LV2_State_Handle handle, uint32_t, const void* value, size_t size, uint32_t, uint32_t) {
            static_cast<std::string*> (handle)->assign (static_cast<const char*> (value), size);
            return LV2_STATE_SUCCESS;
        };

        if (state->save (lilv_instance_get_handle (instance), store, &stored, 0, nullptr) != LV2_STATE_SUCCESS)
            return {};

        // The framework's wrapper keeps the blob as its own base64 text.
        juce::MemoryBlock block;
        block.fromBase64Encoding (juce::String (stored.c_str()));
        const auto* bytes = static_cast<const uint8_t*> (block.getData());
        return { bytes, bytes + block.getSize() };
    }

    std::vector<uint8_t> blobOf (float drive, float tone, float level, float effectOn)
    {
        std::vector<uint8_t> blob;

        for (const auto value : { drive, tone, level, effectOn })
        {
            uint32_t bits;
            std::memcpy (&bits, &value, sizeof (bits));

            for (int shift = 0; shift < 32; shift += 8)
                blob.push_back ((uint8_t) (bits >> shift));
        }

        return blob;
    }
}

TEST (Lv2Host, TheDefaultPresetBringsBackTheDefaultsAfterTheKnobsWereTurned)
{
    ASSERT_NE (world().plugin, nullptr);

    // Two kinds of host: one that applies a preset's port values and its state
    // (jalv, Ardour), and one that applies its state alone.
    for (const auto appliesPortValues : { true, false })
    {
        SCOPED_TRACE (appliesPortValues ? "a host applying port values and state" : "a host applying the state alone");
        HostMap map;
        const LV2_Feature mapFeature { LV2_URID__map, &map.feature };
        const LV2_Feature* features[] = { &mapFeature, nullptr };
        auto* instance = lilv_plugin_instantiate (world().plugin, 48000.0, features);
        ASSERT_NE (instance, nullptr);

        std::vector<float> left (512, 0.1f), right (512, 0.1f);
        float settings[] = { 0.5f, 0.5f, 0.5f, 1.0f };
        const char* symbols[] = { "drive", "tone", "level", "effectOn" };
        const auto firstSetting = lilv_plugin_get_num_ports (world().plugin) - 4;

        lilv_instance_connect_port (instance, 0, left.data());
        lilv_instance_connect_port (instance, 1, right.data());
        lilv_instance_connect_port (instance, 2, left.data());
        lilv_instance_connect_port (instance, 3, right.data());

        for (uint32_t setting = 0; setting < 4; ++setting)
            lilv_instance_connect_port (instance, firstSetting + setting, &settings[setting]);

        lilv_instance_activate (instance);

        // The user turns every knob and switches the pedal off.
        const float turned[] = { 0.9f, 0.2f, 0.7f, 0.0f };
        std::copy (std::begin (turned), std::end (turned), settings);
        lilv_instance_run (instance, 512);
        ASSERT_EQ (savedState (instance), blobOf (0.9f, 0.2f, 0.7f, 0.0f));

        // The bundle's own "Default" preset, found by its label among the pedal's presets.
        auto* presetClass = lilv_new_uri (world().world, LV2_PRESETS__Preset);
        auto* label = lilv_new_uri (world().world, LILV_NS_RDFS "label");
        auto* presets = lilv_plugin_get_related (world().plugin, presetClass);
        const LilvNode* preset = nullptr;

        LILV_FOREACH (nodes, i, presets)
        {
            const auto* candidate = lilv_nodes_get (presets, i);
            lilv_world_load_resource (world().world, candidate);
            auto* labels = lilv_world_find_nodes (world().world, candidate, label, nullptr);

            if (labels != nullptr && lilv_nodes_size (labels) > 0
                && std::string (lilv_node_as_string (lilv_nodes_get_first (labels))) == "Default")
                preset = candidate;

            lilv_nodes_free (labels);
        }

        ASSERT_NE (preset, nullptr) << "no preset labelled \"Default\"";
        auto* state = lilv_state_new_from_world (world().world, &map.feature, preset);
        ASSERT_NE (state, nullptr);

        struct PortValues
        {
            float* settings;
            const char** symbols;
            bool apply;
        } ports { settings, symbols, appliesPortValues };

        lilv_state_restore (
            state, instance, [] (const char* symbol, void* data, const void* value, uint32_t size, uint32_t) {
                auto& host = *static_cast<PortValues*> (data);

                for (int setting = 0; setting < 4; ++setting)
                    if (host.apply && size == sizeof (float) && std::string (symbol) == host.symbols[setting])
                        host.settings[setting] = *static_cast<const float*> (value);
            },
            &ports, 0, features);

        lilv_instance_run (instance, 512);
        EXPECT_EQ (savedState (instance), blobOf (0.5f, 0.5f, 0.5f, 1.0f)) << "the pedal's store is not at its defaults";

        if (appliesPortValues)
        {
            EXPECT_EQ (std::vector<float> (settings, settings + 4), (std::vector<float> { 0.5f, 0.5f, 0.5f, 1.0f }));
        }

        lilv_state_free (state);
        lilv_nodes_free (presets);
        lilv_node_free (label);
        lilv_node_free (presetClass);
        lilv_instance_deactivate (instance);
        lilv_instance_free (instance);
    }
}

//==============================================================================
TEST (Lv2Host, ADamagedSavedStateIsRefusedInTheLogAndTheSettingsStay)
{
    ASSERT_NE (world().plugin, nullptr);

    // What a host hands back from a session or a preset file that went wrong: the
    // framework's decoder would ask for gigabytes on some (and the host would
    // abort), quietly zero or drop bytes on others, or take garbage as settings.
    struct Case
    {
        const char* name;
        std::string text;
        bool isString = true;
        bool restores = false;
        std::optional<int32_t> program {};    // a program number instead of the text
        std::optional<std::string> later {};  // what the host hands over when asked again
    };

    const auto good = juce::MemoryBlock (blobOf (0.25f, 0.75f, 0.125f, 0.0f).data(), 16).toBase64Encoding().toStdString();
    const auto goodCharacters = good.substr (good.find ('.') + 1);
    const Case cases[] = {
        { "what the pedal saves", good, true, true },
        { "a short state (12 bytes)", juce::MemoryBlock (blobOf (0.25f, 0.75f, 0.125f, 0.0f).data(), 12).toBase64Encoding().toStdString(), true, true },
        { "a host that hands over another string when asked again", good, true, true, {}, "100000000." + goodCharacters },
        { "a negative size", "-1." + goodCharacters },
        { "a size of -16", "-16." + goodCharacters },
        { "a size beyond 32 bits signed", "2147483648." + goodCharacters },
        { "a size of three billion", "3000000000." + goodCharacters },
        { "a size with a sign", "+16." + goodCharacters },
        { "a size with spaces", " 16." + goodCharacters },
        { "no size", "." + goodCharacters },
        { "no dot", "16" },
        { "more characters than the size holds", "4." + goodCharacters },
        { "a string cut short", "16." + goodCharacters.substr (0, 5) },
        { "a size and no characters", "16." },
        { "a character outside the alphabet", "16." + goodCharacters.substr (1) + "=" },
        { "standard base64 instead", "16.AAAAPwAAAD8AAAA/AACAPw==" },
        { "an empty string", "" },
        { "not a string", good, false },
        { "a program the pedal does not have", "", true, false, 7 },
        { "a negative program", "", true, false, -1 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        HostMap map;
        HostLog log;
        const LV2_Feature mapFeature { LV2_URID__map, &map.feature };
        const LV2_Feature logFeature { LV2_LOG__log, &log.feature };
        const LV2_Feature* features[] = { &mapFeature, &logFeature, nullptr };
        auto* instance = lilv_plugin_instantiate (world().plugin, 48000.0, features);
        ASSERT_NE (instance, nullptr);

        const auto* state = static_cast<const LV2_State_Interface*> (lilv_instance_get_extension_data (instance, LV2_STATE__interface));
        ASSERT_NE (state, nullptr);

        struct Stored
        {
            const Case& held;
            LV2_URID textKey, programKey, type, intType;
            int calls = 0;
        } stored { c, map ((std::string (pedalUri) + ":StateString").c_str()), map ((std::string (pedalUri) + ":Program").c_str()),
                   map (c.isString ? LV2_ATOM__String : LV2_ATOM__Chunk), map (LV2_ATOM__Int) };

        const auto retrieve = [] (LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) -> const void* {
            auto& host = *static_cast<Stored*> (handle);
            *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;

            if (key == host.programKey && host.held.program)
            {
                *size = sizeof (int32_t);
                *type = host.intType;
                return &*host.held.program;
            }

            if (key != host.textKey || host.held.program)
                return nullptr;

            const auto& text = host.calls++ > 0 && host.held.later ? *host.held.later : host.held.text;
            *size = text.size() + 1;  // with its NUL, as the pedal stores it
            *type = host.type;
            return text.c_str();
        };

        const auto status = state->restore (lilv_instance_get_handle (instance), retrieve, &stored, 0, features);

        if (c.restores)
        {
            EXPECT_EQ (status, LV2_STATE_SUCCESS);
            EXPECT_TRUE (log.lines.empty());
            EXPECT_EQ (savedState (instance), blobOf (0.25f, 0.75f, 0.125f, 0.0f));
        }
        else
        {
            EXPECT_NE (status, LV2_STATE_SUCCESS);
            ASSERT_EQ (log.lines.size(), 1u);
            EXPECT_NE (log.lines.front().find ("Brask Overdrive: not restoring"), std::string::npos) << log.lines.front();
            EXPECT_EQ (savedState (instance), blobOf (0.5f, 0.5f, 0.5f, 1.0f)) << "the settings moved";
        }

        lilv_instance_free (instance);
    }

    // A host that hands over no retrieve function at all hears about it too.
    HostMap map;
    HostLog log;
    const LV2_Feature mapFeature { LV2_URID__map, &map.feature };
    const LV2_Feature logFeature { LV2_LOG__log, &log.feature };
    const LV2_Feature* features[] = { &mapFeature, &logFeature, nullptr };
    auto* instance = lilv_plugin_instantiate (world().plugin, 48000.0, features);
    ASSERT_NE (instance, nullptr);
    const auto* state = static_cast<const LV2_State_Interface*> (lilv_instance_get_extension_data (instance, LV2_STATE__interface));
    EXPECT_NE (state->restore (lilv_instance_get_handle (instance), nullptr, nullptr, 0, features), LV2_STATE_SUCCESS);
    EXPECT_EQ (log.lines.size(), 1u);
    EXPECT_EQ (savedState (instance), blobOf (0.5f, 0.5f, 0.5f, 1.0f));
    lilv_instance_free (instance);
}
