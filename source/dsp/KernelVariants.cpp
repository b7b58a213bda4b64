// Highway compiles this file once per instruction set (foreach_target.h includes
// it again for each, and with it the stages and the halves): everything outside
// the per-target namespace sits behind HWY_ONCE. Each set's code is compiled under
// its own target attribute, so no shared inline function is ever built with
// instructions the baseline lacks. The module uses Highway's headers only and
// links none of its libraries.

#include "KernelVariants.h"

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
#define HWY_TARGET_INCLUDE "KernelVariants.cpp"
#include <hwy/foreach_target.h>

#include <hwy/highway.h>

#include "KernelStages-inl.h"
#include "KernelHalves-inl.h"

HWY_BEFORE_NAMESPACE();
namespace brask_overdrive_kernel::HWY_NAMESPACE
{
    static size_t pairLanes()
    {
        return hn::Lanes (ChannelLanes());
    }

    static void processStretch (FilterState& filters, Stretch& stretch, float* left, float* right, int length, const StretchSettings& settings)
    {
        const auto numSamples = (size_t) length;

        const auto lanes = hn::Lanes (ChannelLanes());

        if (settings.splitInHalves && lanes >= numChannels && right == nullptr)
        {
            if (settings.biasPerSample != nullptr)
                processHalves<true> (filters, stretch, left, numSamples, settings);
            else
                processHalves<false> (filters, stretch, left, numSamples, settings);

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
                driveStage<false, true> (filters, stretch, numSamples, settings, channel);
        }
        else
        {
            for (size_t channel = 0; channel < channelsInUse; channel += lanes)
                driveStage<false, false> (filters, stretch, numSamples, settings, channel);
        }

        clipStage (stretch, numSamples, channelsInUse);
        prepareToneInputs (filters, stretch, numSamples, settings, channelsInUse);

        for (size_t channel = 0; channel < channelsInUse; channel += lanes)
        {
            if (settings.fading)
                toneStage<true> (filters, stretch, numSamples, settings, channel);
            else
                toneStage<false> (filters, stretch, numSamples, settings, channel);
        }

        scatterChannels (stretch, left, right, numSamples);
    }
}  // namespace brask_overdrive_kernel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

KernelVariants::Variant KernelVariants::forSet (KernelLayout::InstructionSet set) noexcept
{
    namespace variants = brask_overdrive_kernel;

    using Set = KernelLayout::InstructionSet;

#if HWY_ARCH_X86
    if (set == Set::avx512)
        return { variants::N_AVX3::processStretch, variants::N_AVX3::pairLanes };
    if (set == Set::avx2)
        return { variants::N_AVX2::processStretch, variants::N_AVX2::pairLanes };
#elif HWY_ARCH_ARM_A64
    if (set == Set::sve2)
        return { variants::N_SVE2::processStretch, variants::N_SVE2::pairLanes };
    if (set == Set::sve)
        return { variants::N_SVE::processStretch, variants::N_SVE::pairLanes };
    if (set == Set::neon)
        return { variants::N_NEON::processStretch, variants::N_NEON::pairLanes };
#endif
    (void) set;

#if HWY_BROKEN_EMU128
    // Highway's choice of portable fallback for compilers with a known fault in the other.
    return { variants::N_SCALAR::processStretch, variants::N_SCALAR::pairLanes };
#else
    return { variants::N_EMU128::processStretch, variants::N_EMU128::pairLanes };
#endif
}

#endif  // HWY_ONCE
