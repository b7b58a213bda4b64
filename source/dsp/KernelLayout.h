#pragma once

#include <cstddef>

//==============================================================================
/**
    What the kernel's parts share (OverdriveKernel, the stages, the halves, the
    variants): its sizes, its instruction sets, and the filter state and stretch
    a variant plays one stretch with. OverdriveKernel is one of these; the parts
    need only this, not the kernel.
*/
struct KernelLayout
{
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
#if defined(__aarch64__)
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
        double lowCutFeedbackTwice, lowCutInputAhead;  // a² and a·b: two samples in one step
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
        double toneFreeStates[halfLength + 1][numToneStates][numToneStates];  // [after][state][from]
        int toneFreeLength;                                                   // entries of both worked out so far
    };

    /** One stretch's samples and per-sample values on their way through the stages. */
    struct Stretch
    {
        alignas (64) float input[maxChannels * stretchLength];
        alignas (64) float driven[maxChannels * stretchLength + registerRoom];    // and a silent sample after the last
        alignas (64) double lowCut[maxChannels * stretchLength + registerRoom];   // later the DC blocker's input share
        alignas (64) double dcAhead[maxChannels * stretchLength + registerRoom];  // the DC blocker's next-state share
        alignas (64) float dry[maxChannels * stretchLength + registerRoom];       // the blend's dry share
        alignas (64) float wetWeight[stretchLength];
        alignas (64) float dryWeight[stretchLength];
        alignas (64) float bias[maxChannels * stretchLength + 16];  // per sample, laid out as the input
    };

    struct StretchSettings
    {
        float driveGain, bias, levelGain;
        float wetWeight, dryWeight;  // used while no fade is running
        bool fading;                 // the per-sample weights in the stretch apply
        bool singleChannel;          // prepared for one channel: the other lane is free
        bool splitInHalves;          // ... and the halves of the stretch fill both (see halfLength)
        const float* biasPerSample;  // one bias per sample of the stretch, or null for `bias` throughout
    };

    /** One variant's work on one stretch: `right` is null for mono. */
    using VariantFunction = void (*) (FilterState&, Stretch&, float* left, float* right, int numSamples,
                                      const StretchSettings&);
};
