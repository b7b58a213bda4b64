#include "BiasRamp.h"

int BiasRamp::advance (float sampleRate, int maxSamples) noexcept
{
    const auto rampEnd = sampleRate * lengthSeconds;
    const auto limit = maxSamples < maxStepsPerCall ? maxSamples : maxStepsPerCall;
    int stepped = 0;

    for (; stepped < limit && counter < rampEnd; ++stepped)
    {
        counter = counter + 1.0f;
        bias = counter / sampleRate * scale;
        values[stepped] = bias;
    }

    return stepped;
}
