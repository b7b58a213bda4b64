#pragma once

#include "KernelLayout.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <cstddef>
#include <vector>

//==============================================================================
/**
    The pedal's sound, sample by sample: the 200 Hz low cut, the drive, the bias
    and tanh clipper, the 5 Hz DC blocker, the 1 % blend of the driven dry signal,
    the two tone one-poles and the level, over plain arrays of one or two channels.

    Both channels advance together in the lanes of one SIMD register through every
    feedback loop (a single channel puts the two halves of each stretch there
    instead), and the clipper runs over whole stretches of samples at the
    register's full width. The machine code comes in several instruction sets
    (on x86-64 the baseline, AVX2 and AVX-512; on 64-bit ARM a portable baseline,
    NEON, SVE and SVE2): what the processor and the operating system support is
    read once, and each prepare takes the widest of them.

    All memory is part of the object: process never allocates, locks or waits.
*/
class OverdriveKernel final : public KernelLayout
{
public:
    //==============================================================================
    /** The sets this build carries for its processor, the baseline first. */
    static std::vector<InstructionSet> builtInstructionSets();

    /** True when this machine (processor and operating system) can run the set. */
    static bool canRun (InstructionSet) noexcept;

    /** The widest set this machine can run: what every kernel uses unless pinned. */
    static InstructionSet widestSupported() noexcept;

    /** For tests: kernels prepared from now on use `set` (which must be runnable
        here) instead of the widest one, until unpinned.
    */
    static void pinInstructionSet (InstructionSet set) noexcept;
    static void unpinInstructionSet() noexcept;

    //==============================================================================
    OverdriveKernel();

    /** Sizes the chain for a sample rate and channel count (at most maxChannels),
        zeroes every filter and picks the instruction set. The blend's weights
        start at their final values; see startBlendFade.
    */
    void prepare (double sampleRate, int numChannels);

    /** Lets the blend's weights glide from fully wet to their final values over
        50 ms, as after the pedal's first prepare.
    */
    void startBlendFade() noexcept;

    /** Puts every filter where a long silence would leave it with the clipper
        biased by `bias`: the low cut and both tone filters at rest, the DC blocker
        settled on the constant tanh (bias) the clipper then gives. Playing silence
        from here gives silence, so resuming makes no thump.
    */
    void settleForSilence (float bias) noexcept;

    /** Re-targets both tone filters; cheap when the cutoff is unchanged. */
    void setToneCutoff (float cutoffHz) noexcept;
    float getToneCutoff() const noexcept { return toneCutoff; }

    InstructionSet getInstructionSet() const noexcept { return instructionSet; }

    /** Plays `numSamples` samples of each of `numChannels` channels (no more than
        prepared) through the chain, in place. Non-finite samples (NaN and both
        infinities) count as silence and the rest are held within ±100. The clipper's bias is `bias` for every
        sample, or, while it still moves, one value per sample from `biasPerSample`.
        Call it with flush-to-zero on: nothing here snaps small states to zero,
        which would make the sound depend on where the host cuts its blocks.
    */
    void process (float* const* channels, int numChannels, int numSamples,
                  float driveGain, float bias, float levelGain,
                  const float* biasPerSample = nullptr) noexcept;

private:
    //==============================================================================
    /** The pinned set where one is pinned and runnable, else the widest. */
    static InstructionSet chosenInstructionSet() noexcept;

    InstructionSet instructionSet = InstructionSet::baseline;
    VariantFunction variant = nullptr;

    double sampleRate = 48000.0;
    float toneCutoff = 6000.0f;
    int preparedChannels = 0;
    bool halvesFitLanes = false;  // the set's registers hold the two halves side by side
    bool toneJustMoved = true;

    // The blend's two weights glide as the framework's dry/wet mixer's do.
    juce::SmoothedValue<float> wetWeight, dryWeight;

    FilterState filters {};
    Stretch stretch {};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OverdriveKernel)
};
