#include "KernelHalves.h"

#include <algorithm>
#include <iterator>

namespace
{
    constexpr int halfLength = KernelLayout::halfLength;
}

void KernelHalves::fillLowCutFreeResponse (KernelLayout::FilterState& filters) noexcept
{
    // With no input the low cut's state s decays as s·a^j and its output is −c·s·a^j.
    std::fill (std::begin (filters.lowCutFreeOutput), std::end (filters.lowCutFreeOutput), 0.0);
    auto decay = 1.0;

    for (int j = 0; j <= halfLength; ++j)
    {
        filters.lowCutFreeState[j] = decay;

        if (j < halfLength)
            filters.lowCutFreeOutput[2 * (j + 1) + 1] = -filters.lowCutOutput * decay;

        decay *= filters.lowCutFeedback;
    }
}

void KernelHalves::fillDcBlockerFreeStates (KernelLayout::FilterState& filters) noexcept
{
    // The DC blocker's states with no input, from each at one (the tone filters'
    // states never reach it); the tone filters' part follows the tone.
    for (int j = 0; j <= halfLength; ++j)
    {
        auto& now = filters.toneFreeStates[j];

        for (int from = 0; from < KernelLayout::FilterState::numToneStates; ++from)
        {
            if (j == 0)
            {
                now[0][from] = from == 0 ? 1.0 : 0.0;
                now[1][from] = from == 1 ? 1.0 : 0.0;
            }
            else
            {
                const auto& before = filters.toneFreeStates[j - 1];
                now[0][from] = before[1][from] - filters.dcA1 * before[0][from];
                now[1][from] = -filters.dcA2 * before[0][from];
            }
        }
    }

    filters.toneFreeLength = 0;
}

void KernelHalves::extendToneFreeResponse (KernelLayout::FilterState& filters, int length, double wet) noexcept
{
    // The tone filters with no input, as the variants work them out, from each
    // state at one in turn; the DC blocker's part is fixed from prepare. The four
    // starting states advance side by side, and no step waits on more than a
    // multiply and two sums.
    constexpr auto numStates = KernelLayout::FilterState::numToneStates;
    const double feedback = filters.toneFeedback, input = filters.toneInput;
    const auto meanWeight = 0.5 * (1.0 + feedback);

    const auto tone1FromDc = input * wet;
    const auto tone2FromTone1 = input * meanWeight;
    const auto tone2FromDc = 0.5 * input * input * wet;
    const auto outputFromTone1 = 0.5 * input * meanWeight;
    const auto outputFromDc = 0.25 * input * input * wet;

    auto j = filters.toneFreeLength;
    double tone1[numStates], tone2[numStates];

    for (int from = 0; from < numStates; ++from)
    {
        tone1[from] = j == 0 ? (from == 2 ? 1.0 : 0.0) : filters.toneFreeStates[j - 1][2][from];
        tone2[from] = j == 0 ? (from == 3 ? 1.0 : 0.0) : filters.toneFreeStates[j - 1][3][from];
    }

    for (; j <= length; ++j)
    {
        auto& now = filters.toneFreeStates[j];

        if (j > 0)
        {
            const auto& dcBefore = filters.toneFreeStates[j - 1][0];

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
                filters.toneFreeOutput[from][j + 1] = (float) (meanWeight * tone2[from] + outputFromTone1 * tone1[from]
                                                               + outputFromDc * now[0][from]);
    }

    filters.toneFreeLength = std::max (filters.toneFreeLength, length + 1);
}
