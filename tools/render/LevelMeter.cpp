#include "LevelMeter.h"

#include "Decimal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

//==============================================================================
void LevelMeter::add (const float* samples, int numSamples)
{
    // Eight running sums side by side, in two vectors of four lanes; a block's worth
    // of float sums loses nothing that matters before it joins the double total.
    // Lane k of vector h takes samples 4h + k, 4h + k + 8, 4h + k + 16 ...
    using Lanes = float __attribute__ ((vector_size (16)));
    using LaneBits = std::uint32_t __attribute__ ((vector_size (16)));

    Lanes sums[2] {}, largests[2] {};
    int i = 0;

    for (; i + 8 <= numSamples; i += 8)
    {
        for (int half = 0; half < 2; ++half)
        {
            Lanes lanes;
            std::memcpy (&lanes, samples + i + 4 * half, sizeof (lanes));
            sums[half] += lanes * lanes;

            const auto magnitudes = (Lanes) ((LaneBits) lanes & 0x7fffffffu);
            largests[half] = largests[half] < magnitudes ? magnitudes : largests[half];
        }
    }

    float partial[8], largest[8];
    std::memcpy (partial, sums, sizeof (partial));
    std::memcpy (largest, largests, sizeof (largest));

    auto blockSum = 0.0;
    auto blockPeak = 0.0f;

    for (; i < numSamples; ++i)
    {
        blockSum += (double) samples[i] * samples[i];
        blockPeak = std::max (blockPeak, std::abs (samples[i]));
    }

    for (int lane = 0; lane < 8; ++lane)
    {
        blockSum += partial[lane];
        blockPeak = std::max (blockPeak, largest[lane]);
    }

    if (! std::isfinite (blockSum))
    {
        // Rare: go again one sample at a time, setting NaNs and infinities aside.
        blockSum = 0.0;
        blockPeak = 0.0f;

        for (i = 0; i < numSamples; ++i)
        {
            if (! std::isfinite (samples[i]))
            {
                ++nonFinite;
                continue;
            }

            blockSum += (double) samples[i] * samples[i];
            blockPeak = std::max (blockPeak, std::abs (samples[i]));
        }
    }

    peak = std::max (peak, blockPeak);
    sumOfSquares += blockSum;
    count += numSamples;
}

std::string LevelMeter::describe() const
{
    auto text = "peak " + toDecibelsText (peak) + ", RMS " + toDecibelsText (getRms());

    if (nonFinite > 0)
        text += ", " + std::to_string (nonFinite) + (nonFinite == 1 ? " sample" : " samples") + " NaN or infinite";

    return text;
}

double LevelMeter::getRms() const noexcept
{
    const auto finite = count - nonFinite;
    return finite > 0 ? std::sqrt (sumOfSquares / (double) finite) : 0.0;
}

std::string LevelMeter::toDecibelsText (double gain)
{
    if (gain <= 0.0)
        return "-inf dBFS";

    return decimal (20.0 * std::log10 (gain), 1) + " dBFS";
}
