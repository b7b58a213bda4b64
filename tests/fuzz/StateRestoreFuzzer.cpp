// A saved project is whatever bytes the host kept: an older version's state, a
// truncated file, another plug-in's data pasted by mistake. This driver restores
// any such bytes into a pedal that is playing and checks that it keeps playing
// finite audio and from then on saves a sane sixteen-byte setting.
//
// Input layout: one byte of host choices, then the bytes handed to the pedal.
//   bit 0    restore before the first prepare (otherwise between blocks)
//   bit 1    hand over a null pointer (size 0, or the real size when bit 2 is set)
//   bit 2    with bit 1: a null pointer with a non-zero size
//   bit 3    claim a negative size
//   bits 4-7 bytes the host already holds in the block the pedal saves into

#include "FuzzSupport.h"

#include <juce_gui_basics/juce_gui_basics.h>

using namespace brask::fuzz;

namespace
{
    void play (BraskOverdriveAudioProcessor& processor, HostBlock& block, ByteReader& signal, int numBlocks)
    {
        for (int i = 0; i < numBlocks; ++i)
        {
            block.fill (signal);
            auto buffer = block.asBuffer();
            juce::MidiBuffer midi;
            processor.processBlock (buffer, midi);
            block.checkOutput ("after a restore");
        }
    }
}

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    // The framework's singletons, as inside any host; alive until the process ends.
    static auto* framework = new juce::ScopedJuceInitialiser_GUI();
    juce::ignoreUnused (framework);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
    ByteReader input (data, size);
    const auto choices = input.byte();
    const auto blob = input.bytes (1 << 16);

    const auto restoreBeforePrepare = (choices & 1) != 0;
    const auto prefixLength = (size_t) (choices >> 4);

    const void* pointer = blob.data();
    auto claimedSize = (int) blob.size();

    if ((choices & 2) != 0)
    {
        pointer = nullptr;
        claimedSize = (choices & 4) != 0 ? claimedSize : 0;
    }

    if ((choices & 8) != 0)
        claimedSize = -1 - claimedSize;

    // The signal is made from the blob's own bytes, so the same input always plays the same.
    ByteReader signal (blob.data(), blob.size());
    HostBlock block;
    block.resize (2, 512);

    BraskOverdriveAudioProcessor processor;

    if (restoreBeforePrepare)
        processor.setStateInformation (pointer, claimedSize);

    processor.prepareToPlay (48000.0, 512);
    play (processor, block, signal, 2);

    if (! restoreBeforePrepare)
        processor.setStateInformation (pointer, claimedSize);

    checkChainFollowsKnobs (processor, 48000.0);
    play (processor, block, signal, 6);

    const auto saved = saveAndCheck (processor, prefixLength);

    // What the pedal saved must come back as itself: restoring it into a fresh
    // pedal, or again into this one, saves the very same bytes.
    const auto* savedState = static_cast<const char*> (saved.getData()) + prefixLength;
    BraskOverdriveAudioProcessor reloaded;
    reloaded.setStateInformation (savedState, 16);
    processor.setStateInformation (savedState, 16);

    for (auto* pedal : { &reloaded, &processor })
    {
        const auto again = saveAndCheck (*pedal, 0);
        BRASK_FUZZ_CHECK (std::memcmp (again.getData(), savedState, 16) == 0,
                          "a saved setting does not reload as itself");
    }

    return 0;
}
