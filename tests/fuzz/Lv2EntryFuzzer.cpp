// An LV2 host reaches the pedal through lv2_descriptor alone: it makes an
// instance with whatever features it has, connects the ports in any order (and
// again, to other buffers: in place, shared, crosswise, or to none), activates
// and deactivates, runs any length including none, fills the atom input with
// whatever its other plug-ins and the transport put there, and saves and
// restores state from sessions and presets that may be damaged. This driver
// reads the fuzzer's bytes as such a host and checks, after every call, what the
// plug-in promises a host: no crash, no NaN or infinity it made itself, the
// latency port 0 after every run, a valid atom output, nothing written outside
// its output ports, and a refused state that changed nothing and was told to
// the host's log.
//
// The entry points are compiled into this program with the framework's LV2
// wrapper, as into the module (tests/fuzz/CMakeLists.txt says why).
//
// Input layout: one byte of how the host is made (`makeInstance`), then a
// sequence of calls, each one byte (the call) followed by its arguments; see
// `runOneCall`.

#include "FuzzSupport.h"
#include "lv2/Lv2SettingPorts.h"
#include "lv2/Lv2StateString.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <juce_gui_basics/juce_gui_basics.h>

#include <array>
#include <cstdarg>
#include <map>
#include <optional>
#include <string>

extern "C" const LV2_Descriptor* lv2_descriptor (uint32_t index);

using namespace brask::fuzz;

namespace
{
    //==============================================================================
    /** The host's URID map, one for the whole process as in any host. */
    struct UridMap
    {
        LV2_URID map (const char* uri)
        {
            return ids.emplace (uri, (LV2_URID) ids.size() + 1).first->second;
        }

        std::map<std::string, LV2_URID> ids;
        LV2_URID_Map feature { this, [] (LV2_URID_Map_Handle handle, const char* uri) { return static_cast<UridMap*> (handle)->map (uri); } };
    };

    UridMap& uridMap()
    {
        static UridMap map;
        return map;
    }

    LV2_URID urid (const char* uri)
    {
        return uridMap().map (uri);
    }

    //==============================================================================
    /** The host's log: counts the lines, so a refusal can be checked for its line. */
    struct HostLog
    {
        static int vprint (LV2_Log_Handle handle, LV2_URID, const char*, va_list)
        {
            ++static_cast<HostLog*> (handle)->lines;
            return 0;
        }

        static int print (LV2_Log_Handle handle, LV2_URID type, const char* format, ...)
        {
            va_list args;
            va_start (args, format);
            const auto result = vprint (handle, type, format, args);
            va_end (args);
            return result;
        }

        int lines = 0;
        LV2_Log_Log feature { this, print, vprint };
    };

    //==============================================================================
    /** The port layout the bundle declares: the wrapper's ports, then the settings. */
    struct Ports
    {
        uint32_t numInputs = 0, numOutputs = 0;

        uint32_t atomInput() const noexcept { return numInputs + numOutputs; }
        uint32_t atomOutput() const noexcept { return atomInput() + 1; }
        uint32_t latency() const noexcept { return atomInput() + 2; }
        uint32_t freeWheeling() const noexcept { return atomInput() + 3; }
        uint32_t enabled() const noexcept { return atomInput() + 4; }
        uint32_t firstSetting() const noexcept { return atomInput() + 5; }
        uint32_t count() const noexcept { return firstSetting() + Lv2SettingPorts::count; }

        bool isAudioInput (uint32_t port) const noexcept { return port < numInputs; }
        bool isAudioOutput (uint32_t port) const noexcept { return port >= numInputs && port < atomInput(); }
        bool isControlInput (uint32_t port) const noexcept { return port == freeWheeling() || port == enabled()
                                                                    || (port >= firstSetting() && port < count()); }
    };

    Ports& ports()
    {
        static Ports layout;
        return layout;
    }

    //==============================================================================
    const LV2_State_Interface& stateInterface()
    {
        static const auto* state = static_cast<const LV2_State_Interface*> (lv2_descriptor (0)->extension_data (LV2_STATE__interface));
        BRASK_FUZZ_CHECK (state != nullptr && state->save != nullptr && state->restore != nullptr,
                          "the plug-in offers no state interface");
        return *state;
    }

    /** One property as a host keeps it in a session or a preset. */
    struct Property
    {
        LV2_URID key = 0, type = 0;
        uint32_t flags = 0;
        std::vector<std::uint8_t> value;
    };

    using Properties = std::vector<Property>;

    /** Saves the instance's state and checks it is one the plug-in would restore. */
    std::string saveState (LV2_Handle instance)
    {
        Properties stored;
        const auto status = stateInterface().save (
            instance, [] (LV2_State_Handle handle, uint32_t key, const void* value, size_t size, uint32_t type, uint32_t flags) {
                const auto* bytes = static_cast<const std::uint8_t*> (value);
                static_cast<Properties*> (handle)->push_back ({ key, type, flags, { bytes, bytes + size } });
                return (LV2_State_Status) LV2_STATE_SUCCESS;
            },
            &stored, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, nullptr);

        BRASK_FUZZ_CHECK (status == LV2_STATE_SUCCESS, "saving the state failed with status %d", (int) status);

        const auto stateKey = urid (JucePlugin_LV2URI ":StateString");

        for (const auto& property : stored)
        {
            if (property.key != stateKey)
                continue;

            BRASK_FUZZ_CHECK (property.type == urid (LV2_ATOM__String), "the state was saved with type %u", property.type);
            const auto* problem = Lv2StateString::problemWith (property.value.data(), property.value.size());
            BRASK_FUZZ_CHECK (problem == nullptr, "the plug-in refuses the state it saved itself: %s", problem);
            return { property.value.begin(), property.value.end() };
        }

        BRASK_FUZZ_CHECK (false, "the saved state holds no state string (%zu properties)", stored.size());
        return {};
    }

    const void* retrieveFrom (LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags)
    {
        for (const auto& property : *static_cast<const Properties*> (handle))
        {
            if (property.key == key)
            {
                *size = property.value.size();
                *type = property.type;
                *flags = property.flags;
                return property.value.data();
            }
        }

        return nullptr;
    }

    //==============================================================================
    /** The damaged state strings hosts were seen to crash on, and their near relatives. */
    const char* const damagedStates[] = {
        "-1.AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
        "-16.AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
        "2147483648.AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
        "3000000000.AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
        "4294967296.A",
        "18446744073709551617.A",
        "+16.AAAAAAAAAAAAAAAAAAAAAA",
        " 16.AAAAAAAAAAAAAAAAAAAAAA",
        "16e9.AAAAAAAAAAAAAAAAAAAAA",
        "16.AAAA AAAA",
        "16.AAAA=AAAA",
        "1.AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
        "16",
        ".AAAA",
        "",
    };

    constexpr char stateAlphabet[] = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+";

    //==============================================================================
    /** Fills `numSamples` of a buffer with one of the signals a host might stream. */
    void fillSignal (float* samples, int numSamples, ByteReader& input)
    {
        const auto kind = input.byte() % 8;
        static const float amplitudes[] = { 1.0e-30f, 1.0e-6f, 0.1f, 0.5f, 1.0f, 4.0f, 1000.0f, 1.0e6f,
                                            std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min() };
        const auto amplitude = amplitudes[input.byte() % (sizeof (amplitudes) / sizeof (amplitudes[0]))];
        const auto period = 2 + (int) input.byte();
        auto noise = input.longWord() | 1u;

        for (int i = 0; i < numSamples; ++i)
        {
            noise ^= noise << 13;
            noise ^= noise >> 17;
            noise ^= noise << 5;
            const auto random = (float) ((double) noise / 4294967295.0 * 2.0 - 1.0);
            float x = 0.0f;

            switch (kind)
            {
                case 0: x = 0.0f; break;
                case 1: x = amplitude * (float) std::sin (2.0 * 3.141592653589793 * (double) i / period); break;
                case 2: x = amplitude * random; break;
                case 3: x = (i % 2 == 0) ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest(); break;
                case 4: x = (i % period == 0) ? amplitude : 0.0f; break;
                case 5: x = amplitude; break;
                case 6:
                    switch (noise % 11)
                    {
                        case 0: x = std::numeric_limits<float>::quiet_NaN(); break;
                        case 1: x = std::numeric_limits<float>::infinity(); break;
                        case 2: x = -std::numeric_limits<float>::infinity(); break;
                        default: x = random; break;
                    }
                    break;
                default: x = input.rawFloat(); break;
            }

            samples[i] = x;
        }
    }

    //==============================================================================
    /*  Buffers a host connects its ports to. Audio ports connect to one of a few
        buffers, so the fuzzer reaches in-place, shared and crosswise layouts; each
        buffer is its own exact allocation, so a read or write past the longest run
        lands in the sanitizer's red zone, and a few guard samples past each run's
        length show a write past the run.
    */
    constexpr int numAudioBuffers = 4;
    constexpr int numControlCells = 5;
    constexpr int guardSamples = 16;
    constexpr size_t atomInputBytes = 4096;
    constexpr size_t atomOutputBytes = 256;

    enum class HostCall
    {
        connect,
        activate,
        deactivate,
        run,
        setControl,
        fillAtomInput,
        save,
        restore,
        numCalls
    };

    // Enough audio per input for the ramps, fades and filters to move, few enough for many inputs a second.
    constexpr int sampleBudget = 1 << 18;

    //==============================================================================
    class Host final
    {
    public:
        explicit Host (ByteReader& bytes)
            : input (bytes)
        {
        }

        ~Host()
        {
            if (instance != nullptr)
            {
                if (active)
                    descriptor->deactivate (instance);

                descriptor->cleanup (instance);
            }
        }

        void run()
        {
            if (! makeInstance())
                return;

            while (! input.isExhausted())
                runOneCall ((HostCall) (input.byte() % (int) HostCall::numCalls));
        }

    private:
        bool makeInstance()
        {
            const auto choices = input.byte();
            static const double rates[] = { 44100.0, 48000.0, 96000.0, 8000.0, 192000.0, 384000.0, 22050.0, 1.0,
                                            0.0, -48000.0, std::numeric_limits<double>::quiet_NaN(),
                                            std::numeric_limits<double>::infinity(), 1.0e7, 1.0e12 };
            const auto rateChoice = input.byte();
            const auto rate = rateChoice < 200 ? rates[rateChoice % 7] : rates[rateChoice % (sizeof (rates) / sizeof (rates[0]))];

            // The options hosts offer: the maximum in the width each host sends it, or none at all.
            const auto maximumChoice = input.byte();
            const auto maximum = (int64_t) input.word() - 64;
            int32_t maximumInt = (int32_t) maximum;
            int64_t maximumLong = maximum;
            float maximumFloat = (float) maximum;
            std::vector<LV2_Options_Option> options;
            const auto maxKey = urid (LV2_BUF_SIZE__maxBlockLength);

            switch (maximumChoice % 5)
            {
                case 0: options.push_back ({ LV2_OPTIONS_INSTANCE, 0, maxKey, sizeof (maximumInt), urid (LV2_ATOM__Int), &maximumInt }); break;
                case 1: options.push_back ({ LV2_OPTIONS_INSTANCE, 0, maxKey, sizeof (maximumLong), urid (LV2_ATOM__Int), &maximumLong }); break;
                case 2: options.push_back ({ LV2_OPTIONS_INSTANCE, 0, maxKey, sizeof (maximumLong), urid (LV2_ATOM__Long), &maximumLong }); break;
                case 3: options.push_back ({ LV2_OPTIONS_INSTANCE, 0, maxKey, sizeof (maximumFloat), urid (LV2_ATOM__Float), &maximumFloat }); break;
                default: break;
            }

            options.push_back ({ LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr });

            const LV2_Feature mapFeature { LV2_URID__map, &uridMap().feature };
            const LV2_Feature logFeature { LV2_LOG__log, &log.feature };
            const LV2_Feature optionsFeature { LV2_OPTIONS__options, options.data() };
            const LV2_Feature bounded { LV2_BUF_SIZE__boundedBlockLength, nullptr };
            std::vector<const LV2_Feature*> features;

            if ((choices & 1) == 0)
                features.push_back (&mapFeature);
            hasLog = (choices & 2) == 0 && (choices & 0x80) == 0;
            if (hasLog)
                features.push_back (&logFeature);
            if ((choices & 4) == 0)
                features.push_back (&optionsFeature);
            if ((choices & 8) != 0)
                features.push_back (&bounded);
            features.push_back (nullptr);

            // The longest run this host will make: its buffers are that long.
            static const int longestRuns[] = { 256, 512, 1024, 64, 4096, 8192, 20000, 1 };
            longestRun = longestRuns[(choices >> 4) % 8];

            instance = descriptor->instantiate (descriptor, rate, "", (choices & 0x80) != 0 ? nullptr : features.data());

            if (! std::isfinite (rate) || rate < 1.0 || rate > 1.0e7)
            {
                BRASK_FUZZ_CHECK (instance == nullptr, "the plug-in made an instance at %g Hz", rate);
                return false;
            }

            BRASK_FUZZ_CHECK (instance != nullptr, "no instance at %g Hz (features 0x%02x)", rate, choices);

            for (auto& buffer : audio)
                buffer.assign ((size_t) longestRun + guardSamples, 0.0f);

            atomInput.assign (atomInputBytes / sizeof (uint64_t), 0);
            atomOutput.assign (atomOutputBytes / sizeof (uint64_t), 0);
            return true;
        }

        //==============================================================================
        void runOneCall (HostCall call)
        {
            switch (call)
            {
                case HostCall::connect: connect(); break;
                case HostCall::activate:
                    if (! active)
                    {
                        descriptor->activate (instance);
                        active = true;
                    }
                    break;
                case HostCall::deactivate:
                    if (active)
                    {
                        descriptor->deactivate (instance);
                        active = false;
                    }
                    break;
                case HostCall::run:
                    if (active)
                        runOnce();
                    break;
                case HostCall::setControl: controls[input.byte() % numControlCells] = input.knobValue(); break;
                case HostCall::fillAtomInput: fillAtomInput(); break;
                case HostCall::save: lastSaved = saveState (instance); break;
                case HostCall::restore: restore(); break;
                case HostCall::numCalls: break;
            }
        }

        /** Connects a port, any port the bundle declares or one past them, to a buffer of its kind or to none. */
        void connect()
        {
            const auto& layout = ports();
            const auto port = (uint32_t) (input.byte() % (layout.count() + 2));
            const auto target = input.byte();
            void* data = nullptr;

            if (target != 0)
            {
                if (layout.isAudioInput (port) || layout.isAudioOutput (port))
                    data = audio[target % numAudioBuffers].data();
                else if (port == layout.atomInput())
                    data = atomInput.data();
                else if (port == layout.atomOutput())
                    data = atomOutput.data();
                else if (port == layout.latency())
                    data = &latencyCell;
                else if (layout.isControlInput (port))
                    data = &controls[target % numControlCells];
                else
                    data = &latencyCell;  // beyond the declared ports: the plug-in must ignore it
            }

            descriptor->connect_port (instance, port, data);

            if (port < connections.size())
                connections[port] = data;
        }

        /** Writes a sequence of events of any type and size, or any bytes at all, into the atom input. */
        void fillAtomInput()
        {
            auto* bytes = reinterpret_cast<std::uint8_t*> (atomInput.data());

            if (input.byte() % 4 == 0)
            {
                const auto raw = input.bytes (atomInputBytes);
                std::copy (raw.begin(), raw.end(), bytes);
                return;
            }

            const LV2_URID types[] = { urid (LV2_MIDI__MidiEvent), urid (LV2_ATOM__Object), urid (LV2_TIME__Position),
                                       urid (LV2_ATOM__Int), urid (LV2_ATOM__Chunk), urid (LV2_ATOM__Sequence),
                                       urid (LV2_ATOM__String), 0, 0xffffffffu };
            constexpr auto numTypes = sizeof (types) / sizeof (types[0]);

            auto* sequence = reinterpret_cast<LV2_Atom_Sequence*> (bytes);
            sequence->atom.type = urid (LV2_ATOM__Sequence);
            sequence->body.unit = 0;
            sequence->body.pad = 0;
            size_t used = sizeof (LV2_Atom_Sequence_Body);
            const auto numEvents = input.byte() % 32;

            for (int i = 0; i < numEvents; ++i)
            {
                const auto size = (uint32_t) (input.word() % 512);
                const auto needed = sizeof (LV2_Atom_Event) + lv2_atom_pad_size (size);

                if (sizeof (LV2_Atom) + used + needed > atomInputBytes)
                    break;

                auto* event = reinterpret_cast<LV2_Atom_Event*> (bytes + sizeof (LV2_Atom) + used);
                event->time.frames = (int64_t) input.word() - 4096;
                event->body.size = size;
                event->body.type = input.byte() < 240 ? types[input.byte() % numTypes] : input.longWord();
                const auto payload = input.bytes (size);
                std::copy (payload.begin(), payload.end(), reinterpret_cast<std::uint8_t*> (event + 1));
                used += needed;
            }

            sequence->atom.size = (uint32_t) used;
        }

        //==============================================================================
        void runOnce()
        {
            const auto lengthChoice = input.byte();
            const auto amount = (int) input.word();
            int length = 0;

            switch (lengthChoice % 5)
            {
                case 0: length = 0; break;
                case 1: length = longestRun; break;
                case 2: length = 1; break;
                default: length = amount % (longestRun + 1); break;
            }

            length = juce::jmin (length, samplesLeft);
            samplesLeft -= juce::jmax (length, 1);

            if (samplesLeft <= 0)
                return;

            // What the host puts in every buffer, and what the outputs must leave alone.
            std::array<std::vector<float>, numAudioBuffers> before;

            for (int b = 0; b < numAudioBuffers; ++b)
            {
                fillSignal (audio[(size_t) b].data(), length, input);
                fillSignal (audio[(size_t) b].data() + length, guardSamples, input);
                before[(size_t) b].assign (audio[(size_t) b].begin(), audio[(size_t) b].begin() + length + guardSamples);
            }

            const auto atomInputBefore = atomInput;

            // The host tells the plug-in the atom output's capacity before each run.
            static const uint32_t capacities[] = { 0, 4, 8, 9, 16, 64, (uint32_t) (atomOutputBytes - sizeof (LV2_Atom)) };
            const auto capacity = capacities[input.byte() % (sizeof (capacities) / sizeof (capacities[0]))];
            std::fill (atomOutput.begin(), atomOutput.end(), 0xa5a5a5a5a5a5a5a5ull);
            auto* output = reinterpret_cast<LV2_Atom_Sequence*> (atomOutput.data());
            output->atom.size = capacity;
            output->atom.type = 0;
            const auto atomOutputBefore = atomOutput;

            latencyCell = std::numeric_limits<float>::quiet_NaN();

            descriptor->run (instance, (uint32_t) length);

            const auto& layout = ports();

            if (connections[layout.latency()] == &latencyCell)
                BRASK_FUZZ_CHECK (bitsOf (latencyCell) == bitsOf (0.0f), "the latency port reads %g after a run of %d",
                                  (double) latencyCell, length);

            checkAudio (length, before);
            checkAtomOutput (capacity, atomOutputBefore);

            BRASK_FUZZ_CHECK (atomInput == atomInputBefore, "the plug-in wrote into its atom input");
        }

        /** A sample the plug-in made is finite unless a host input at that instant was not;
            nothing is written but the run's length of the connected outputs.
        */
        void checkAudio (int length, const std::array<std::vector<float>, numAudioBuffers>& before) const
        {
            const auto& layout = ports();

            for (int b = 0; b < numAudioBuffers; ++b)
            {
                const auto& buffer = audio[(size_t) b];
                auto isOutput = false;

                for (auto port = layout.numInputs; port < layout.atomInput(); ++port)
                    isOutput = isOutput || connections[port] == buffer.data();

                const auto untouchedFrom = isOutput ? length : 0;

                for (int i = untouchedFrom; i < length + guardSamples; ++i)
                    BRASK_FUZZ_CHECK (bitsOf (buffer[(size_t) i]) == bitsOf (before[(size_t) b][(size_t) i]),
                                      "sample %d of a buffer the plug-in may not write there changed (run of %d)", i, length);

                if (! isOutput)
                    continue;

                for (int i = 0; i < length; ++i)
                {
                    if (std::isfinite (buffer[(size_t) i]))
                        continue;

                    auto inputWasNonFinite = false;

                    for (uint32_t port = 0; port < layout.numInputs; ++port)
                        for (int other = 0; other < numAudioBuffers; ++other)
                            if (connections[port] == audio[(size_t) other].data())
                                inputWasNonFinite = inputWasNonFinite || ! std::isfinite (before[(size_t) other][(size_t) i]);

                    BRASK_FUZZ_CHECK (inputWasNonFinite, "sample %d of %d came out as %g from finite input",
                                      i, length, (double) buffer[(size_t) i]);
                }
            }
        }

        /** The atom output is a sequence within the capacity the host gave, and nothing past it changed. */
        void checkAtomOutput (uint32_t capacity, const std::vector<uint64_t>& before) const
        {
            if (connections[ports().atomOutput()] != atomOutput.data())
                return;

            const auto* bytes = reinterpret_cast<const std::uint8_t*> (atomOutput.data());
            const auto* bytesBefore = reinterpret_cast<const std::uint8_t*> (before.data());

            for (size_t i = sizeof (LV2_Atom) + capacity; i < atomOutputBytes; ++i)
                BRASK_FUZZ_CHECK (bytes[i] == bytesBefore[i], "byte %zu of the atom output, past its capacity of %u, changed",
                                  i, capacity);

            // Too small for a sequence: nothing can be written, and nothing may be claimed.
            if (capacity < sizeof (LV2_Atom_Sequence_Body))
                return;

            const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*> (atomOutput.data());
            BRASK_FUZZ_CHECK (sequence->atom.type == urid (LV2_ATOM__Sequence), "the atom output's type is %u", sequence->atom.type);
            BRASK_FUZZ_CHECK (sequence->atom.size >= sizeof (LV2_Atom_Sequence_Body) && sequence->atom.size <= capacity,
                              "the atom output claims %u bytes of a capacity of %u", sequence->atom.size, capacity);

            const auto* end = bytes + sizeof (LV2_Atom) + sequence->atom.size;

            LV2_ATOM_SEQUENCE_FOREACH (sequence, event)
            {
                const auto* eventEnd = reinterpret_cast<const std::uint8_t*> (event + 1) + event->body.size;
                BRASK_FUZZ_CHECK (eventEnd <= end, "an event of the atom output runs past the sequence");
            }
        }

        //==============================================================================
        void restore()
        {
            const auto stateKey = urid (JucePlugin_LV2URI ":StateString");
            const auto programKey = urid (JucePlugin_LV2URI ":Program");
            const auto stringType = urid (LV2_ATOM__String);
            const auto choice = input.byte();
            Properties session;
            std::optional<std::string> wellFormed;

            const auto asBytes = [] (const std::string& text, bool withNul) {
                std::vector<std::uint8_t> bytes (text.begin(), text.end());

                if (withNul)
                    bytes.push_back (0);

                return bytes;
            };

            // The low bits choose what the session holds, the top two how it holds it.
            switch ((choice & 0x0f) % 6)
            {
                case 0:
                {
                    // The session as it was saved (or as the plug-in saves it now).
                    const auto saved = lastSaved.has_value() ? *lastSaved : saveState (instance);
                    session.push_back ({ stateKey, stringType, LV2_STATE_IS_POD, asBytes (saved, false) });
                    wellFormed = saved;
                    break;
                }

                case 1:
                {
                    const auto& damaged = damagedStates[input.byte() % (sizeof (damagedStates) / sizeof (damagedStates[0]))];
                    session.push_back ({ stateKey, stringType, LV2_STATE_IS_POD, asBytes (damaged, (choice & 0x40) != 0) });
                    break;
                }

                case 2:
                {
                    // A count and characters of the framework's alphabet, in any proportion.
                    auto text = std::to_string ((choice & 0x80) != 0 ? (int64_t) (int32_t) input.longWord()
                                                                     : (int64_t) (input.word() % 64));
                    text += '.';

                    for (auto n = input.byte() % 64; n > 0; --n)
                        text += stateAlphabet[input.byte() % (sizeof (stateAlphabet) - 1)];

                    session.push_back ({ stateKey, stringType, LV2_STATE_IS_POD, asBytes (text, (choice & 0x40) != 0) });
                    break;
                }

                case 3:
                {
                    // Any bytes, of any type.
                    const auto type = input.byte() < 128 ? stringType : input.longWord();
                    session.push_back ({ stateKey, type, LV2_STATE_IS_POD, input.bytes (input.byte()) });
                    break;
                }

                case 4:
                {
                    // The bundle's preset: a program number, well-formed or not, with or without a state.
                    int32_t program = (int32_t) input.longWord();
                    std::vector<std::uint8_t> bytes ((const std::uint8_t*) &program, (const std::uint8_t*) &program + 4);
                    const auto type = (choice & 0x40) != 0 ? urid (LV2_ATOM__Int) : urid (LV2_ATOM__Long);
                    bytes.resize ((choice & 0x80) != 0 ? 4 : input.byte() % 9);
                    session.push_back ({ programKey, type, LV2_STATE_IS_POD, bytes });

                    if (input.byte() % 2 == 0)
                        session.push_back ({ stateKey, stringType, LV2_STATE_IS_POD, asBytes (saveState (instance), true) });

                    break;
                }

                default:
                    // A session that holds nothing of this plug-in.
                    session.push_back ({ urid ("urn:brask:fuzz:other"), stringType, 0, asBytes ("16.AAAAAAAAAAAAAAAAAAAAAA", true) });
                    break;
            }

            const auto settingsBefore = saveState (instance);
            const auto linesBefore = log.lines;

            const auto status = stateInterface().restore (instance, retrieveFrom, &session, 0, nullptr);
            const auto settingsAfter = saveState (instance);

            if (status != LV2_STATE_SUCCESS)
            {
                BRASK_FUZZ_CHECK (settingsAfter == settingsBefore, "a refused state (status %d) changed the settings",
                                  (int) status);

                if (hasLog)
                    BRASK_FUZZ_CHECK (log.lines > linesBefore, "a refused state (status %d) was not told to the host's log",
                                      (int) status);
            }

            if (wellFormed.has_value())
                BRASK_FUZZ_CHECK (status == LV2_STATE_SUCCESS && settingsAfter == *wellFormed,
                                  "a state the plug-in saved does not restore as itself (status %d)", (int) status);
        }

        //==============================================================================
        ByteReader& input;
        const LV2_Descriptor* descriptor = lv2_descriptor (0);
        LV2_Handle instance = nullptr;
        bool active = false;
        HostLog log;
        bool hasLog = false;

        int longestRun = 0;
        int samplesLeft = sampleBudget;
        std::array<std::vector<float>, numAudioBuffers> audio;
        std::vector<uint64_t> atomInput, atomOutput;
        std::array<float, numControlCells> controls { 0.5f, 0.5f, 0.5f, 1.0f, 1.0f };
        float latencyCell = 0.0f;
        std::vector<void*> connections = std::vector<void*> (ports().count() + 2, nullptr);
        std::optional<std::string> lastSaved;
    };
}

//==============================================================================
extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    const auto* descriptor = lv2_descriptor (0);
    BRASK_FUZZ_CHECK (descriptor != nullptr, "lv2_descriptor (0) gives nothing");

    {
        BraskOverdriveAudioProcessor pedal;
        ports().numInputs = (uint32_t) pedal.getTotalNumInputChannels();
        ports().numOutputs = (uint32_t) pedal.getTotalNumOutputChannels();
        BRASK_FUZZ_CHECK (ports().firstSetting() == Lv2SettingPorts::firstIndex (pedal),
                          "the setting ports start at %u, not %u", Lv2SettingPorts::firstIndex (pedal), ports().firstSetting());
    }

    // Every instance starts the framework's message thread, and the last one to go
    // stops it: one instance kept for the whole process, as another of the pedal
    // in the host's session would be, keeps the thread running between inputs.
    const LV2_Feature mapFeature { LV2_URID__map, &uridMap().feature };
    const LV2_Feature* features[] = { &mapFeature, nullptr };
    static auto* keeper = descriptor->instantiate (descriptor, 48000.0, "", features);
    BRASK_FUZZ_CHECK (keeper != nullptr, "no instance at 48 kHz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
    ByteReader input (data, size);
    Host host (input);
    host.run();
    return 0;
}
