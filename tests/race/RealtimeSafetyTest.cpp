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

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
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

    void* malloc (size_t size) noexcept                          { noteAllocation(); return __libc_malloc (size); }
    void* calloc (size_t count, size_t size) noexcept            { noteAllocation(); return __libc_calloc (count, size); }
    void* realloc (void* block, size_t size) noexcept            { noteAllocation(); return __libc_realloc (block, size); }
    void* memalign (size_t alignment, size_t size) noexcept      { noteAllocation(); return __libc_memalign (alignment, size); }
    void* aligned_alloc (size_t alignment, size_t size) noexcept { noteAllocation(); return __libc_memalign (alignment, size); }
    void free (void* block) noexcept                             { __libc_free (block); }

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

void* operator new[] (size_t size)                                  { return operator new (size); }
void* operator new (size_t size, const std::nothrow_t&) noexcept    { return malloc (size == 0 ? 1 : size); }
void* operator new[] (size_t size, const std::nothrow_t&) noexcept  { return malloc (size == 0 ? 1 : size); }
void operator delete (void* block) noexcept                         { free (block); }
void operator delete[] (void* block) noexcept                       { free (block); }
// <new> declares the sized forms only where the compiler enables sized deallocation.
#if ! __cpp_sized_deallocation
void operator delete (void* block, size_t) noexcept;
void operator delete[] (void* block, size_t) noexcept;
#endif
void operator delete (void* block, size_t) noexcept                 { free (block); }
void operator delete[] (void* block, size_t) noexcept               { free (block); }

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
    struct Case { const char* name; int preparedChannels; int preparedBlock; int blockChannels; std::vector<int> blockSizes; };

    const Case cases[] = {
        { "stereo, the promised block size",   2, 512, 2, { 512 } },
        { "stereo, shorter and empty blocks",  2, 512, 2, { 64, 1, 0, 511, 7 } },
        { "stereo, blocks longer than promised", 2, 64, 2, { 4096, 65, 1000 } },
        { "mono",                              1, 256, 1, { 256, 13 } },
        { "more channels than prepared",       1, 256, 3, { 256, 100 } },
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
                case 7: { juce::MemoryBlock saved; host.processor.getStateInformation (saved); break; }
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
TEST (RealtimeSafety, TheLv2ModuleCutsALongRunWithoutAllocating)
{
    // A host that offers no maximum, or a small one, and runs far longer: the
    // module cuts each run into pieces on the audio thread, with the host's atom
    // events handed to each piece. Nothing of that may allocate. (Each piece takes
    // the framework wrapper's own callback lock, which only a host's
    // suspendProcessing would hold; the locks are not counted here.)
    //
    // The runs are whole multiples of the maximum: the framework's wrapper itself
    // allocates in a run longer than the one before it (it resizes its buffer
    // keeping the content, which JUCE 7.0.5 does by reallocating), so a host
    // whose runs vary in length, or a run cut with a shorter last piece, sets it off.
    const auto* module = std::getenv ("BRASK_LV2_MODULE");

    if (module == nullptr)
        GTEST_SKIP() << "BRASK_LV2_MODULE names no built LV2 module (this tree builds none)";

    auto* library = dlopen (module, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE (library, nullptr) << dlerror();
    using DescriptorFunction = const LV2_Descriptor* (*) (uint32_t);
    const auto* descriptor = reinterpret_cast<DescriptorFunction> (dlsym (library, "lv2_descriptor")) (0);
    ASSERT_NE (descriptor, nullptr);

    static std::map<std::string, LV2_URID> ids;
    LV2_URID_Map map { &ids, [] (LV2_URID_Map_Handle handle, const char* uri)
                       {
                           auto& known = *static_cast<std::map<std::string, LV2_URID>*> (handle);
                           return known.emplace (uri, (LV2_URID) known.size() + 1).first->second;
                       } };
    int32_t maximum = 256;
    const LV2_Options_Option options[] = {
        { LV2_OPTIONS_INSTANCE, 0, map.map (map.handle, LV2_BUF_SIZE__maxBlockLength), sizeof (maximum),
          map.map (map.handle, LV2_ATOM__Int), &maximum },
        { LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr },
    };
    const LV2_Feature mapFeature { LV2_URID__map, &map };
    const LV2_Feature optionsFeature { LV2_OPTIONS__options, const_cast<LV2_Options_Option*> (options) };
    const LV2_Feature* features[] = { &mapFeature, &optionsFeature, nullptr };

    auto* instance = descriptor->instantiate (descriptor, 48000.0, "", features);
    ASSERT_NE (instance, nullptr);

    constexpr uint32_t runLength = 20 * 256;
    std::vector<float> left (runLength), right (runLength);
    std::vector<uint64_t> input (512), output (1024);
    auto* in = reinterpret_cast<LV2_Atom_Sequence*> (input.data());
    auto* out = reinterpret_cast<LV2_Atom_Sequence*> (output.data());
    const auto sequenceType = map.map (map.handle, LV2_ATOM__Sequence);
    const auto intType = map.map (map.handle, LV2_ATOM__Int);

    descriptor->connect_port (instance, 0, left.data());
    descriptor->connect_port (instance, 1, right.data());
    descriptor->connect_port (instance, 2, left.data());
    descriptor->connect_port (instance, 3, right.data());
    descriptor->connect_port (instance, 4, in);
    descriptor->connect_port (instance, 5, out);
    descriptor->activate (instance);

    Watched worst;

    for (int run = 0; run < 20; ++run)
    {
        for (uint32_t i = 0; i < runLength; ++i)
            left[i] = right[i] = 0.5f * std::sin (0.01f * (float) (run * (int) runLength + (int) i));

        // A few events spread over the run, in every piece's range.
        in->atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), sequenceType };
        in->body = { 0, 0 };

        for (int64_t frame = 0; frame < runLength; frame += 700)
        {
            struct
            {
                LV2_Atom_Event event;
                int32_t body;
            } event { { { frame }, { sizeof (int32_t), intType } }, 1 };
            lv2_atom_sequence_append_event (in, (uint32_t) (input.size() * sizeof (uint64_t) - sizeof (LV2_Atom)), &event.event);
        }

        out->atom = { (uint32_t) (output.size() * sizeof (uint64_t) - sizeof (LV2_Atom)), map.map (map.handle, LV2_ATOM__Chunk) };

        const auto seen = watch ([&] { descriptor->run (instance, runLength); });
        worst.allocations = std::max (worst.allocations, seen.allocations);
    }

    descriptor->deactivate (instance);
    descriptor->cleanup (instance);

    // The pedal played: the output is not the input any more.
    EXPECT_NE (left[100], 0.5f * std::sin (0.01f * (float) (19 * (int) runLength + 100)));
    EXPECT_EQ (worst.allocations, 0);
}
