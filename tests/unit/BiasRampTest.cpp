#include "dsp/BiasRamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

// The bias creeps up one step per sample, 0.8·n/fs after the n-th, for the first
// 0.1 s the pedal plays (to 0.08), and then holds; its count is never reset, so a
// later rate carries on from it. Expected values are worked out here in double.

namespace
{
    // Plays `samples` samples in calls of `callLength`, collecting every value given.
    std::vector<float> play (BiasRamp& ramp, float sampleRate, int samples, int callLength)
    {
        std::vector<float> values;

        while ((int) values.size() < samples)
        {
            const auto stepped = ramp.advance (sampleRate, std::min (callLength, samples - (int) values.size()));

            if (stepped == 0)
                break;

            values.insert (values.end(), ramp.getValues(), ramp.getValues() + stepped);
        }

        return values;
    }
}

//==============================================================================
TEST (BiasRamp, StepsOncePerSampleTo0Point08Over100MillisecondsAtEveryRate)
{
    struct Case
    {
        float sampleRate;
        int steps;
    };

    for (const auto c : { Case { 44100.0f, 4410 }, Case { 48000.0f, 4800 }, Case { 96000.0f, 9600 }, Case { 192000.0f, 19200 } })
    {
        for (const auto callLength : { 1, 7, 256, 100000 })
        {
            BiasRamp ramp;
            const auto values = play (ramp, c.sampleRate, 1000000, callLength);

            ASSERT_EQ ((int) values.size(), c.steps) << c.sampleRate << " Hz, calls of " << callLength;

            for (int n = 1; n <= c.steps; n += 97)
                EXPECT_NEAR (values[(size_t) n - 1], 0.8 * n / c.sampleRate, 1.0e-7) << "step " << n << " at " << c.sampleRate;

            EXPECT_NEAR (values.back(), 0.08, 1.0e-7) << c.sampleRate;
            EXPECT_NEAR (ramp.getBias(), 0.08, 1.0e-7) << c.sampleRate;
            EXPECT_EQ (ramp.getCounter(), (float) c.steps) << c.sampleRate;

            // Over: no more steps, the bias holds.
            EXPECT_EQ (ramp.advance (c.sampleRate, 256), 0);
            EXPECT_NEAR (ramp.getBias(), 0.08, 1.0e-7);
        }
    }
}

TEST (BiasRamp, NeverGivesMoreThanAskedOrThanOneCallHolds)
{
    BiasRamp ramp;

    EXPECT_EQ (ramp.advance (48000.0f, 0), 0);
    EXPECT_EQ (ramp.getCounter(), 0.0f);
    EXPECT_EQ (ramp.advance (48000.0f, 3), 3);
    EXPECT_EQ (ramp.advance (48000.0f, 100000), BiasRamp::maxStepsPerCall);
    EXPECT_EQ (ramp.getCounter(), (float) (3 + BiasRamp::maxStepsPerCall));
}

TEST (BiasRamp, CarriesItsCountOverToAnotherRate)
{
    // 2000 samples at 44.1 kHz, then the host prepares again at 96 kHz: the count
    // goes on from 2000, each step now 0.8/96000, to the new rate's end at 9600.
    BiasRamp ramp;
    ASSERT_EQ (play (ramp, 44100.0f, 2000, 256).size(), 2000u);
    EXPECT_NEAR (ramp.getBias(), 0.8 * 2000 / 44100.0, 1.0e-7);

    const auto after = play (ramp, 96000.0f, 1000000, 256);
    ASSERT_EQ (after.size(), 9600u - 2000u);
    EXPECT_NEAR (after.front(), 0.8 * 2001 / 96000.0, 1.0e-7);
    EXPECT_NEAR (after.back(), 0.08, 1.0e-7);

    // Back at a lower rate whose end the count has passed: the ramp is over there too.
    EXPECT_EQ (ramp.advance (48000.0f, 256), 0);
    EXPECT_EQ (ramp.getCounter(), 9600.0f);
}
