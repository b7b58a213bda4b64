// The chain's filter design (its one-poles from OnePoleFilter, the DC blocker
// from the framework's biquad design) and the stretch loop: what each prepare, tone change
// and block does outside the machine code. The stages themselves are in
// KernelStages-inl.h, the mono halves in KernelHalves*, the choice of instruction
// set in InstructionSets.cpp.

#include "OverdriveKernel.h"
#include "KernelHalves.h"
#include "KernelVariants.h"
#include "OnePoleFilter.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace
{
    constexpr double lowCutHz = 200.0;
    constexpr double dcBlockerHz = 5.0;
    constexpr float wetProportion = 0.99f;
    constexpr double blendFadeSeconds = 0.05;
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
    instructionSet = chosenInstructionSet();
    const auto chosen = KernelVariants::forSet (instructionSet);
    variant = chosen.process;

    sampleRate = newSampleRate;
    preparedChannels = juce::jlimit (0, maxChannels, numChannels);
    halvesFitLanes = chosen.pairLanes() >= (size_t) maxChannels;

    const auto lowCut = OnePoleFilter::Coefficients::design (lowCutHz, sampleRate);
    filters.lowCutFeedback = lowCut.feedback;
    filters.lowCutInput = lowCut.input;
    filters.lowCutOutput = lowCut.highPassOutput;
    filters.lowCutFeedbackTwice = lowCut.feedback * lowCut.feedback;
    filters.lowCutInputAhead = lowCut.feedback * lowCut.input;

    KernelHalves::fillLowCutFreeResponse (filters);

    const auto blocker = juce::dsp::IIR::Coefficients<double>::makeHighPass (sampleRate, dcBlockerHz);
    const auto* c = blocker->getRawCoefficients();  // b0, b1, b2, a1, a2 with a0 = 1
    filters.dcB0 = c[0];
    filters.dcA1 = c[3];
    filters.dcA2 = c[4];
    filters.dcK1 = c[1] - c[3] * c[0];
    filters.dcK2 = c[2] - c[4] * c[0];

    KernelHalves::fillDcBlockerFreeStates (filters);

    std::fill (std::begin (filters.lowCut), std::end (filters.lowCut), 0.0);
    std::fill (std::begin (filters.tone1), std::end (filters.tone1), 0.0f);
    std::fill (std::begin (filters.tone2), std::end (filters.tone2), 0.0f);
    std::fill (std::begin (filters.dcState1), std::end (filters.dcState1), 0.0);
    std::fill (std::begin (filters.dcState2), std::end (filters.dcState2), 0.0);

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
    const auto settled1 = -filters.dcB0 * clipped;
    const auto settled2 = filters.dcK2 * clipped - filters.dcA2 * settled1;

    std::fill (std::begin (filters.lowCut), std::end (filters.lowCut), 0.0);
    std::fill (std::begin (filters.tone1), std::end (filters.tone1), 0.0f);
    std::fill (std::begin (filters.tone2), std::end (filters.tone2), 0.0f);

    for (int channel = 0; channel < maxChannels; ++channel)
    {
        const auto inUse = channel < preparedChannels;
        filters.dcState1[channel] = inUse ? settled1 : 0.0;
        filters.dcState2[channel] = inUse ? settled2 : 0.0;
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
    const auto tone = OnePoleFilter::Coefficients::design (cutoffHz, sampleRate);
    filters.toneFeedback = (float) tone.feedback;
    filters.toneInput = (float) tone.input;
    filters.toneG = (float) tone.g;
    filters.toneFreeLength = 0;
    toneJustMoved = true;
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
        if (splitInHalves && filters.toneFreeLength <= halfOfStretch)
        {
            if (toneJustMoved && length < stretchLength)
                splitInHalves = false;
            else
                KernelHalves::extendToneFreeResponse (filters, halfOfStretch, wetWeight.getTargetValue());
        }

        toneJustMoved = false;

        const StretchSettings settings { driveGain, bias, levelGain,
                                         wetWeight.getTargetValue(), dryWeight.getTargetValue(),
                                         fading, singleChannel, splitInHalves,
                                         biasPerSample != nullptr ? biasPerSample + start : nullptr };

        variant (filters, stretch, left + start, right != nullptr ? right + start : nullptr, length, settings);
    }
}
