#include "plugin/BraskOverdriveAudioProcessor.h"
#include "plugin/PedalSettings.h"
#include "KnobLaw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include "TestNumbers.h"

// How a knob position becomes the chain's setting, whether the knob is turned,
// the pedal is new, or a saved project is reloaded. Expected settings come from
// the pedal's own scales, worked out here in double precision.

namespace
{
    using brask::test::infinity;
    using brask::test::notANumber;

    double driveGainAt (double knob) { return KnobLaw::driveGain (knob); }
    double toneCutoffAt (double knob) { return KnobLaw::toneCutoffHz (knob); }
    double levelGainAt (double knob) { return KnobLaw::levelGain (knob); }

    enum class Knob
    {
        drive,
        tone,
        level
    };

    struct Turn
    {
        Knob knob;
        float value;     // what the panel or a saved project hands over
        float position;  // where the knob then stands: within 0..1, NaN at the middle
    };

    const Turn turns[] = {
        { Knob::drive, 0.0f, 0.0f },
        { Knob::drive, 0.25f, 0.25f },
        { Knob::drive, 0.5f, 0.5f },
        { Knob::drive, 1.0f, 1.0f },
        { Knob::drive, -0.3f, 0.0f },
        { Knob::drive, 7.0f, 1.0f },
        { Knob::drive, notANumber, 0.5f },
        { Knob::drive, infinity, 1.0f },
        { Knob::drive, -infinity, 0.0f },
        { Knob::tone, 0.0f, 0.0f },
        { Knob::tone, 0.123f, 0.123f },
        { Knob::tone, 0.5f, 0.5f },
        { Knob::tone, 1.0f, 1.0f },
        { Knob::tone, -5.0f, 0.0f },
        { Knob::tone, 1.5f, 1.0f },
        { Knob::tone, notANumber, 0.5f },
        { Knob::level, 0.0f, 0.0f },
        { Knob::level, 5.0e-6f, 5.0e-6f },
        { Knob::level, 1.0e-5f, 1.0e-5f },
        { Knob::level, 2.0e-5f, 2.0e-5f },
        { Knob::level, 0.5f, 0.5f },
        { Knob::level, 1.0f, 1.0f },
        { Knob::level, -1.0f, 0.0f },
        { Knob::level, 3.0f, 1.0f },
        { Knob::level, notANumber, 0.5f },
        { Knob::level, -infinity, 0.0f },
    };

    const char* nameOf (Knob knob)
    {
        switch (knob)
        {
            case Knob::drive: return "drive";
            case Knob::tone: return "tone";
            case Knob::level: return "level";
        }

        return "";
    }

    float positionOf (const BraskOverdriveAudioProcessor& processor, Knob knob)
    {
        switch (knob)
        {
            case Knob::drive: return processor.drive.load();
            case Knob::tone: return processor.tone.load();
            case Knob::level: return processor.level.load();
        }

        return -1.0f;
    }

    double settingOf (const BraskOverdriveAudioProcessor& processor, Knob knob)
    {
        switch (knob)
        {
            case Knob::drive: return processor.getDriveGain();
            case Knob::tone: return processor.getToneCutoffHz();
            case Knob::level: return processor.getLevelGain();
        }

        return -1.0;
    }

    double expectedSetting (Knob knob, double position)
    {
        switch (knob)
        {
            case Knob::drive: return driveGainAt (position);
            case Knob::tone: return toneCutoffAt (position);
            case Knob::level: return levelGainAt (position);
        }

        return -1.0;
    }

    void turn (BraskOverdriveAudioProcessor& processor, Knob knob, float value)
    {
        switch (knob)
        {
            case Knob::drive: processor.setDrive (value); break;
            case Knob::tone: processor.setTone (value); break;
            case Knob::level: processor.setLevel (value); break;
        }
    }

    void restore (BraskOverdriveAudioProcessor& processor, float drive, float tone, float level, bool on)
    {
        const auto bytes = PedalSettings { drive, tone, level, on }.toBytes();
        processor.setStateInformation (bytes.data(), (int) bytes.size());
    }

    // Single-precision arithmetic in the mapping leaves about 1e-7 of the value;
    // a wrong scale or curve is off by far more.
    void expectSetting (double actual, double expected, const std::string& what)
    {
        EXPECT_NEAR (actual, expected, 2.0e-6 * std::abs (expected)) << what;
    }
}

//==============================================================================
TEST (KnobMapping, EachKnobTurnSetsItsScaleValue)
{
    for (const auto& t : turns)
    {
        const auto what = std::string (nameOf (t.knob)) + " turned to " + std::to_string (t.value);
        BraskOverdriveAudioProcessor processor;

        turn (processor, t.knob, t.value);

        EXPECT_EQ (positionOf (processor, t.knob), t.position) << what;
        expectSetting (settingOf (processor, t.knob), expectedSetting (t.knob, t.position), what);
    }
}

TEST (KnobMapping, TheScaleEndsAndMiddleAreThePedalFigures)
{
    BraskOverdriveAudioProcessor processor;

    processor.setDrive (0.0f);
    EXPECT_EQ (processor.getDriveGain(), 1.0f);
    processor.setDrive (0.5f);
    EXPECT_NEAR (processor.getDriveGain(), 15.85f, 0.005f);
    processor.setDrive (1.0f);
    EXPECT_NEAR (processor.getDriveGain(), 251.19f, 0.005f);

    processor.setTone (0.0f);
    EXPECT_EQ (processor.getToneCutoffHz(), 1000.0f);
    processor.setTone (1.0f);
    EXPECT_EQ (processor.getToneCutoffHz(), 11000.0f);

    processor.setLevel (1.0f);
    EXPECT_EQ (processor.getLevelGain(), 1.0f);
    processor.setLevel (1.0e-5f);
    EXPECT_EQ (processor.getLevelGain(), 0.0f);
}

TEST (KnobMapping, ANewPedalPlaysItsMiddlePositionsThroughTheSameScales)
{
    BraskOverdriveAudioProcessor processor;

    // +24 dB (x15.85) at the middle of the drive knob, exactly as if it had been turned there.
    expectSetting (processor.getDriveGain(), driveGainAt (0.5), "drive");
    expectSetting (processor.getToneCutoffHz(), 6000.0, "tone");
    expectSetting (processor.getLevelGain(), 0.5, "level");

    // Opening the panel re-applies the stored knobs; nothing may change then.
    BraskOverdriveAudioProcessor turned;
    turned.setDrive (turned.drive.load());
    turned.setTone (turned.tone.load());
    turned.setLevel (turned.level.load());
    EXPECT_EQ (processor.getDriveGain(), turned.getDriveGain());
    EXPECT_EQ (processor.getToneCutoffHz(), turned.getToneCutoffHz());
    EXPECT_EQ (processor.getLevelGain(), turned.getLevelGain());
}

TEST (KnobMapping, ARestoredProjectSetsTheChainThroughTheSameScales)
{
    for (const auto& t : turns)
    {
        const auto what = std::string (nameOf (t.knob)) + " restored as " + std::to_string (t.value);

        // The other two knobs restore somewhere else than their defaults, so that a
        // restore that mixed up the fields would show.
        auto drive = 0.8f, tone = 0.2f, level = 0.9f;

        switch (t.knob)
        {
            case Knob::drive: drive = t.value; break;
            case Knob::tone: tone = t.value; break;
            case Knob::level: level = t.value; break;
        }

        BraskOverdriveAudioProcessor processor;
        restore (processor, drive, tone, level, true);

        EXPECT_EQ (positionOf (processor, t.knob), t.position) << what;
        expectSetting (settingOf (processor, t.knob), expectedSetting (t.knob, t.position), what);

        for (auto other : { Knob::drive, Knob::tone, Knob::level })
        {
            if (other == t.knob)
                continue;

            const auto position = other == Knob::drive ? 0.8 : other == Knob::tone ? 0.2
                                                                                   : 0.9;
            expectSetting (settingOf (processor, other), expectedSetting (other, (float) position),
                           what + ", " + nameOf (other));
        }
    }
}
