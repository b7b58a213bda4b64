#include "plugin/BraskOverdriveAudioProcessor.h"
#include "plugin/PedalSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// A knob turned on the message thread while the host restores a project on
// another: whichever lands last, once both calls have returned the chain must
// play exactly what the store holds. Every value involved is an atomic, so no
// sanitizer can see a fault here; only comparing the two after each round can.

namespace
{
    juce::MemoryBlock savedStateOf (float drive, float tone, float level)
    {
        const auto bytes = PedalSettings { drive, tone, level, true }.toBytes();
        return { bytes.data(), bytes.size() };
    }

    // Lets a thread wait for the next round without sleeping through it.
    void waitFor (const std::atomic<int>& counter, int target)
    {
        // Spinning keeps both sides close in time; yielding only once the other side has
        // evidently lost its core keeps a busy machine from stalling.
        for (int spins = 0; counter.load() < target; ++spins)
            if (spins > 100000)
                std::this_thread::yield();
    }

    // Holds one side back a little, by a different amount each round, so that the
    // two sweep across each other: negative holds the user, positive the host.
    int headStartOf (int round)
    {
        return (round * 37) % 8001 - 4000;
    }

    void holdBack (int iterations)
    {
        for (volatile int spin = 0; spin < iterations; ++spin)
        {
        }
    }
}

TEST (KnobsAgainstRestores, WhateverTheInterleavingTheChainPlaysWhatTheStoreHolds)
{
    constexpr int rounds = 20000;

    BraskOverdriveAudioProcessor processor;
    const juce::MemoryBlock projects[] = { savedStateOf (0.915f, 0.115f, 0.805f), savedStateOf (0.055f, 0.955f, 0.155f) };

    // Each round both sides arrive, act at once, finish, and the user's side checks.
    std::atomic<int> arrived { 0 }, finished { 0 }, checked { 0 };

    // The host: a project restored.
    std::thread host ([&] {
        for (int r = 1; r <= rounds; ++r)
        {
            waitFor (checked, r - 1);
            ++arrived;
            waitFor (arrived, 2 * r);
            holdBack (headStartOf (r));

            const auto& project = projects[r % 2];
            processor.setStateInformation (project.getData(), (int) project.getSize());
            ++finished;
        }
    });

    // The user: three knobs turned to a position of this round's own.
    int disagreeingRounds = 0, firstDisagreement = 0, knobLandedLast = 0, restoreLandedLast = 0;
    juce::String firstReport;

    for (int r = 1; r <= rounds; ++r)
    {
        ++arrived;
        waitFor (arrived, 2 * r);
        holdBack (-headStartOf (r));

        const auto position = (float) (r % 97) / 100.0f;
        processor.setDrive (position);
        processor.setTone (position);
        processor.setLevel (position);
        ++finished;

        waitFor (finished, 2 * r);

        const auto drive = processor.drive.load(), tone = processor.tone.load(), level = processor.level.load();
        knobLandedLast += drive == position ? 1 : 0;
        restoreLandedLast += (drive == 0.915f || drive == 0.055f) ? 1 : 0;

        const auto agrees = processor.getDriveGain() == BraskOverdriveAudioProcessor::driveGainFor (drive)
                            && processor.getToneCutoffHz() == BraskOverdriveAudioProcessor::toneCutoffFor (tone)
                            && processor.getLevelGain() == BraskOverdriveAudioProcessor::levelGainFor (level);

        if (! agrees && disagreeingRounds++ == 0)
        {
            firstDisagreement = r;
            firstReport << "store " << drive << " / " << tone << " / " << level
                        << ", chain plays drive gain " << processor.getDriveGain()
                        << ", tone " << processor.getToneCutoffHz() << " Hz, level gain " << processor.getLevelGain();
        }

        ++checked;
    }

    host.join();

    // Something happened: the two sides met every round. Which of them came last is
    // up to the machine's scheduler; the report says how often each did.
    EXPECT_EQ (finished.load(), 2 * rounds);
    EXPECT_EQ (disagreeingRounds, 0) << disagreeingRounds << " of " << rounds << " rounds ended with the chain out of step, the first after round "
                                     << firstDisagreement << ": " << firstReport << " (the knobs came last in " << knobLandedLast
                                     << " rounds, the restore in " << restoreLandedLast << ")";
}
