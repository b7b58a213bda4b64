#pragma once

#include <cstdint>
#include <string>

//==============================================================================
/** Peak and RMS of a signal, over every channel, measured as it streams past.
    NaN and infinite samples are counted apart and left out of both levels.
*/
class LevelMeter final
{
public:
    /** One channel's samples; the channels of a file may come in any order. */
    void add (const float* samples, int numSamples);

    float getPeak() const noexcept { return peak; }
    double getRms() const noexcept;
    std::int64_t getNonFinite() const noexcept { return nonFinite; }

    /** "peak -3.1 dBFS, RMS -12.0 dBFS", and how many samples were NaN or infinite. */
    std::string describe() const;

    /** Full scale is 0 dBFS; silence reads as -inf. */
    static std::string toDecibelsText (double gain);

private:
    float peak = 0.0f;
    double sumOfSquares = 0.0;
    std::int64_t count = 0, nonFinite = 0;
};
