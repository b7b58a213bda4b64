#pragma once

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
class OverdriveKernel final
{
public:
    //==============================================================================
    static constexpr int maxChannels = 2;

    enum class InstructionSet
    {
        baseline,
        avx2,
        avx512,
        neon,
        sve,
        sve2
    };

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
    float getToneCutoff() const noexcept          { return toneCutoff; }

    InstructionSet getInstructionSet() const noexcept  { return instructionSet; }

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

    //==============================================================================
    /** Where a variant reads and writes one stretch of at most stretchLength
        samples: interleaved channels, aligned for the widest register.
    */
    static constexpr int stretchLength = 256;

    /** A single channel plays the two halves of a stretch side by side, one in each
        lane: the first half from the channel's state, the second from silence.
        Every stage on either side of the clipper is linear, so what the state at
        the middle adds to the second half is its response with no input, which the
        tables in FilterState hold for a state of one (each half at most halfLength
        long); KernelHalves.h gives the derivation.
    */
    static constexpr int halfLength = stretchLength / 2;

    /** Room after the samples of a stretch's arrays for the widest register any
        variant loads or stores whole (SVE allows up to 2048 bits), in floats.
    */
   #if defined (__aarch64__)
    static constexpr int registerRoom = 2048 / 32;
   #else
    static constexpr int registerRoom = 16;
   #endif

    /** The chain's filters as a SIMD variant works on them: their coefficients and
        states, with the two channels side by side (lane 0 left or mono, lane 1
        right), and the tables that let a single channel play its halves.
    */
    struct FilterState
    {
        // The low cut and each tone one-pole as s' = a·s + b·x, output c·(x − s)
        // for the high-pass and s + g·(x − s) = (s + s') / 2 for the low-pass: the
        // same topology-preserving filter (OnePoleFilter), with a single
        // multiply-add on its feedback path. The low cut, whose a lies close to 1, works in double
        // precision.
        double lowCutFeedback, lowCutInput, lowCutOutput;
        double lowCutFeedbackTwice, lowCutInputAhead;   // a² and a·b: two samples in one step
        float toneFeedback, toneInput, toneG;

        // The DC blocker in state-space form: one multiply-add between successive
        // values of its first state.
        double dcB0, dcA1, dcA2, dcK1, dcK2;

        alignas (16) double lowCut[maxChannels];
        alignas (16) float tone1[maxChannels];
        alignas (16) float tone2[maxChannels];
        alignas (16) double dcState1[maxChannels];
        alignas (16) double dcState2[maxChannels];

        // The second half's share of the low cut's state at the middle: its output
        // j samples on (for a state of one) in lane 1 of entry j + 1, lanes 0 and
        // entry 0 zero, so that a half starting one sample late reads one entry
        // earlier; and what is left of the state after j samples.
        alignas (64) double lowCutFreeOutput[2 * (halfLength + 1) + registerRoom];
        double lowCutFreeState[halfLength + 1];

        // The same after the clipper, for the four states (DC blocker first and
        // second, tone filters first and second) each at one: the output before the
        // level at entry j + 1 (entry 0 zero), and all four states after j samples.
        // They follow the tone filter, so they are worked out again, as far as
        // needed, after it moves.
        static constexpr int numToneStates = 4;
        alignas (64) float toneFreeOutput[numToneStates][halfLength + 1 + registerRoom];
        double toneFreeStates[halfLength + 1][numToneStates][numToneStates];   // [after][state][from]
        int toneFreeLength;     // entries of both worked out so far
    };

    /** One stretch's samples and per-sample values on their way through the stages. */
    struct Stretch
    {
        alignas (64) float input[maxChannels * stretchLength];
        alignas (64) float driven[maxChannels * stretchLength + registerRoom];  // and a silent sample after the last
        alignas (64) double lowCut[maxChannels * stretchLength + registerRoom];      // later the DC blocker's input share
        alignas (64) double dcAhead[maxChannels * stretchLength + registerRoom];     // the DC blocker's next-state share
        alignas (64) float dry[maxChannels * stretchLength + registerRoom];          // the blend's dry share
        alignas (64) float wetWeight[stretchLength];
        alignas (64) float dryWeight[stretchLength];
        alignas (64) float bias[maxChannels * stretchLength + 16];  // per sample, laid out as the input
    };

    struct StretchSettings
    {
        float driveGain, bias, levelGain;
        float wetWeight, dryWeight;     // used while no fade is running
        bool fading;                    // the per-sample weights in the stretch apply
        bool singleChannel;             // prepared for one channel: the other lane is free
        bool splitInHalves;             // ... and the halves of the stretch fill both (see halfLength)
        const float* biasPerSample;     // one bias per sample of the stretch, or null for `bias` throughout
    };

    /** One variant's work on one stretch: `right` is null for mono. */
    using VariantFunction = void (*) (FilterState&, Stretch&, float* left, float* right, int numSamples,
                                      const StretchSettings&);

private:
    //==============================================================================
    /** The pinned set where one is pinned and runnable, else the widest. */
    static InstructionSet chosenInstructionSet() noexcept;

    InstructionSet instructionSet = InstructionSet::baseline;
    VariantFunction variant = nullptr;

    double sampleRate = 48000.0;
    float toneCutoff = 6000.0f;
    int preparedChannels = 0;
    bool halvesFitLanes = false;    // the set's registers hold the two halves side by side
    bool toneJustMoved = true;

    // The blend's two weights glide as the framework's dry/wet mixer's do.
    juce::SmoothedValue<float> wetWeight, dryWeight;

    FilterState filters {};
    Stretch stretch {};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OverdriveKernel)
};
