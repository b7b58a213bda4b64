#include "lv2/Lv2AudioPath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>
#include "TestNumbers.h"

// The LV2 audio path: the host's buffers, however it arranges them, played by the
// pedal exactly as the pedal plays the same audio on its own; the enabled port
// read as LV2 reads it and faded without a click; activate after deactivate
// starting from silence; the latency port always written.

namespace
{
    constexpr double rate = 48000.0;
    using brask::test::pi;

    float testSignal (int channel, int64_t i)
    {
        return channel == 0 ? 0.4f * (float) std::sin (2.0 * pi * 220.0 * (double) i / rate)
                            : 0.3f * (float) std::sin (2.0 * pi * 331.0 * (double) i / rate + 0.5);
    }

    struct Pedal
    {
        Pedal() { processor.prepareToPlay (rate, 8192); }

        BraskOverdriveAudioProcessor processor;
        Lv2AudioPath path { processor, rate };
    };

    // The pedal on its own, in the same runs: what every arrangement must give.
    std::vector<std::vector<float>> played (const std::vector<std::vector<float>>& input, const std::vector<int>& runs)
    {
        BraskOverdriveAudioProcessor processor;
        processor.prepareToPlay (rate, 8192);
        auto output = input;
        juce::MidiBuffer midi;
        int done = 0;

        for (const auto run : runs)
        {
            float* channels[] = { output[0].data() + done, output[1].data() + done };
            juce::AudioBuffer<float> block (channels, 2, run);
            processor.processBlock (block, midi);
            done += run;
        }

        return output;
    }

    float largestStep (const std::vector<float>& samples, size_t from, size_t to)
    {
        float largest = 0.0f;

        for (auto i = std::max<size_t> (from, 1); i < to; ++i)
            largest = std::max (largest, std::abs (samples[i] - samples[i - 1]));

        return largest;
    }
}

//==============================================================================
TEST (Lv2AudioPath, EveryWayAHostArrangesItsBuffersPlaysAsThePedalAlone)
{
    // Four buffers a host may hand out; each arrangement names which one each port gets.
    struct Arrangement
    {
        const char* name;
        int inLeft, inRight, outLeft, outRight;
    };

    const Arrangement arrangements[] = {
        { "separate inputs and outputs", 0, 1, 2, 3 },
        { "in place", 0, 1, 0, 1 },
        { "crosswise (output left on input right)", 0, 1, 1, 0 },
        { "output left on input right only", 0, 1, 1, 2 },
        { "output right on input left only", 0, 1, 2, 0 },
        { "one input buffer for both channels", 0, 0, 2, 3 },
        { "one input buffer, output left on it", 0, 0, 0, 3 },
    };

    std::mt19937 random (5);
    std::vector<int> runs;
    int total = 0;

    for (int i = 0; i < 40; ++i)
    {
        runs.push_back (i % 7 == 0 ? 0 : std::uniform_int_distribution<int> (1, 3000) (random));
        total += runs.back();
    }

    for (const auto& arrangement : arrangements)
    {
        SCOPED_TRACE (arrangement.name);
        const auto sharedInput = arrangement.inLeft == arrangement.inRight;

        std::vector<std::vector<float>> input (2, std::vector<float> ((size_t) total));
        for (int channel = 0; channel < 2; ++channel)
            for (int i = 0; i < total; ++i)
                input[(size_t) channel][(size_t) i] = testSignal (sharedInput ? 0 : channel, i);

        const auto expected = played (input, runs);

        Pedal pedal;
        std::vector<std::vector<float>> buffers (4, std::vector<float> (3000));
        std::vector<std::vector<float>> output (2);
        pedal.path.connectInput (0, buffers[(size_t) arrangement.inLeft].data());
        pedal.path.connectInput (1, buffers[(size_t) arrangement.inRight].data());
        pedal.path.connectOutput (0, buffers[(size_t) arrangement.outLeft].data());
        pedal.path.connectOutput (1, buffers[(size_t) arrangement.outRight].data());
        pedal.path.activate();
        int done = 0;

        for (const auto run : runs)
        {
            for (int i = 0; i < run; ++i)
            {
                buffers[(size_t) arrangement.inLeft][(size_t) i] = input[0][(size_t) (done + i)];
                buffers[(size_t) arrangement.inRight][(size_t) i] = input[1][(size_t) (done + i)];
            }

            pedal.path.run ((uint32_t) run);

            for (int channel = 0; channel < 2; ++channel)
            {
                const auto& out = buffers[(size_t) (channel == 0 ? arrangement.outLeft : arrangement.outRight)];
                output[(size_t) channel].insert (output[(size_t) channel].end(), out.begin(), out.begin() + run);
            }

            done += run;
        }

        ASSERT_NE (expected[0], input[0]) << "the pedal played nothing";
        EXPECT_EQ (output[0], expected[0]);
        EXPECT_EQ (output[1], expected[1]);
    }
}

TEST (Lv2AudioPath, BringingInputsToOutputsReadsEachInputBeforeOverwritingIt)
{
    std::vector<float> a { 1, 2, 3 }, b { 4, 5, 6 }, c (3, -1.0f);

    const float* crossIn[] = { a.data(), b.data() };
    float* crossOut[] = { b.data(), a.data() };
    Lv2AudioPath::bringInputsToOutputs (crossIn, crossOut, 2, 3);
    EXPECT_EQ (b, (std::vector<float> { 1, 2, 3 }));
    EXPECT_EQ (a, (std::vector<float> { 4, 5, 6 }));

    // An input the host left unconnected is silence; an output it left out is skipped.
    const float* missingIn[] = { nullptr, a.data() };
    float* missingOut[] = { c.data(), nullptr };
    Lv2AudioPath::bringInputsToOutputs (missingIn, missingOut, 2, 3);
    EXPECT_EQ (c, (std::vector<float> (3, 0.0f)));
    EXPECT_EQ (a, (std::vector<float> { 4, 5, 6 }));
}

//==============================================================================
TEST (Lv2AudioPath, TheLatencyPortReadsZeroAfterEveryRunEmptyOnesToo)
{
    Pedal pedal;
    auto latency = std::numeric_limits<float>::quiet_NaN();
    pedal.path.connectLatency (&latency);
    pedal.path.activate();
    pedal.path.run (0);
    EXPECT_EQ (latency, 0.0f);
}

TEST (Lv2AudioPath, EnabledIsOnAboveZeroAndOffPassesTheInputWithNothingAdvancing)
{
    struct Case
    {
        const char* name;
        std::optional<float> enabled;
        bool plays;
    };

    const Case cases[] = {
        { "1", 1.0f, true },
        { "0.3", 0.3f, true },
        { "the smallest float above 0", std::numeric_limits<float>::denorm_min(), true },
        { "0", 0.0f, false },
        { "-0", -0.0f, false },
        { "-1", -1.0f, false },
        { "not connected", std::nullopt, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        Pedal pedal;
        auto enabled = c.enabled.value_or (0.0f);
        std::vector<float> left (512), right (512);

        for (int i = 0; i < 512; ++i)
        {
            left[(size_t) i] = testSignal (0, i);
            right[(size_t) i] = testSignal (1, i);
        }

        const auto input = left;
        pedal.path.connectInput (0, left.data());
        pedal.path.connectInput (1, right.data());
        pedal.path.connectOutput (0, left.data());
        pedal.path.connectOutput (1, right.data());
        pedal.path.connectEnabled (c.enabled ? &enabled : nullptr);
        pedal.path.activate();
        pedal.path.run (512);

        // The first value applies at once: there is nothing to fade from.
        if (c.plays)
        {
            EXPECT_NE (left, input);
            EXPECT_EQ (pedal.processor.getBiasCounter(), 512.0f);
        }
        else
        {
            EXPECT_EQ (0, std::memcmp (left.data(), input.data(), left.size() * sizeof (float)));
            EXPECT_EQ (pedal.processor.getBiasCounter(), 0.0f);
        }
    }
}

TEST (Lv2AudioPath, SwitchingEnabledFadesWithoutAClick)
{
    // A quiet low note, where a hard switch between the pedal's output and its
    // input is a step far larger than any the note makes on either side.
    Pedal pedal;
    auto enabled = 1.0f;
    constexpr int run = 256;
    constexpr int runs = 400;
    std::vector<float> left (run), right (run), output, dry;
    pedal.path.connectInput (0, left.data());
    pedal.path.connectInput (1, right.data());
    pedal.path.connectOutput (0, left.data());
    pedal.path.connectOutput (1, right.data());
    pedal.path.connectEnabled (&enabled);
    pedal.path.activate();

    const auto offAt = 100 * run, onAt = 250 * run;

    for (int r = 0; r < runs; ++r)
    {
        for (int i = 0; i < run; ++i)
            left[(size_t) i] = right[(size_t) i] = 0.05f * (float) std::sin (2.0 * pi * 40.0 * (r * run + i) / rate);

        dry.insert (dry.end(), left.begin(), left.end());
        enabled = r * run >= offAt && r * run < onAt ? 0.0f : 1.0f;

        pedal.path.run (run);
        output.insert (output.end(), left.begin(), left.end());
    }

    const auto fade = (size_t) std::lround (Lv2EnabledFade::fadeSeconds * rate);

    for (const auto switchAt : { (size_t) offAt, (size_t) onAt })
    {
        SCOPED_TRACE (switchAt == (size_t) offAt ? "switching off" : "switching on");

        // Steady playing on each side, and the largest gap between pedal and input around the switch.
        const auto before = largestStep (output, switchAt - 4000, switchAt);
        const auto after = largestStep (output, switchAt + fade + 10, switchAt + fade + 4000);
        float gap = 0.0f;

        for (auto i = switchAt - 2 * fade; i < switchAt + 2 * fade; ++i)
            gap = std::max (gap, std::abs (output[i] - dry[i]));

        const auto steady = std::max (before, after);
        const auto during = largestStep (output, switchAt - 2, switchAt + fade + 2);

        // The fade spreads the gap over its length. Switching on, the pedal starts as
        // from silence, and the low cut and tone stages settle onto the signal
        // within the fade's first milliseconds, while its weight is still small:
        // that adds up to about twice the fade's own step.
        const auto allowed = steady + 4.0f * gap / (float) fade;

        // The test can see a click: a hard switch steps by about the gap.
        ASSERT_GT (gap, 10.0f * allowed);
        EXPECT_LE (during, allowed) << "largest step " << during << ", steady " << steady << ", gap " << gap;
    }

    // Fully off in the middle: the input, bit for bit.
    const auto middle = (size_t) (offAt + onAt) / 2;
    EXPECT_EQ (0, std::memcmp (output.data() + middle, dry.data() + middle, 1000 * sizeof (float)));
}

//==============================================================================
TEST (Lv2AudioPath, ActivateAfterDeactivateStartsFromSilence)
{
    constexpr int run = 512;
    const auto silencePeak = [] (bool reactivates) {
        Pedal pedal;
        pedal.processor.setDrive (1.0f);
        pedal.processor.setLevel (1.0f);
        std::vector<float> left (run), right (run);
        pedal.path.connectInput (0, left.data());
        pedal.path.connectInput (1, right.data());
        pedal.path.connectOutput (0, left.data());
        pedal.path.connectOutput (1, right.data());
        pedal.path.activate();

        // A loud note for a second, past the bias ramp.
        for (int r = 0; r < 94; ++r)
        {
            for (int i = 0; i < run; ++i)
                left[(size_t) i] = right[(size_t) i] = 0.9f * (float) std::sin (2.0 * pi * 82.0 * (r * run + i) / rate);

            pedal.path.run (run);
        }

        if (reactivates)
        {
            pedal.path.deactivate();
            pedal.path.activate();
        }

        float peak = 0.0f;

        for (int r = 0; r < 20; ++r)
        {
            std::fill (left.begin(), left.end(), 0.0f);
            std::fill (right.begin(), right.end(), 0.0f);
            pedal.path.run (run);

            for (int i = 0; i < run; ++i)
                peak = std::max ({ peak, std::abs (left[(size_t) i]), std::abs (right[(size_t) i]) });
        }

        return peak;
    };

    // Carrying on, the filters ring out the note: that is what a re-activation must not hear.
    ASSERT_GT (silencePeak (false), 1.0e-3f);
    EXPECT_LT (silencePeak (true), 1.0e-6f) << "not below -120 dBFS";
}

TEST (Lv2AudioPath, TheFirstActivateChangesNothing)
{
    // The blend's fade-in after the pedal is made stays as it is.
    const std::vector<int> runs (10, 512);
    std::vector<std::vector<float>> input (2, std::vector<float> (5120));

    for (int channel = 0; channel < 2; ++channel)
        for (int i = 0; i < 5120; ++i)
            input[(size_t) channel][(size_t) i] = testSignal (channel, i);

    const auto expected = played (input, runs);

    Pedal pedal;
    auto output = input;
    pedal.path.activate();

    for (int r = 0; r < 10; ++r)
    {
        pedal.path.connectInput (0, output[0].data() + r * 512);
        pedal.path.connectInput (1, output[1].data() + r * 512);
        pedal.path.connectOutput (0, output[0].data() + r * 512);
        pedal.path.connectOutput (1, output[1].data() + r * 512);
        pedal.path.run (512);
    }

    EXPECT_EQ (output, expected);
}

TEST (Lv2AudioPath, EnabledAgainAfterALoudNoteBringsNoGhostOfIt)
{
    // Disabled in the middle of a loud note, then a second of silence passes
    // (the input, untouched), then enabled again: the pedal must not replay the
    // note's tail from the filters it left.
    constexpr int run = 512;
    Pedal pedal;
    pedal.processor.setDrive (1.0f);
    pedal.processor.setLevel (1.0f);
    auto enabled = 1.0f;
    std::vector<float> left (run), right (run);
    pedal.path.connectInput (0, left.data());
    pedal.path.connectInput (1, right.data());
    pedal.path.connectOutput (0, left.data());
    pedal.path.connectOutput (1, right.data());
    pedal.path.connectEnabled (&enabled);
    pedal.path.activate();

    for (int r = 0; r < 200; ++r)
    {
        const auto note = r < 100;
        enabled = r < 99 || r >= 194 ? 1.0f : 0.0f;

        for (int i = 0; i < run; ++i)
            left[(size_t) i] = right[(size_t) i] = note ? 0.9f * (float) std::sin (2.0 * pi * 82.0 * (r * run + i) / rate) : 0.0f;

        pedal.path.run (run);

        if (r < 194)
            continue;

        for (int i = 0; i < run; ++i)
            EXPECT_LT (std::abs (left[(size_t) i]), 1.0e-6f) << "run " << r << ", sample " << i;
    }
}
