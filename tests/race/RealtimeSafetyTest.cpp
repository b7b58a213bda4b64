#include "plugin/BraskOverdriveAudioProcessor.h"
#include "plugin/PedalSettings.h"
#include "lv2/Lv2SettingPorts.h"

#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <random>
#include <new>
#include <string>
#include <vector>

// The audio thread must never allocate or take a lock: either can stall it behind
// the message thread or the allocator and make the pedal click. This program
// replaces the allocator and the mutex entry points with counting versions and
// watches every call of processBlock. It is a program of its own because those
// replacements are process-wide.

//==============================================================================
namespace
{
    thread_local bool watching = false;
    std::atomic<int> allocations { 0 };
    std::atomic<int> locks { 0 };

    void noteAllocation() noexcept
    {
        if (watching)
            ++allocations;
    }

    void noteLock() noexcept
    {
        if (watching)
            ++locks;
    }

    // Looked up on first use without a guarded static: the guard itself may lock.
    using MutexFunction = int (*) (pthread_mutex_t*);

    MutexFunction originalMutexFunction (std::atomic<MutexFunction>& slot, const char* name)
    {
        auto function = slot.load();

        if (function == nullptr)
        {
            function = reinterpret_cast<MutexFunction> (dlsym (RTLD_NEXT, name));
            slot.store (function);
        }

        return function;
    }

    std::atomic<MutexFunction> originalLock { nullptr }, originalTryLock { nullptr };
}

// glibc's own allocator stays underneath; only the counting is ours.
extern "C"
{
    void* __libc_malloc (size_t);
    void* __libc_calloc (size_t, size_t);
    void* __libc_realloc (void*, size_t);
    void* __libc_memalign (size_t, size_t);
    void __libc_free (void*);

    void* malloc (size_t size) noexcept
    {
        noteAllocation();
        return __libc_malloc (size);
    }
    void* calloc (size_t count, size_t size) noexcept
    {
        noteAllocation();
        return __libc_calloc (count, size);
    }
    void* realloc (void* block, size_t size) noexcept
    {
        noteAllocation();
        return __libc_realloc (block, size);
    }
    void* memalign (size_t alignment, size_t size) noexcept
    {
        noteAllocation();
        return __libc_memalign (alignment, size);
    }
    void* aligned_alloc (size_t alignment, size_t size) noexcept
    {
        noteAllocation();
        return __libc_memalign (alignment, size);
    }
    void free (void* block) noexcept { __libc_free (block); }

    int posix_memalign (void** result, size_t alignment, size_t size) noexcept
    {
        noteAllocation();
        *result = __libc_memalign (alignment, size);
        return *result != nullptr ? 0 : ENOMEM;
    }

    int pthread_mutex_lock (pthread_mutex_t* mutex) noexcept
    {
        noteLock();
        return originalMutexFunction (originalLock, "pthread_mutex_lock") (mutex);
    }

    int pthread_mutex_trylock (pthread_mutex_t* mutex) noexcept
    {
        noteLock();
        return originalMutexFunction (originalTryLock, "pthread_mutex_trylock") (mutex);
    }
}

// operator new reaches malloc in the C++ runtime, but a direct replacement makes
// the count independent of how the runtime was built.
void* operator new (size_t size)
{
    if (auto* block = malloc (size == 0 ? 1 : size))
        return block;

    throw std::bad_alloc();
}

void* operator new[] (size_t size) { return operator new (size); }
void* operator new (size_t size, const std::nothrow_t&) noexcept { return malloc (size == 0 ? 1 : size); }
void* operator new[] (size_t size, const std::nothrow_t&) noexcept { return malloc (size == 0 ? 1 : size); }
void operator delete (void* block) noexcept { free (block); }
void operator delete[] (void* block) noexcept { free (block); }
// <new> declares the sized forms only where the compiler enables sized deallocation.
#if ! __cpp_sized_deallocation
void operator delete (void* block, size_t) noexcept;
void operator delete[] (void* block, size_t) noexcept;
#endif
void operator delete (void* block, size_t) noexcept
{
    free (block);
}
void operator delete[] (void* block, size_t) noexcept { free (block); }

//==============================================================================
namespace
{
    struct Watched
    {
        int allocations = 0, locks = 0;
    };

    template <typename Action>
    Watched watch (Action&& action)
    {
        allocations = 0;
        locks = 0;
        watching = true;
        action();
        watching = false;
        return { allocations.load(), locks.load() };
    }

    void restore (BraskOverdriveAudioProcessor& processor, float drive, float tone, float level, bool on)
    {
        const auto bytes = PedalSettings { drive, tone, level, on }.toBytes();
        processor.setStateInformation (bytes.data(), (int) bytes.size());
    }

    void fill (juce::AudioBuffer<float>& buffer, int blockIndex)
    {
        for (int c = 0; c < buffer.getNumChannels(); ++c)
            for (int i = 0; i < buffer.getNumSamples(); ++i)
                buffer.setSample (c, i, 0.7f * std::sin (0.01f * (float) (blockIndex * buffer.getNumSamples() + i) * (float) (c + 1)));
    }

    /** A host's life with the pedal: everything done between blocks, on the
        message thread, is allowed to allocate; every processBlock is watched.
    */
    struct Host
    {
        BraskOverdriveAudioProcessor processor;
        juce::MidiBuffer midi;
        Watched worst;
        int blocksWatched = 0;

        void play (int numChannels, int numSamples, int blockIndex)
        {
            juce::AudioBuffer<float> buffer (numChannels, numSamples);
            fill (buffer, blockIndex);

            const auto seen = watch ([&] { processor.processBlock (buffer, midi); });
            worst.allocations = std::max (worst.allocations, seen.allocations);
            worst.locks = std::max (worst.locks, seen.locks);
            ++blocksWatched;
        }
    };
}

//==============================================================================
TEST (RealtimeSafety, TheWatchSeesAllocationsAndLocks)
{
    // Without this, a watch that saw nothing would pass every test below.
    const auto vector = watch ([] { std::vector<float> samples (64); samples[3] = 1.0f; });
    EXPECT_GE (vector.allocations, 1);

    const auto buffer = watch ([] { juce::AudioBuffer<float> samples (2, 64); samples.clear(); });
    EXPECT_GE (buffer.allocations, 1);

    juce::CriticalSection section;
    const auto lock = watch ([&] { const juce::ScopedLock scoped (section); });
    EXPECT_GE (lock.locks, 1);
}

TEST (RealtimeSafety, ProcessBlockNeitherAllocatesNorLocks)
{
    struct Case
    {
        const char* name;
        int preparedChannels;
        int preparedBlock;
        int blockChannels;
        std::vector<int> blockSizes;
    };

    const Case cases[] = {
        { "stereo, the promised block size", 2, 512, 2, { 512 } },
        { "stereo, shorter and empty blocks", 2, 512, 2, { 64, 1, 0, 511, 7 } },
        { "stereo, blocks longer than promised", 2, 64, 2, { 4096, 65, 1000 } },
        { "mono", 1, 256, 1, { 256, 13 } },
        { "more channels than prepared", 1, 256, 3, { 256, 100 } },
    };

    for (const auto& c : cases)
    {
        Host host;

        if (c.preparedChannels == 1)
        {
            juce::AudioProcessor::BusesLayout layout;
            layout.inputBuses.add (juce::AudioChannelSet::mono());
            layout.outputBuses.add (juce::AudioChannelSet::mono());
            ASSERT_TRUE (host.processor.setBusesLayout (layout)) << c.name;
        }

        // A host that plays before preparing.
        host.play (c.blockChannels, c.blockSizes.front(), 0);

        host.processor.prepareToPlay (48000.0, c.preparedBlock);

        for (int block = 1; block < 400; ++block)
        {
            // Between blocks the message thread turns knobs, stamps the footswitch,
            // and the host saves and reloads the project.
            switch (block % 9)
            {
                case 1: host.processor.setDrive ((float) (block % 11) / 10.0f); break;
                case 2: host.processor.setTone ((float) (block % 7) / 6.0f); break;
                case 3: host.processor.setLevel ((float) (block % 5) / 4.0f); break;
                case 4: host.processor.setEffectOn (false); break;
                case 5: host.processor.setEffectOn (true); break;
                case 6: restore (host.processor, 0.9f, 0.1f, 0.7f, true); break;
                case 7:
                {
                    juce::MemoryBlock saved;
                    host.processor.getStateInformation (saved);
                    break;
                }
                default: break;
            }

            // A later prepare at another rate, half way through.
            if (block == 200)
                host.processor.prepareToPlay (96000.0, c.preparedBlock);

            host.play (c.blockChannels, c.blockSizes[(size_t) block % c.blockSizes.size()], block);
        }

        EXPECT_EQ (host.blocksWatched, 400) << c.name;
        EXPECT_EQ (host.worst.allocations, 0) << c.name;
        EXPECT_EQ (host.worst.locks, 0) << c.name;
    }
}

TEST (RealtimeSafety, TheLv2SettingPortsNeitherAllocateNorLock)
{
    // The LV2 pedal applies the ports a host changed at the start of every run,
    // on the audio thread, before the block.
    Host host;
    host.processor.prepareToPlay (48000.0, 256);
    Lv2SettingPorts::Follower follower;
    Lv2SettingPorts::Values ports = Lv2SettingPorts::defaults;
    const std::array<const float*, Lv2SettingPorts::count> connected { &ports[0], &ports[1], &ports[2], &ports[3] };
    Watched worst;

    for (int block = 0; block < 200; ++block)
    {
        ports[(size_t) block % Lv2SettingPorts::count] = (float) (block % 13) / 12.0f;

        const auto seen = watch ([&] { follower.apply (host.processor, connected); });
        worst.allocations = std::max (worst.allocations, seen.allocations);
        worst.locks = std::max (worst.locks, seen.locks);
        host.play (2, 256, block);
    }

    // The ports did reach the pedal: it holds their last values.
    ASSERT_NE (ports, Lv2SettingPorts::defaults);
    EXPECT_EQ (Lv2SettingPorts::read (host.processor),
               (Lv2SettingPorts::Values { ports[0], ports[1], ports[2], ports[3] > 0.0f ? 1.0f : 0.0f }));
    EXPECT_EQ (worst.allocations, 0);
    EXPECT_EQ (worst.locks, 0);
    EXPECT_EQ (host.worst.allocations, 0);
    EXPECT_EQ (host.worst.locks, 0);
}

//==============================================================================
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juceInitialiser;
    return RUN_ALL_TESTS();
}

//==============================================================================
namespace
{
    /*  How a host hands the LV2 module its runs: lengths, in order, and whether it
        fills the atom input with events every run. Hosts shorten cycles at loop
        points, locates and split cycles, hand over empty runs, and offer no
        maximum at all: none of it may reach the allocator or a lock.
    */
    struct Schedule
    {
        const char* name;
        std::vector<uint32_t> runs;
        bool sendsEvents = false;
    };

    std::vector<Schedule> hostSchedules()
    {
        std::vector<Schedule> schedules;

        Schedule growing { "runs growing from 1 to 8192", {} };
        for (uint32_t length = 1; length <= 8192; length += 7)
            growing.runs.push_back (length);
        schedules.push_back (growing);

        std::mt19937 random (28);
        Schedule mixed { "random runs of 0 to 20000, empty ones among them", {} };
        for (int i = 0; i < 300; ++i)
            mixed.runs.push_back (i % 9 == 0 ? 0u : std::uniform_int_distribution<uint32_t> (1, 20000) (random));
        schedules.push_back (mixed);

        Schedule shortening { "cycles of 256, one in ten shortened", {} };
        for (int i = 0; i < 600; ++i)
            shortening.runs.push_back (i % 10 == 9 ? std::uniform_int_distribution<uint32_t> (1, 255) (random) : 256u);
        schedules.push_back (shortening);

        schedules.push_back ({ "cycles of 512 with the atom input full of events", std::vector<uint32_t> (200, 512u), true });
        return schedules;
    }

    struct Lv2Module
    {
        explicit Lv2Module (const char* path)
        {
            library = dlopen (path, RTLD_NOW | RTLD_LOCAL);

            if (library != nullptr)
                if (auto* entry = reinterpret_cast<const LV2_Descriptor* (*) (uint32_t)> (dlsym (library, "lv2_descriptor")))
                    descriptor = entry (0);
        }

        void* library = nullptr;
        const LV2_Descriptor* descriptor = nullptr;
    };
}

TEST (RealtimeSafety, TheLv2ModuleNeitherAllocatesNorLocksWhateverTheHostsRuns)
{
    const auto* path = std::getenv ("BRASK_LV2_MODULE");

    if (path == nullptr)
        GTEST_SKIP() << "BRASK_LV2_MODULE names no built LV2 module (this tree builds none)";

    static const Lv2Module module (path);
    ASSERT_NE (module.descriptor, nullptr) << dlerror();
    const auto* descriptor = module.descriptor;

    static std::map<std::string, LV2_URID> ids;
    LV2_URID_Map map { &ids, [] (LV2_URID_Map_Handle handle, const char* uri) {
                          auto& known = *static_cast<std::map<std::string, LV2_URID>*> (handle);
                          return known.emplace (uri, (LV2_URID) known.size() + 1).first->second;
                      } };
    const auto sequenceType = map.map (map.handle, LV2_ATOM__Sequence);
    const auto chunkType = map.map (map.handle, LV2_ATOM__Chunk);
    const auto intType = map.map (map.handle, LV2_ATOM__Int);

    for (const auto& schedule : hostSchedules())
    {
        SCOPED_TRACE (schedule.name);

        // The host offers a maximum of 256 whatever it then runs, as lv2file does.
        int32_t maximum = 256;
        const LV2_Options_Option options[] = {
            { LV2_OPTIONS_INSTANCE, 0, map.map (map.handle, LV2_BUF_SIZE__maxBlockLength), sizeof (maximum), intType, &maximum },
            { LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr },
        };
        const LV2_Feature mapFeature { LV2_URID__map, &map };
        const LV2_Feature optionsFeature { LV2_OPTIONS__options, const_cast<LV2_Options_Option*> (options) };
        const LV2_Feature* features[] = { &mapFeature, &optionsFeature, nullptr };

        auto* instance = descriptor->instantiate (descriptor, 48000.0, "", features);
        ASSERT_NE (instance, nullptr);

        const auto longest = *std::max_element (schedule.runs.begin(), schedule.runs.end());
        std::vector<float> inLeft (longest), inRight (longest), outLeft (longest), outRight (longest);
        std::vector<uint64_t> input (4096), output (1024);
        auto* in = reinterpret_cast<LV2_Atom_Sequence*> (input.data());
        auto* out = reinterpret_cast<LV2_Atom_Sequence*> (output.data());
        float latency = -1.0f, freeWheeling = 0.0f, enabled = 1.0f;

        descriptor->connect_port (instance, 0, inLeft.data());
        descriptor->connect_port (instance, 1, inRight.data());
        descriptor->connect_port (instance, 2, outLeft.data());
        descriptor->connect_port (instance, 3, outRight.data());
        descriptor->connect_port (instance, 4, in);
        descriptor->connect_port (instance, 5, out);
        descriptor->connect_port (instance, 6, &latency);
        descriptor->connect_port (instance, 7, &freeWheeling);
        descriptor->connect_port (instance, 8, &enabled);
        descriptor->activate (instance);

        Watched total;
        int64_t played = 0;
        float loudest = 0.0f;

        for (size_t turn = 0; turn < schedule.runs.size(); ++turn)
        {
            const auto length = schedule.runs[turn];

            for (uint32_t i = 0; i < length; ++i)
                inLeft[i] = inRight[i] = 0.5f * std::sin (0.01f * (float) (played + i));

            in->atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), sequenceType };
            in->body = { 0, 0 };

            for (int64_t frame = 0; schedule.sendsEvents && frame < (int64_t) length; frame += 16)
            {
                struct
                {
                    LV2_Atom_Event event;
                    int32_t body;
                } event { { { frame }, { sizeof (int32_t), intType } }, 1 };
                lv2_atom_sequence_append_event (in, (uint32_t) (input.size() * sizeof (uint64_t) - sizeof (LV2_Atom)), &event.event);
            }

            out->atom = { (uint32_t) (output.size() * sizeof (uint64_t) - sizeof (LV2_Atom)), chunkType };

            // A host toggles its free-wheeling and enabled ports now and then.
            freeWheeling = turn % 50 == 49 ? 1.0f : 0.0f;
            enabled = turn % 70 == 69 ? 0.0f : 1.0f;

            const auto seen = watch ([&] { descriptor->run (instance, length); });
            total.allocations += seen.allocations;
            total.locks += seen.locks;

            for (uint32_t i = 0; i < length; ++i)
                loudest = std::max (loudest, std::abs (outLeft[i] - inLeft[i]));

            played += length;
            EXPECT_EQ (latency, 0.0f);
            EXPECT_EQ (out->atom.type, sequenceType);
        }

        descriptor->deactivate (instance);
        descriptor->cleanup (instance);

        // The pedal played: the output is not the input.
        EXPECT_GT (loudest, 0.01f);
        EXPECT_EQ (total.allocations, 0) << "allocations in " << schedule.runs.size() << " runs";
        EXPECT_EQ (total.locks, 0) << "locks taken in " << schedule.runs.size() << " runs";
    }
}
