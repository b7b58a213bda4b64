#include "dsp/OnePoleFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include "TestNumbers.h"

// The one-pole the chain's low cut and tone filters run on, held against the
// analog RC section it stands for: with the cut-off prewarped, the digital filter's
// gain at f is the analog one's at fs/π·tan (π·f/fs), so at the cut-off each
// half of the pair is exactly 3.01 dB down, at every rate.

namespace
{
    using brask::test::pi;

    // The analog section's gain at the prewarped frequency ratio w = tan (πf/fs) / tan (πfc/fs).
    double expectedGain (bool lowPass, double frequency, double cutoff, double sampleRate)
    {
        const auto w = std::tan (pi * frequency / sampleRate) / std::tan (pi * cutoff / sampleRate);
        return (lowPass ? 1.0 : w) / std::sqrt (1.0 + w * w);
    }

    // Plays a sine through the filter until the start has died away, then fits
    // a·sin + b·cos to the output by least squares: exact for a steady sine,
    // whatever the window holds of a period.
    double measuredGain (bool lowPass, double frequency, double cutoff, double sampleRate)
    {
        OnePoleFilter filter (cutoff, sampleRate);
        const auto step = 2.0 * pi * frequency / sampleRate;

        // Twenty time constants of the slowest case, and several periods.
        const auto settle = (int) (20.0 * sampleRate / (2.0 * pi * cutoff)) + 1000;
        const auto window = (int) (8.0 * sampleRate / frequency) + 1000;

        double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;

        for (int n = 0; n < settle + window; ++n)
        {
            const auto s = std::sin (step * n), c = std::cos (step * n);
            const auto y = lowPass ? filter.processLowPass (s) : filter.processHighPass (s);

            if (n < settle)
                continue;

            ss += s * s;
            cc += c * c;
            sc += s * c;
            ys += y * s;
            yc += y * c;
        }

        const auto determinant = ss * cc - sc * sc;
        const auto a = (ys * cc - yc * sc) / determinant;
        const auto b = (yc * ss - ys * sc) / determinant;
        return std::hypot (a, b);
    }

    double decibels (double gain) { return 20.0 * std::log10 (gain); }

    constexpr double sampleRates[] { 44100.0, 48000.0, 96000.0, 192000.0 };
}

//==============================================================================
TEST (OnePoleFilter, BothHalvesAre3Point01DecibelsDownAtTheCutoffAtEveryRate)
{
    // The low cut's 200 Hz and the tone's ends, 1 kHz and 11 kHz (at 44.1 kHz the
    // tone's ceiling holds it at 0.49·fs, well above).
    for (const auto sampleRate : sampleRates)
        for (const auto cutoff : { 200.0, 1000.0, 11000.0 })
            for (const auto lowPass : { true, false })
                EXPECT_NEAR (decibels (measuredGain (lowPass, cutoff, cutoff, sampleRate)), -3.0103, 0.001)
                    << (lowPass ? "low" : "high") << "-pass at " << cutoff << " Hz, " << sampleRate << " Hz";
}

TEST (OnePoleFilter, FollowsTheRcSectionAboveAndBelowTheCutoff)
{
    for (const auto sampleRate : sampleRates)
        for (const auto cutoff : { 200.0, 6000.0 })
            for (const auto ratio : { 0.1, 0.5, 2.0, 3.5 })
                for (const auto lowPass : { true, false })
                {
                    const auto frequency = cutoff * ratio;
                    const auto expected = expectedGain (lowPass, frequency, cutoff, sampleRate);
                    EXPECT_NEAR (measuredGain (lowPass, frequency, cutoff, sampleRate) / expected, 1.0, 1.0e-6)
                        << (lowPass ? "low" : "high") << "-pass, cut-off " << cutoff << " Hz, at " << frequency
                        << " Hz, " << sampleRate << " Hz";
                }
}

TEST (OnePoleFilter, TheCoefficientsAreTheBilinearRcSection)
{
    // From the analog prototype: the pole at z = (1 − t) / (1 + t), and a low-pass
    // that passes DC whole while its mean-of-states output puts a zero at Nyquist.
    for (const auto sampleRate : sampleRates)
    {
        const auto c = OnePoleFilter::Coefficients::design (1000.0, sampleRate);
        const auto t = std::tan (pi * 1000.0 / sampleRate);

        EXPECT_NEAR (c.feedback, (1.0 - t) / (1.0 + t), 1.0e-15) << sampleRate;
        EXPECT_NEAR (c.input / (1.0 - c.feedback), 1.0, 1.0e-12) << "DC passes whole at " << sampleRate;
        EXPECT_NEAR (c.highPassOutput + c.g, 1.0, 1.0e-15) << "the pair sums to the input at " << sampleRate;
    }
}
