// The mono stretch played as two halves side by side, one in each lane, for one
// instruction set; why the sum comes out exact is in KernelHalves.h. Included by
// KernelVariants.cpp once per set, as KernelStages-inl.h is.

#if defined(BRASK_KERNEL_HALVES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BRASK_KERNEL_HALVES_INL_H_
#undef BRASK_KERNEL_HALVES_INL_H_
#else
#define BRASK_KERNEL_HALVES_INL_H_
#endif

#include "KernelStages-inl.h"

HWY_BEFORE_NAMESPACE();
namespace brask_overdrive_kernel::HWY_NAMESPACE
{
    /** One channel, the first half of the stretch in lane 0 and the second in
        lane 1 (see KernelLayout::halfLength). Only for registers with two lanes
        of each type and settled blend weights.
    */
    template <bool biasPerSample>
    HWY_INLINE void processHalves (FilterState& filters, Stretch& stretch, float* samples, size_t numSamples,
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

        filters.lowCut[1] = 0.0;
        filters.dcState1[1] = 0.0;
        filters.dcState2[1] = 0.0;
        filters.tone1[1] = 0.0f;
        filters.tone2[1] = 0.0f;

        driveStage<true, false> (filters, stretch, firstLength, settings, 0);

        // The low cut's state at the middle, carried into the second half before
        // the clipper.
        {
            const hn::ScalableTag<double> d;
            const hn::Rebind<float, decltype (d)> narrow;
            const auto middle = hn::Set (d, filters.lowCut[0]);
            const auto drive = hn::Set (narrow, settings.driveGain);
            const auto steadyBias = hn::Set (narrow, settings.bias);
            const auto* freeOutput = filters.lowCutFreeOutput + 2 * (1 - late);

            for (size_t i = 0; i < numChannels * firstLength; i += hn::Lanes (d))
            {
                const auto lowCut = hn::MulAdd (middle, hn::LoadU (d, freeOutput + i), hn::Load (d, stretch.lowCut + i));
                const auto bias = biasPerSample ? hn::LoadU (narrow, stretch.bias + i) : steadyBias;
                hn::StoreU (hn::MulAdd (drive, hn::DemoteTo (narrow, lowCut), bias), narrow, stretch.driven + i);
            }

            filters.lowCut[0] = filters.lowCut[1] + filters.lowCutFreeState[secondLength] * filters.lowCut[0];
            filters.lowCut[1] = 0.0;
        }

        clipStage (stretch, firstLength);

        if (late != 0)
            stretch.driven[1] = 0.0f;

        prepareToneInputs (filters, stretch, firstLength, settings, numChannels);
        toneStage<false> (filters, stretch, firstLength, settings, 0);

        // The states at the middle, carried into the second half after the clipper.
        constexpr auto numStates = FilterState::numToneStates;
        const double middle[numStates] { filters.dcState1[0], filters.dcState2[0], filters.tone1[0], filters.tone2[0] };
        double atEnd[numStates] { filters.dcState1[1], filters.dcState2[1], filters.tone1[1], filters.tone2[1] };
        const auto& carried = filters.toneFreeStates[secondLength];

        for (int state = 0; state < numStates; ++state)
            for (int from = 0; from < numStates; ++from)
                atEnd[state] += carried[state][from] * middle[from];

        filters.dcState1[0] = atEnd[0];
        filters.dcState2[0] = atEnd[1];
        filters.tone1[0] = (float) atEnd[2];
        filters.tone2[0] = (float) atEnd[3];
        filters.dcState1[1] = filters.dcState2[1] = 0.0;
        filters.tone1[1] = filters.tone2[1] = 0.0f;

        // A late second half's first sample lands on the first half's last, which
        // is written after it.
        {
            const hn::ScalableTag<float> d;
            const auto lanes = hn::Lanes (d);
            float share[numStates];

            for (int state = 0; state < numStates; ++state)
                share[state] = (float) middle[state] * settings.levelGain;

            const auto shift = 1 - late;
            const auto* free0 = filters.toneFreeOutput[0] + shift;
            const auto* free1 = filters.toneFreeOutput[1] + shift;
            const auto* free2 = filters.toneFreeOutput[2] + shift;
            const auto* free3 = filters.toneFreeOutput[3] + shift;
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
}  // namespace brask_overdrive_kernel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // BRASK_KERNEL_HALVES_INL_H_
