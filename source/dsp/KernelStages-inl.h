// The chain's stages for one instruction set, over one stretch of interleaved
// channels: guarding and laying out the input, low cut with drive and bias, the
// clipper, and DC blocker with blend, tone and level. Included by
// KernelVariants.cpp once per set (Highway's foreach_target): the guard below
// lets each pass through compile it again in that set's namespace.

#if defined(BRASK_KERNEL_STAGES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BRASK_KERNEL_STAGES_INL_H_
#undef BRASK_KERNEL_STAGES_INL_H_
#else
#define BRASK_KERNEL_STAGES_INL_H_
#endif

#include "KernelLayout.h"

#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>

#include <cmath>
#include <limits>

HWY_BEFORE_NAMESPACE();
namespace brask_overdrive_kernel::HWY_NAMESPACE
{
    namespace hn = hwy::HWY_NAMESPACE;

    using FilterState = KernelLayout::FilterState;
    using Stretch = KernelLayout::Stretch;
    using StretchSettings = KernelLayout::StretchSettings;

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
    constexpr size_t numChannels = KernelLayout::maxChannels;
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
    HWY_INLINE void driveStage (FilterState& filters, Stretch& stretch, size_t numSamples, const StretchSettings& settings,
                                size_t firstChannel)
    {
        const ChannelLanes pair;
        const WideChannelLanes widePair;
        const auto feedback = hn::Set (widePair, filters.lowCutFeedback);
        const auto feedbackTwice = hn::Set (widePair, filters.lowCutFeedbackTwice);
        const auto inputWeight = hn::Set (widePair, filters.lowCutInput);
        const auto inputAhead = hn::Set (widePair, filters.lowCutInputAhead);
        const auto outputWeight = hn::Set (widePair, filters.lowCutOutput);
        auto state = hn::Load (widePair, filters.lowCut + firstChannel);
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

        hn::Store (state, widePair, filters.lowCut + firstChannel);
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
    HWY_INLINE void prepareToneInputs (const FilterState& filters, Stretch& stretch, size_t numSamples,
                                       const StretchSettings& settings, size_t channelsInUse)
    {
        const hn::ScalableTag<double> d;
        const hn::Rebind<float, decltype (d)> narrow;
        const auto lanes = hn::Lanes (d);
        const auto step = lanes == 1 ? numChannels / channelsInUse : 1;

        const auto b0 = hn::Set (d, filters.dcB0);
        const auto k1 = hn::Set (d, filters.dcK1);
        const auto k2 = hn::Set (d, filters.dcK2);
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
    HWY_INLINE void toneStage (FilterState& filters, Stretch& stretch, size_t numSamples, const StretchSettings& settings,
                               size_t firstChannel)
    {
        const ChannelLanes pair;
        const WideChannelLanes widePair;

        // The 5 Hz high-pass removes the offset the bias leaves after the clipper.
        // Its poles sit so close to DC that it works in double precision.
        const auto a1 = hn::Set (widePair, filters.dcA1);
        const auto a2 = hn::Set (widePair, filters.dcA2);
        const auto k1 = hn::Set (widePair, filters.dcK1);
        auto dc1 = hn::Load (widePair, filters.dcState1 + firstChannel);
        const auto dc2 = hn::Load (widePair, filters.dcState2 + firstChannel);

        const auto drive = hn::Set (pair, settings.driveGain);
        const auto halfLevel = hn::Set (pair, 0.5f * settings.levelGain);
        auto wet = hn::Set (pair, settings.wetWeight);

        const auto toneFeedback = hn::Set (pair, filters.toneFeedback);
        const auto toneInput = hn::Set (pair, filters.toneInput);
        const auto halfToneInput = hn::Set (pair, 0.5f * filters.toneInput);
        auto tone1 = hn::Load (pair, filters.tone1 + firstChannel);
        auto tone2 = hn::Load (pair, filters.tone2 + firstChannel);
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

        hn::Store (dc1, widePair, filters.dcState1 + firstChannel);
        hn::Store (dc2WithNext, widePair, filters.dcState2 + firstChannel);
        hn::Store (tone1, pair, filters.tone1 + firstChannel);
        hn::Store (tone2, pair, filters.tone2 + firstChannel);
    }
}  // namespace brask_overdrive_kernel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // BRASK_KERNEL_STAGES_INL_H_
