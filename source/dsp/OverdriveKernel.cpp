// Highway compiles this file once per instruction set (foreach_target.h includes
// it again for each): everything outside the per-target namespace sits behind
// HWY_ONCE. Each set's code is compiled under its own target attribute, so no
// shared inline function is ever built with instructions the baseline lacks.
// The module uses Highway's headers only and links none of its libraries.

#include "OverdriveKernel.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#ifndef HWY_DISABLED_TARGETS
 // Baseline x86-64, AVX2 and AVX-512: the steps between them gain too little to
 // be worth their code size and test time. On ARM the portable baseline, NEON, and
 // SVE and SVE2 at whatever width the processor has: the fixed-width SVE variants
 // (256-bit SVE, 128-bit SVE2) would only repeat those.
 #define HWY_DISABLED_TARGETS (HWY_SSSE3 | HWY_SSE4 | HWY_SVE_256 | HWY_SVE2_128)
#endif
// Every set, the baseline included, even when the compiler's flags raise its own.
#define HWY_COMPILE_ALL_ATTAINABLE

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "OverdriveKernel.cpp"
#include <hwy/foreach_target.h>

#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>

HWY_BEFORE_NAMESPACE();
namespace brask_overdrive_kernel::HWY_NAMESPACE
{
    namespace hn = hwy::HWY_NAMESPACE;

    using Frame = OverdriveKernel::Frame;
    using Stretch = OverdriveKernel::Stretch;
    using StretchSettings = OverdriveKernel::StretchSettings;

    // Incoming samples are held within ±100 (+40 dBFS) and non-finite ones, NaN and
    // both infinities, are silenced. No real source comes near +40 dBFS, so every
    // plausible signal, however hot, keeps the chain's sound; beyond it is a fault
    // upstream (a plug-in gone wrong, a damaged file), and the 1 % blend of the
    // driven, unclipped signal would carry it to the output almost unchanged: the
    // lower the ceiling, the quieter the worst such fault can make the pedal.
    constexpr float inputCeiling = 100.0f;
    constexpr float infinity = std::numeric_limits<float>::infinity();

    HWY_INLINE float guardSample (float x)
    {
        if (! (std::abs (x) < infinity))
            return 0.0f;

        return x < -inputCeiling ? -inputCeiling : (x > inputCeiling ? inputCeiling : x);
    }

    template <class D, class V>
    HWY_INLINE V guard (D d, V x)
    {
        // |x| < inf is false for NaN and for both infinities.
        const auto finite = hn::Lt (hn::Abs (x), hn::Set (d, infinity));
        return hn::IfThenElseZero (finite, hn::Clamp (x, hn::Set (d, -inputCeiling), hn::Set (d, inputCeiling)));
    }

    /** Lays two arrays side by side, left, right, left, right..., a missing right
        as silence; with `guarded`, held as incoming samples are.
    */
    template <bool guarded>
    HWY_INLINE void interleave (float* destination, const float* left, const float* right, size_t numSamples)
    {
        const hn::ScalableTag<float> d;
        const auto lanes = hn::Lanes (d);
        size_t i = 0;

        for (; i + lanes <= numSamples; i += lanes)
        {
            auto l = hn::LoadU (d, left + i);
            auto r = hn::Zero (d);

            if (right != nullptr)
                r = hn::LoadU (d, right + i);

            if constexpr (guarded)
            {
                l = guard (d, l);

                if (right != nullptr)
                    r = guard (d, r);
            }

            hn::StoreInterleaved2 (l, r, d, destination + 2 * i);
        }

        for (; i < numSamples; ++i)
        {
            const auto l = left[i];
            const auto r = right != nullptr ? right[i] : 0.0f;
            destination[2 * i] = guarded ? guardSample (l) : l;
            destination[2 * i + 1] = guarded ? guardSample (r) : r;
        }
    }

    /** Guards the channels and lays them side by side. */
    HWY_INLINE void gatherChannels (Stretch& stretch, const float* left, const float* right, size_t numSamples)
    {
        interleave<true> (stretch.input, left, right, numSamples);
    }

    HWY_INLINE void scatterChannels (const Stretch& stretch, float* left, float* right, size_t numSamples)
    {
        const hn::ScalableTag<float> d;
        const auto lanes = hn::Lanes (d);
        size_t i = 0;

        for (; i + lanes <= numSamples; i += lanes)
        {
            hn::Vec<decltype (d)> l, r;
            hn::LoadInterleaved2 (d, stretch.input + 2 * i, l, r);
            hn::StoreU (l, d, left + i);

            if (right != nullptr)
                hn::StoreU (r, d, right + i);
        }

        for (; i < numSamples; ++i)
        {
            left[i] = stretch.input[2 * i];

            if (right != nullptr)
                right[i] = stretch.input[2 * i + 1];
        }
    }

    // The feedback loops take the two channels side by side, as the lanes of one
    // register where it has two lanes of each type; a one-lane baseline takes them
    // one after the other.
    constexpr size_t numChannels = OverdriveKernel::maxChannels;
    using ChannelLanes = hn::CappedTag<float, numChannels>;
    using WideChannelLanes = hn::CappedTag<double, numChannels>;

    template <bool keepLowCut, bool biasPerSample, class V>
    HWY_INLINE void emitLowCut (Stretch& stretch, size_t index, V lowCut, const StretchSettings& settings)
    {
        const ChannelLanes pair;
        const WideChannelLanes widePair;

        if constexpr (keepLowCut)
        {
            hn::StoreU (lowCut, widePair, stretch.lowCut + index);
        }
        else
        {
            // The bias makes the clipper asymmetric, as a transistor stage biased off centre.
            const auto bias = biasPerSample ? hn::LoadU (pair, stretch.bias + index) : hn::Set (pair, settings.bias);
            hn::StoreU (hn::MulAdd (hn::Set (pair, settings.driveGain), hn::DemoteTo (pair, lowCut), bias),
                        pair, stretch.driven + index);
        }
    }

    /** Low cut, drive and bias: the clipper's input (or, with keepLowCut, the low
        cut's output alone, in double precision). The low cut's feedback runs in
        double precision: its coefficient lies so close to 1 that in single
        precision its rounding, magnified by up to +48 dB of drive, would be heard
        against the circuit three times as much as the rest of the chain's.
    */
    template <bool keepLowCut, bool biasPerSample>
    HWY_INLINE void driveStage (Frame& frame, Stretch& stretch, size_t numSamples, const StretchSettings& settings,
                                size_t firstChannel)
    {
        const ChannelLanes pair;
        const WideChannelLanes widePair;
        const auto feedback = hn::Set (widePair, frame.lowCutFeedback);
        const auto feedbackTwice = hn::Set (widePair, frame.lowCutFeedbackTwice);
        const auto inputWeight = hn::Set (widePair, frame.lowCutInput);
        const auto inputAhead = hn::Set (widePair, frame.lowCutInputAhead);
        const auto outputWeight = hn::Set (widePair, frame.lowCutOutput);
        auto state = hn::Load (widePair, frame.lowCut + firstChannel);
        const auto* input = stretch.input + firstChannel;
        size_t i = 0;

        // Two samples a step: the state jumps both at once with one multiply-add,
        // s'' = a²·s + a·b·x + b·x', which halves the wait on the feedback path; the
        // state between them is worked out beside it.
        for (; i + 2 <= numSamples; i += 2)
        {
            const auto x = hn::PromoteTo (widePair, hn::LoadU (pair, input + numChannels * i));
            const auto nextX = hn::PromoteTo (widePair, hn::LoadU (pair, input + numChannels * (i + 1)));
            const auto between = hn::MulAdd (feedback, state, hn::Mul (inputWeight, x));

            emitLowCut<keepLowCut, biasPerSample> (stretch, firstChannel + numChannels * i, hn::Mul (outputWeight, hn::Sub (x, state)), settings);
            emitLowCut<keepLowCut, biasPerSample> (stretch, firstChannel + numChannels * (i + 1), hn::Mul (outputWeight, hn::Sub (nextX, between)), settings);

            state = hn::MulAdd (feedbackTwice, state, hn::MulAdd (inputAhead, x, hn::Mul (inputWeight, nextX)));
        }

        if (i < numSamples)
        {
            const auto x = hn::PromoteTo (widePair, hn::LoadU (pair, input + numChannels * i));
            emitLowCut<keepLowCut, biasPerSample> (stretch, firstChannel + numChannels * i, hn::Mul (outputWeight, hn::Sub (x, state)), settings);
            state = hn::MulAdd (feedback, state, hn::Mul (inputWeight, x));
        }

        hn::Store (state, widePair, frame.lowCut + firstChannel);
    }

    /** The clipper, at the register's full width over the whole stretch. */
    HWY_INLINE void clipStage (Stretch& stretch, size_t numSamples, size_t channelsInUse = numChannels)
    {
        const hn::ScalableTag<float> d;
        const auto lanes = hn::Lanes (d);

        // One sample at a time, a channel not in use costs as much as one in use.
        const auto step = lanes == 1 ? numChannels / channelsInUse : 1;

        // The stretch's arrays hold whole registers, so the last one may run past
        // the samples in use: those lanes are computed and never read.
        for (size_t i = 0; i < numChannels * numSamples; i += lanes * step)
            hn::Store (hn::Tanh (d, hn::Load (d, stretch.driven + i)), d, stretch.driven + i);

        for (size_t i = 0; i < numChannels; ++i)
            stretch.driven[numChannels * numSamples + i] = 0.0f;
    }

    /** What the stage after the clipper takes from each sample without waiting on
        its feedback, at the register's full width: the DC blocker's two input
        terms and the blend's dry share (while the blend's weights are settled).
    */
    HWY_INLINE void prepareToneInputs (const Frame& frame, Stretch& stretch, size_t numSamples,
                                       const StretchSettings& settings, size_t channelsInUse)
    {
        const hn::ScalableTag<double> d;
        const hn::Rebind<float, decltype (d)> narrow;
        const auto lanes = hn::Lanes (d);
        const auto step = lanes == 1 ? numChannels / channelsInUse : 1;

        const auto b0 = hn::Set (d, frame.dcB0);
        const auto k1 = hn::Set (d, frame.dcK1);
        const auto k2 = hn::Set (d, frame.dcK2);
        const auto dryDrive = hn::Set (narrow, settings.dryWeight * settings.driveGain);

        // The clipped samples are followed by a silent one (and whole registers of
        // room), so the look at the next sample never reads past what is there.
        for (size_t i = 0; i < numChannels * numSamples; i += lanes * step)
        {
            const auto clipped = hn::PromoteTo (d, hn::LoadU (narrow, stretch.driven + i));
            const auto nextClipped = hn::PromoteTo (d, hn::LoadU (narrow, stretch.driven + i + numChannels));
            hn::Store (hn::Mul (b0, clipped), d, stretch.lowCut + i);
            hn::Store (hn::MulAdd (k1, nextClipped, hn::Mul (k2, clipped)), d, stretch.dcAhead + i);

            if (! settings.fading)
                hn::StoreU (hn::Mul (dryDrive, hn::LoadU (narrow, stretch.input + i)), narrow, stretch.dry + i);
        }
    }

    /** DC blocker, blend, tone and level, both channels per step; the result
        replaces the guarded input. Takes what prepareToneInputs left.
    */
    template <bool fading>
    HWY_INLINE void toneStage (Frame& frame, Stretch& stretch, size_t numSamples, const StretchSettings& settings,
                               size_t firstChannel)
    {
        const ChannelLanes pair;
        const WideChannelLanes widePair;

        // The 5 Hz high-pass removes the offset the bias leaves after the clipper.
        // Its poles sit so close to DC that it works in double precision.
        const auto a1 = hn::Set (widePair, frame.dcA1);
        const auto a2 = hn::Set (widePair, frame.dcA2);
        const auto k1 = hn::Set (widePair, frame.dcK1);
        auto dc1 = hn::Load (widePair, frame.dcState1 + firstChannel);
        const auto dc2 = hn::Load (widePair, frame.dcState2 + firstChannel);

        const auto drive = hn::Set (pair, settings.driveGain);
        const auto halfLevel = hn::Set (pair, 0.5f * settings.levelGain);
        auto wet = hn::Set (pair, settings.wetWeight);

        const auto toneFeedback = hn::Set (pair, frame.toneFeedback);
        const auto toneInput = hn::Set (pair, frame.toneInput);
        const auto halfToneInput = hn::Set (pair, 0.5f * frame.toneInput);
        auto tone1 = hn::Load (pair, frame.tone1 + firstChannel);
        auto tone2 = hn::Load (pair, frame.tone2 + firstChannel);
        auto* samples = stretch.input + firstChannel;

        // The second state travels with the next sample's share of the first already
        // added, which takes it off the path from one value of the first state to the
        // next but one. The stretch holds a silent sample after its last, so the
        // state stored at the end is the second state itself.
        auto dc2WithNext = hn::MulAdd (k1, hn::PromoteTo (widePair, hn::LoadU (pair, stretch.driven + firstChannel)), dc2);

        for (size_t i = 0; i < numSamples; ++i)
        {
            const auto at = firstChannel + numChannels * i;
            const auto blocked = hn::Add (hn::LoadU (widePair, stretch.lowCut + at), dc1);
            const auto nextDc1 = hn::NegMulAdd (a1, dc1, dc2WithNext);
            dc2WithNext = hn::NegMulAdd (a2, dc1, hn::LoadU (widePair, stretch.dcAhead + at));
            dc1 = nextDc1;

            // The dry path carries the drive but not the low cut, bias, clipper or DC blocker.
            hn::Vec<decltype (pair)> dryShare;

            if constexpr (fading)
            {
                wet = hn::Set (pair, stretch.wetWeight[i]);
                dryShare = hn::Mul (hn::Set (pair, stretch.dryWeight[i]), hn::Mul (drive, hn::LoadU (pair, samples + numChannels * i)));
            }
            else
            {
                dryShare = hn::LoadU (pair, stretch.dry + at);
            }

            const auto blended = hn::MulAdd (wet, hn::DemoteTo (pair, blocked), dryShare);

            // A one-pole's output is the mean of its state before and after the
            // sample, so each filter needs one multiply-add on its feedback path
            // and one sum for its output.
            const auto nextTone1 = hn::MulAdd (toneFeedback, tone1, hn::Mul (toneInput, blended));
            const auto nextTone2 = hn::MulAdd (toneFeedback, tone2, hn::Mul (halfToneInput, hn::Add (tone1, nextTone1)));
            hn::StoreU (hn::Mul (halfLevel, hn::Add (tone2, nextTone2)), pair, samples + numChannels * i);
            tone1 = nextTone1;
            tone2 = nextTone2;
        }

        hn::Store (dc1, widePair, frame.dcState1 + firstChannel);
        hn::Store (dc2WithNext, widePair, frame.dcState2 + firstChannel);
        hn::Store (tone1, pair, frame.tone1 + firstChannel);
        hn::Store (tone2, pair, frame.tone2 + firstChannel);
    }

    /** One channel, the first half of the stretch in lane 0 and the second in
        lane 1 (see OverdriveKernel::halfLength). Only for registers with two lanes
        of each type and settled blend weights.
    */
    template <bool biasPerSample>
    HWY_INLINE void processHalves (Frame& frame, Stretch& stretch, float* samples, size_t numSamples,
                                   const StretchSettings& settings)
    {
        // An odd count gives the second half one sample less: its lane starts one
        // sample late, with a silent sample that leaves its silent state untouched.
        const auto secondLength = numSamples / 2;
        const auto firstLength = numSamples - secondLength;
        const auto late = firstLength - secondLength;
        float* secondHalf = samples + firstLength - late;

        gatherChannels (stretch, samples, secondHalf, firstLength);
        if (late != 0)
            stretch.input[1] = 0.0f;

        // Each half's samples keep their own bias (a late second half's first lane is
        // silenced after the clipper, whatever it holds).
        if constexpr (biasPerSample)
            interleave<false> (stretch.bias, settings.biasPerSample, settings.biasPerSample + (firstLength - late), firstLength);

        frame.lowCut[1] = 0.0;
        frame.dcState1[1] = 0.0;
        frame.dcState2[1] = 0.0;
        frame.tone1[1] = 0.0f;
        frame.tone2[1] = 0.0f;

        driveStage<true, false> (frame, stretch, firstLength, settings, 0);

        // The low cut's state at the middle, carried into the second half before
        // the clipper.
        {
            const hn::ScalableTag<double> d;
            const hn::Rebind<float, decltype (d)> narrow;
            const auto middle = hn::Set (d, frame.lowCut[0]);
            const auto drive = hn::Set (narrow, settings.driveGain);
            const auto steadyBias = hn::Set (narrow, settings.bias);
            const auto* freeOutput = frame.lowCutFreeOutput + 2 * (1 - late);

            for (size_t i = 0; i < numChannels * firstLength; i += hn::Lanes (d))
            {
                const auto lowCut = hn::MulAdd (middle, hn::LoadU (d, freeOutput + i), hn::Load (d, stretch.lowCut + i));
                const auto bias = biasPerSample ? hn::LoadU (narrow, stretch.bias + i) : steadyBias;
                hn::StoreU (hn::MulAdd (drive, hn::DemoteTo (narrow, lowCut), bias), narrow, stretch.driven + i);
            }

            frame.lowCut[0] = frame.lowCut[1] + frame.lowCutFreeState[secondLength] * frame.lowCut[0];
            frame.lowCut[1] = 0.0;
        }

        clipStage (stretch, firstLength);

        if (late != 0)
            stretch.driven[1] = 0.0f;

        prepareToneInputs (frame, stretch, firstLength, settings, numChannels);
        toneStage<false> (frame, stretch, firstLength, settings, 0);

        // The states at the middle, carried into the second half after the clipper.
        constexpr auto numStates = Frame::numToneStates;
        const double middle[numStates] { frame.dcState1[0], frame.dcState2[0], frame.tone1[0], frame.tone2[0] };
        double atEnd[numStates] { frame.dcState1[1], frame.dcState2[1], frame.tone1[1], frame.tone2[1] };
        const auto& carried = frame.toneFreeStates[secondLength];

        for (int state = 0; state < numStates; ++state)
            for (int from = 0; from < numStates; ++from)
                atEnd[state] += carried[state][from] * middle[from];

        frame.dcState1[0] = atEnd[0];
        frame.dcState2[0] = atEnd[1];
        frame.tone1[0] = (float) atEnd[2];
        frame.tone2[0] = (float) atEnd[3];
        frame.dcState1[1] = frame.dcState2[1] = 0.0;
        frame.tone1[1] = frame.tone2[1] = 0.0f;

        // A late second half's first sample lands on the first half's last, which
        // is written after it.
        {
            const hn::ScalableTag<float> d;
            const auto lanes = hn::Lanes (d);
            float share[numStates];

            for (int state = 0; state < numStates; ++state)
                share[state] = (float) middle[state] * settings.levelGain;

            const auto shift = 1 - late;
            const auto* free0 = frame.toneFreeOutput[0] + shift;
            const auto* free1 = frame.toneFreeOutput[1] + shift;
            const auto* free2 = frame.toneFreeOutput[2] + shift;
            const auto* free3 = frame.toneFreeOutput[3] + shift;
            size_t i = 0;

            for (; i + lanes <= firstLength; i += lanes)
            {
                hn::Vec<decltype (d)> first, second;
                hn::LoadInterleaved2 (d, stretch.input + 2 * i, first, second);
                auto sum = hn::MulAdd (hn::Set (d, share[0]), hn::LoadU (d, free0 + i), second);
                sum = hn::MulAdd (hn::Set (d, share[1]), hn::LoadU (d, free1 + i), sum);
                sum = hn::MulAdd (hn::Set (d, share[2]), hn::LoadU (d, free2 + i), sum);
                sum = hn::MulAdd (hn::Set (d, share[3]), hn::LoadU (d, free3 + i), sum);
                hn::StoreU (sum, d, secondHalf + i);
                hn::StoreU (first, d, samples + i);
            }

            for (; i < firstLength; ++i)
            {
                secondHalf[i] = stretch.input[2 * i + 1] + share[0] * free0[i] + share[1] * free1[i]
                                + share[2] * free2[i] + share[3] * free3[i];
                samples[i] = stretch.input[2 * i];
            }
        }
    }

    static size_t pairLanes()
    {
        return hn::Lanes (ChannelLanes());
    }

    static void processStretch (Frame& frame, Stretch& stretch, float* left, float* right, int length, const StretchSettings& settings)
    {
        const auto numSamples = (size_t) length;

        const auto lanes = hn::Lanes (ChannelLanes());

        if (settings.splitInHalves && lanes >= numChannels && right == nullptr)
        {
            if (settings.biasPerSample != nullptr)
                processHalves<true> (frame, stretch, left, numSamples, settings);
            else
                processHalves<false> (frame, stretch, left, numSamples, settings);

            return;
        }

        // A kernel prepared for one channel has no use for the other's filters.
        const auto channelsInUse = settings.singleChannel ? (size_t) 1 : numChannels;

        gatherChannels (stretch, left, right, numSamples);

        // Both lanes of a sample take its bias.
        if (settings.biasPerSample != nullptr)
        {
            interleave<false> (stretch.bias, settings.biasPerSample, settings.biasPerSample, numSamples);

            for (size_t channel = 0; channel < channelsInUse; channel += lanes)
                driveStage<false, true> (frame, stretch, numSamples, settings, channel);
        }
        else
        {
            for (size_t channel = 0; channel < channelsInUse; channel += lanes)
                driveStage<false, false> (frame, stretch, numSamples, settings, channel);
        }

        clipStage (stretch, numSamples, channelsInUse);
        prepareToneInputs (frame, stretch, numSamples, settings, channelsInUse);

        for (size_t channel = 0; channel < channelsInUse; channel += lanes)
        {
            if (settings.fading)
                toneStage<true> (frame, stretch, numSamples, settings, channel);
            else
                toneStage<false> (frame, stretch, numSamples, settings, channel);
        }

        scatterChannels (stretch, left, right, numSamples);
    }

} // namespace brask_overdrive_kernel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#if HWY_ARCH_X86
 #include <cpuid.h>
#elif HWY_ARCH_ARM_A64
 #include <sys/auxv.h>
#endif

namespace
{
    constexpr double lowCutHz = 200.0;
    constexpr double dcBlockerHz = 5.0;
    constexpr float wetProportion = 0.99f;
    constexpr double blendFadeSeconds = 0.05;

    //==============================================================================
    /** What the processor offers and the operating system saves across a task
        switch, read from the processor itself: the instructions each variant is
        compiled for must all be present.
    */
    struct MachineSupport
    {
        bool avx2 = false, avx512 = false;
        bool neon = false, sve = false, sve2 = false;

        MachineSupport()
        {
           #if HWY_ARCH_X86
            unsigned int a = 0, b = 0, c = 0, d = 0;

            if (__get_cpuid (1, &a, &b, &c, &d) == 0)
                return;

            const auto has = [] (unsigned int reg, int bit) { return (reg & (1u << bit)) != 0; };
            const auto sse4 = has (c, 0) && has (c, 9) && has (c, 19) && has (c, 20) && has (c, 1) && has (c, 25);
            const auto fma = has (c, 12), osSavesState = has (c, 27), avx = has (c, 28), f16c = has (c, 29);

            if (__get_cpuid_count (7, 0, &a, &b, &c, &d) == 0 || ! osSavesState)
                return;

            const auto avx2Instructions = has (b, 5) && has (b, 3) && has (b, 8);
            const auto avx512Instructions = has (b, 16) && has (b, 17) && has (b, 30) && has (b, 31);

            // XCR0: which register states the operating system saves (SSE and
            // AVX halves; then the AVX-512 mask and upper registers too).
            unsigned int stateLow = 0, stateHigh = 0;
            __asm__ volatile ("xgetbv" : "=a" (stateLow), "=d" (stateHigh) : "c" (0));
            const auto osSavesAvx = (stateLow & 0x06u) == 0x06u;
            const auto osSavesAvx512 = (stateLow & 0xe6u) == 0xe6u;

            avx2 = sse4 && avx && avx2Instructions && fma && f16c && osSavesAvx;
            avx512 = avx2 && avx512Instructions && osSavesAvx512;
           #elif HWY_ARCH_ARM_A64
            // The kernel lists a feature only when it also saves its registers.
            // NEON is asked for although every Armv8-A processor has it: the
            // variant uses no AES instruction, which the Raspberry Pi 4 lacks.
            const auto hardware = getauxval (AT_HWCAP), hardware2 = getauxval (AT_HWCAP2);
            neon = (hardware & HWCAP_ASIMD) != 0;
            sve = neon && (hardware & HWCAP_SVE) != 0;
            sve2 = sve && (hardware2 & HWCAP2_SVE2) != 0;
           #endif
        }
    };

    const MachineSupport& machineSupport() noexcept
    {
        static const MachineSupport support;
        return support;
    }

    std::atomic<int> pinnedSet { -1 };

    struct Variant
    {
        OverdriveKernel::VariantFunction process;
        size_t (*pairLanes)();
    };

    Variant variantFor (OverdriveKernel::InstructionSet set) noexcept
    {
        namespace variants = brask_overdrive_kernel;

        using Set = OverdriveKernel::InstructionSet;

       #if HWY_ARCH_X86
        if (set == Set::avx512)  return { variants::N_AVX3::processStretch, variants::N_AVX3::pairLanes };
        if (set == Set::avx2)    return { variants::N_AVX2::processStretch, variants::N_AVX2::pairLanes };
       #elif HWY_ARCH_ARM_A64
        if (set == Set::sve2)    return { variants::N_SVE2::processStretch, variants::N_SVE2::pairLanes };
        if (set == Set::sve)     return { variants::N_SVE::processStretch, variants::N_SVE::pairLanes };
        if (set == Set::neon)    return { variants::N_NEON::processStretch, variants::N_NEON::pairLanes };
       #endif
        juce::ignoreUnused (set);

       #if HWY_BROKEN_EMU128
        // Highway's choice of portable fallback for compilers with a known fault in the other.
        return { variants::N_SCALAR::processStretch, variants::N_SCALAR::pairLanes };
       #else
        return { variants::N_EMU128::processStretch, variants::N_EMU128::pairLanes };
       #endif
    }

    /** The one-pole written as s' = a·s + b·x with its outputs from s and x. */
    struct OnePole
    {
        double feedback, input, output, g;

        OnePole (double cutoffHz, double sampleRate)
        {
            const auto t = std::tan (juce::MathConstants<double>::pi * cutoffHz / sampleRate);
            g = t / (1.0 + t);
            feedback = 1.0 - 2.0 * g;
            input = 2.0 * g;
            output = 1.0 - g;
        }
    };
}

//==============================================================================
std::vector<OverdriveKernel::InstructionSet> OverdriveKernel::builtInstructionSets()
{
   #if HWY_ARCH_X86
    return { InstructionSet::baseline, InstructionSet::avx2, InstructionSet::avx512 };
   #elif HWY_ARCH_ARM_A64
    return { InstructionSet::baseline, InstructionSet::neon, InstructionSet::sve, InstructionSet::sve2 };
   #else
    return { InstructionSet::baseline };
   #endif
}

bool OverdriveKernel::canRun (InstructionSet set) noexcept
{
    const auto& machine = machineSupport();

    switch (set)
    {
        case InstructionSet::baseline: return true;
        case InstructionSet::avx512:   return machine.avx512;
        case InstructionSet::avx2:     return machine.avx2;
        case InstructionSet::sve2:     return machine.sve2;
        case InstructionSet::sve:      return machine.sve;
        case InstructionSet::neon:     return machine.neon;
    }

    return false;
}

OverdriveKernel::InstructionSet OverdriveKernel::widestSupported() noexcept
{
    // Widest first; a set of another processor family is never runnable here.
    for (const auto set : { InstructionSet::avx512, InstructionSet::avx2,
                            InstructionSet::sve2, InstructionSet::sve, InstructionSet::neon })
        if (canRun (set))
            return set;

    return InstructionSet::baseline;
}

void OverdriveKernel::pinInstructionSet (InstructionSet set) noexcept
{
    jassert (canRun (set));
    pinnedSet.store ((int) set);
}

void OverdriveKernel::unpinInstructionSet() noexcept
{
    pinnedSet.store (-1);
}

//==============================================================================
OverdriveKernel::OverdriveKernel()
{
    // Before any prepare the blend stands at its final weights.
    wetWeight.setCurrentAndTargetValue (wetProportion);
    dryWeight.setCurrentAndTargetValue (1.0f - wetProportion);
}

void OverdriveKernel::prepare (double newSampleRate, int numChannels)
{
    const auto pinned = pinnedSet.load();
    instructionSet = pinned >= 0 && canRun ((InstructionSet) pinned) ? (InstructionSet) pinned : widestSupported();
    const auto chosen = variantFor (instructionSet);
    variant = chosen.process;

    sampleRate = newSampleRate;
    preparedChannels = juce::jlimit (0, maxChannels, numChannels);
    halvesFitLanes = chosen.pairLanes() >= (size_t) maxChannels;

    const OnePole lowCut (lowCutHz, sampleRate);
    frame.lowCutFeedback = lowCut.feedback;
    frame.lowCutInput = lowCut.input;
    frame.lowCutOutput = lowCut.output;
    frame.lowCutFeedbackTwice = lowCut.feedback * lowCut.feedback;
    frame.lowCutInputAhead = lowCut.feedback * lowCut.input;

    // With no input the low cut's state s decays as s·a^j and its output is −c·s·a^j.
    std::fill (std::begin (frame.lowCutFreeOutput), std::end (frame.lowCutFreeOutput), 0.0);
    auto decay = 1.0;

    for (int j = 0; j <= halfLength; ++j)
    {
        frame.lowCutFreeState[j] = decay;

        if (j < halfLength)
            frame.lowCutFreeOutput[2 * (j + 1) + 1] = -lowCut.output * decay;

        decay *= lowCut.feedback;
    }

    const auto blocker = juce::dsp::IIR::Coefficients<double>::makeHighPass (sampleRate, dcBlockerHz);
    const auto* c = blocker->getRawCoefficients();   // b0, b1, b2, a1, a2 with a0 = 1
    frame.dcB0 = c[0];
    frame.dcA1 = c[3];
    frame.dcA2 = c[4];
    frame.dcK1 = c[1] - c[3] * c[0];
    frame.dcK2 = c[2] - c[4] * c[0];

    // The DC blocker's states with no input, from each at one (the tone filters'
    // states never reach it); the tone filters' part follows the tone.
    for (int j = 0; j <= halfLength; ++j)
    {
        auto& now = frame.toneFreeStates[j];

        for (int from = 0; from < Frame::numToneStates; ++from)
        {
            if (j == 0)
            {
                now[0][from] = from == 0 ? 1.0 : 0.0;
                now[1][from] = from == 1 ? 1.0 : 0.0;
            }
            else
            {
                const auto& before = frame.toneFreeStates[j - 1];
                now[0][from] = before[1][from] - frame.dcA1 * before[0][from];
                now[1][from] = -frame.dcA2 * before[0][from];
            }
        }
    }

    frame.toneFreeLength = 0;

    std::fill (std::begin (frame.lowCut), std::end (frame.lowCut), 0.0);
    std::fill (std::begin (frame.tone1), std::end (frame.tone1), 0.0f);
    std::fill (std::begin (frame.tone2), std::end (frame.tone2), 0.0f);
    std::fill (std::begin (frame.dcState1), std::end (frame.dcState1), 0.0);
    std::fill (std::begin (frame.dcState2), std::end (frame.dcState2), 0.0);

    const auto cutoff = toneCutoff;
    toneCutoff = -1.0f;
    setToneCutoff (cutoff);

    wetWeight.reset (sampleRate, blendFadeSeconds);
    dryWeight.reset (sampleRate, blendFadeSeconds);
}

void OverdriveKernel::settleForSilence (float bias) noexcept
{
    // With a constant input u the DC blocker's output is zero, so its first state
    // is what cancels the input's share, -b0·u, and its second follows from the
    // state update: k2·u - a2·s1.
    const auto clipped = std::tanh ((double) bias);
    const auto settled1 = -frame.dcB0 * clipped;
    const auto settled2 = frame.dcK2 * clipped - frame.dcA2 * settled1;

    std::fill (std::begin (frame.lowCut), std::end (frame.lowCut), 0.0);
    std::fill (std::begin (frame.tone1), std::end (frame.tone1), 0.0f);
    std::fill (std::begin (frame.tone2), std::end (frame.tone2), 0.0f);

    for (int channel = 0; channel < maxChannels; ++channel)
    {
        const auto inUse = channel < preparedChannels;
        frame.dcState1[channel] = inUse ? settled1 : 0.0;
        frame.dcState2[channel] = inUse ? settled2 : 0.0;
    }
}

void OverdriveKernel::startBlendFade() noexcept
{
    // As the framework's mixer does when given its proportion after its first
    // prepare: from fully wet to the final weights.
    wetWeight.setCurrentAndTargetValue (1.0f);
    dryWeight.setCurrentAndTargetValue (0.0f);
    wetWeight.setTargetValue (wetProportion);
    dryWeight.setTargetValue (1.0f - wetProportion);
}

void OverdriveKernel::setToneCutoff (float cutoffHz) noexcept
{
    if (cutoffHz == toneCutoff)
        return;

    toneCutoff = cutoffHz;
    const OnePole tone (cutoffHz, sampleRate);
    frame.toneFeedback = (float) tone.feedback;
    frame.toneInput = (float) tone.input;
    frame.toneG = (float) tone.g;
    frame.toneFreeLength = 0;
    toneJustMoved = true;
}

void OverdriveKernel::extendToneFreeResponse (int length) noexcept
{
    // The tone filters with no input, as the variants work them out, from each
    // state at one in turn; the DC blocker's part is fixed from prepare. The four
    // starting states advance side by side, and no step waits on more than a
    // multiply and two sums.
    constexpr auto numStates = Frame::numToneStates;
    const double feedback = frame.toneFeedback, input = frame.toneInput;
    const double wet = wetWeight.getTargetValue();
    const auto meanWeight = 0.5 * (1.0 + feedback);

    const auto tone1FromDc = input * wet;
    const auto tone2FromTone1 = input * meanWeight;
    const auto tone2FromDc = 0.5 * input * input * wet;
    const auto outputFromTone1 = 0.5 * input * meanWeight;
    const auto outputFromDc = 0.25 * input * input * wet;

    auto j = frame.toneFreeLength;
    double tone1[numStates], tone2[numStates];

    for (int from = 0; from < numStates; ++from)
    {
        tone1[from] = j == 0 ? (from == 2 ? 1.0 : 0.0) : frame.toneFreeStates[j - 1][2][from];
        tone2[from] = j == 0 ? (from == 3 ? 1.0 : 0.0) : frame.toneFreeStates[j - 1][3][from];
    }

    for (; j <= length; ++j)
    {
        auto& now = frame.toneFreeStates[j];

        if (j > 0)
        {
            const auto& dcBefore = frame.toneFreeStates[j - 1][0];

            for (int from = 0; from < numStates; ++from)
            {
                const auto tone1Before = tone1[from];
                tone1[from] = feedback * tone1Before + tone1FromDc * dcBefore[from];
                tone2[from] = feedback * tone2[from] + tone2FromTone1 * tone1Before + tone2FromDc * dcBefore[from];
            }
        }

        for (int from = 0; from < numStates; ++from)
        {
            now[2][from] = tone1[from];
            now[3][from] = tone2[from];
        }

        if (j < halfLength)
            for (int from = 0; from < numStates; ++from)
                frame.toneFreeOutput[from][j + 1] = (float) (meanWeight * tone2[from] + outputFromTone1 * tone1[from]
                                                             + outputFromDc * now[0][from]);
    }

    frame.toneFreeLength = juce::jmax (frame.toneFreeLength, length + 1);
}

void OverdriveKernel::process (float* const* channels, int numChannels, int numSamples,
                               float driveGain, float bias, float levelGain,
                               const float* biasPerSample) noexcept
{
    numChannels = juce::jmin (numChannels, preparedChannels);

    if (variant == nullptr || numChannels <= 0 || numSamples <= 0)
        return;

    auto* left = channels[0];
    auto* right = numChannels > 1 ? channels[1] : nullptr;

    for (int start = 0; start < numSamples; start += stretchLength)
    {
        const auto length = juce::jmin (stretchLength, numSamples - start);
        const auto fading = wetWeight.isSmoothing() || dryWeight.isSmoothing();

        if (fading)
        {
            for (int i = 0; i < length; ++i)
            {
                stretch.wetWeight[i] = wetWeight.getNextValue();
                stretch.dryWeight[i] = dryWeight.getNextValue();
            }
        }

        const auto singleChannel = preparedChannels == 1;
        const auto halfOfStretch = (length + 1) / 2;
        auto splitInHalves = singleChannel && halvesFitLanes && ! fading;

        // After the tone moves the tables must be worked out again, which a
        // full stretch repays; a shorter one (a host's small block) right after
        // the move is played one sample at a time instead, so that a hand turning
        // the knob costs small blocks nothing extra.
        if (splitInHalves && frame.toneFreeLength <= halfOfStretch)
        {
            if (toneJustMoved && length < stretchLength)
                splitInHalves = false;
            else
                extendToneFreeResponse (halfOfStretch);
        }

        toneJustMoved = false;

        const StretchSettings settings { driveGain, bias, levelGain,
                                         wetWeight.getTargetValue(), dryWeight.getTargetValue(),
                                         fading, singleChannel, splitInHalves,
                                         biasPerSample != nullptr ? biasPerSample + start : nullptr };

        variant (frame, stretch, left + start, right != nullptr ? right + start : nullptr, length, settings);
    }
}

#endif // HWY_ONCE
