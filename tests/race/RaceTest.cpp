#include "plugin/BraskOverdriveAudioProcessor.h"
#include "plugin/PedalSettings.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

// A pedal in a busy host: the audio thread plays blocks while the message thread
// turns the knobs and stamps the footswitch, and a third thread saves and
// reloads the project, all at once. Built with ThreadSanitizer (scripts/test-tsan),
// any data race between them stops the program with a report and a failing exit
// code; in every build it checks that the output stays finite and that, once
// all three have stopped, the chain plays exactly what the store holds.

namespace
{
    // The audio thread plays at least this many blocks, and goes on until the other
    // two threads have done enough of their own work for the three to overlap.
    constexpr int minimumBlocks = 6000;
    constexpr int maximumBlocks = 2000000;
    constexpr int minimumTurns = 2000;
    constexpr int minimumReloads = 500;
    constexpr int blockSize = 128;

    juce::MemoryBlock stateOf (float drive, float tone, float level, bool on)
    {
        const auto bytes = PedalSettings { drive, tone, level, on }.toBytes();
        return { bytes.data(), bytes.size() };
    }
}

int main()
{
    BraskOverdriveAudioProcessor processor;
    processor.prepareToPlay (48000.0, blockSize);

    std::atomic<bool> playing { true };
    std::atomic<int> blocksPlayed { 0 }, turns { 0 }, reloads { 0 }, nonFiniteSamples { 0 };

    std::thread audioThread ([&] {
        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;

        for (int block = 0; block < maximumBlocks && (block < minimumBlocks || turns < minimumTurns || reloads < minimumReloads); ++block)
        {
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < blockSize; ++i)
                    buffer.setSample (c, i, 0.8f * std::sin (0.003f * (float) ((block * blockSize + i) * (c + 2))));

            processor.processBlock (buffer, midi);

            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < blockSize; ++i)
                    if (! std::isfinite (buffer.getSample (c, i)))
                        ++nonFiniteSamples;

            ++blocksPlayed;
        }

        playing = false;
    });

    std::thread stateThread ([&] {
        const auto reloaded = stateOf (0.3f, 0.8f, 0.6f, true);

        while (playing)
        {
            juce::MemoryBlock saved;
            processor.getStateInformation (saved);
            processor.setStateInformation (reloaded.getData(), (int) reloaded.getSize());
            processor.setStateInformation (saved.getData(), (int) saved.getSize());
            ++reloads;
            std::this_thread::yield();
        }
    });

    // The message thread: the user at the pedal.
    float sink = 0.0f;

    while (playing)
    {
        const auto position = (float) (turns % 101) / 100.0f;
        processor.setDrive (position);
        processor.setTone (1.0f - position);
        processor.setLevel (0.25f + 0.5f * position);

        if (turns % 7 == 0)
            processor.setEffectOn (! processor.effectOn.load());

        // What the panel reads back to draw the knobs.
        sink += processor.drive.load() + processor.getDriveGain() + processor.getToneCutoffHz() + processor.getLevelGain();
        ++turns;
        std::this_thread::yield();
    }

    audioThread.join();
    stateThread.join();

    std::printf ("race check: %d blocks played while the knobs turned %d times and the project was reloaded %d times\n",
                 blocksPlayed.load(), turns.load(), reloads.load());

    if (turns < minimumTurns || reloads < minimumReloads)
    {
        std::printf ("race check: the threads did not overlap enough\n");
        return 1;
    }

    if (nonFiniteSamples > 0 || ! std::isfinite (sink))
    {
        std::printf ("race check: %d samples came out non-finite\n", nonFiniteSamples.load());
        return 1;
    }

    // Whoever came last, the knobs or the reload, the chain now plays what the store holds.
    const auto drive = processor.drive.load(), tone = processor.tone.load(), level = processor.level.load();

    if (processor.getDriveGain() != BraskOverdriveAudioProcessor::driveGainFor (drive)
        || processor.getToneCutoffHz() != BraskOverdriveAudioProcessor::toneCutoffFor (tone)
        || processor.getLevelGain() != BraskOverdriveAudioProcessor::levelGainFor (level))
    {
        std::printf ("race check: the store holds %g / %g / %g but the chain plays drive gain %g, tone %g Hz, level gain %g\n",
                     (double) drive, (double) tone, (double) level, (double) processor.getDriveGain(),
                     (double) processor.getToneCutoffHz(), (double) processor.getLevelGain());
        return 1;
    }

    return 0;
}
