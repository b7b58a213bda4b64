#include "plugin/BraskOverdriveAudioProcessor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>
#include "TestNumbers.h"

namespace
{
    using Bytes = std::vector<unsigned char>;

    Bytes save (BraskOverdriveAudioProcessor& processor)
    {
        juce::MemoryBlock block;
        processor.getStateInformation (block);
        const auto* data = static_cast<const unsigned char*> (block.getData());
        return Bytes (data, data + block.getSize());
    }

    void restore (BraskOverdriveAudioProcessor& processor, const Bytes& bytes)
    {
        processor.setStateInformation (bytes.data(), (int) bytes.size());
    }

    Bytes floatBytes (std::initializer_list<float> values)
    {
        Bytes bytes;

        for (auto value : values)
        {
            juce::uint32 bits;
            std::memcpy (&bits, &value, sizeof (bits));

            for (int shift = 0; shift < 32; shift += 8)
                bytes.push_back ((unsigned char) (bits >> shift));
        }

        return bytes;
    }

    juce::uint32 bitsOf (float value)
    {
        juce::uint32 bits;
        std::memcpy (&bits, &value, sizeof (bits));
        return bits;
    }

    using brask::test::infinity;
    using brask::test::notANumber;
}

TEST (SavedState, NewPedalSavesItsSixteenDefaultBytes)
{
    BraskOverdriveAudioProcessor processor;

    const Bytes expected { 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x3F,
                           0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0x3F };
    EXPECT_EQ (save (processor), expected);

    processor.setEffectOn (false);
    const auto off = save (processor);
    EXPECT_EQ (Bytes (off.begin() + 12, off.end()), (Bytes { 0, 0, 0, 0 }));
}

TEST (SavedState, AppendsBehindWhatTheBlockAlreadyHolds)
{
    BraskOverdriveAudioProcessor processor;
    const char prefix[] = { 1, 2, 3, 4, 5 };
    juce::MemoryBlock block (prefix, sizeof (prefix));

    processor.getStateInformation (block);

    ASSERT_EQ (block.getSize(), 21u);
    EXPECT_EQ (std::memcmp (block.getData(), prefix, sizeof (prefix)), 0);
    EXPECT_EQ (Bytes (static_cast<const unsigned char*> (block.getData()) + 5,
                      static_cast<const unsigned char*> (block.getData()) + 21),
               save (processor));
}

TEST (SavedState, RoundTripsBitForBitIntoAnotherInstance)
{
    BraskOverdriveAudioProcessor source;
    source.setDrive (0.1234567f);
    source.setTone (1.0f);
    source.setLevel (0.0f);
    source.setEffectOn (false);

    BraskOverdriveAudioProcessor target;
    restore (target, save (source));

    EXPECT_EQ (bitsOf (target.drive.load()), bitsOf (0.1234567f));
    EXPECT_EQ (bitsOf (target.tone.load()), bitsOf (1.0f));
    EXPECT_EQ (bitsOf (target.level.load()), bitsOf (0.0f));
    EXPECT_FALSE (target.effectOn.load());
    EXPECT_EQ (save (target), save (source));
}

TEST (SavedState, ReadsShortLongAndOddBlobs)
{
    struct Expected
    {
        float drive, tone, level;
        bool on;
    };
    struct Case
    {
        const char* name;
        Bytes blob;
        Expected expected;
    };

    const auto full = floatBytes ({ 0.25f, 0.75f, 0.125f, 1.0f });
    auto longer = full;
    longer.insert (longer.end(), { 0xde, 0xad, 0xbe, 0xef });
    auto tinyPositiveOn = floatBytes ({ 0.25f, 0.75f, 0.125f });
    tinyPositiveOn.insert (tinyPositiveOn.end(), { 0x01, 0x00, 0x00, 0x00 });
    auto negativeZeroOff = floatBytes ({ 0.25f, 0.75f, 0.125f });
    negativeZeroOff.insert (negativeZeroOff.end(), { 0x00, 0x00, 0x00, 0x80 });

    const Case cases[] = {
        { "empty blob", {}, { 0.0f, 0.0f, 0.0f, false } },
        { "12 bytes", floatBytes ({ 0.25f, 0.75f, 0.125f }), { 0.25f, 0.75f, 0.125f, false } },
        { "14 bytes cut the flag", Bytes (full.begin(), full.begin() + 14), { 0.25f, 0.75f, 0.125f, false } },
        { "6 bytes cut the tone", Bytes (full.begin(), full.begin() + 6), { 0.25f, 0.0f, 0.0f, false } },
        { "20 bytes", longer, { 0.25f, 0.75f, 0.125f, true } },
        { "flag 01 00 00 00", tinyPositiveOn, { 0.25f, 0.75f, 0.125f, true } },
        { "flag -0.0", negativeZeroOff, { 0.25f, 0.75f, 0.125f, false } },
        { "flag NaN", floatBytes ({ 0.5f, 0.5f, 0.5f, notANumber }), { 0.5f, 0.5f, 0.5f, true } },
        // Knob values a damaged project may carry are stored as the nearest valid setting.
        { "NaN knobs", floatBytes ({ notANumber, notANumber, notANumber, 1.0f }), { 0.5f, 0.5f, 0.5f, true } },
        { "infinite knobs", floatBytes ({ infinity, -infinity, infinity, 1.0f }), { 1.0f, 0.0f, 1.0f, true } },
        { "knobs out of range", floatBytes ({ -1.0f, 2.0f, -1.0f, 1.0f }), { 0.0f, 1.0f, 0.0f, true } },
    };

    for (const auto& c : cases)
    {
        BraskOverdriveAudioProcessor processor;
        processor.setDrive (0.9f);
        restore (processor, c.blob);

        EXPECT_EQ (processor.drive.load(), c.expected.drive) << c.name;
        EXPECT_EQ (processor.tone.load(), c.expected.tone) << c.name;
        EXPECT_EQ (processor.level.load(), c.expected.level) << c.name;
        EXPECT_EQ (processor.effectOn.load(), c.expected.on) << c.name;

        const auto saved = save (processor);
        EXPECT_EQ (saved.size(), 16u) << c.name;
    }
}

TEST (SavedState, IgnoresANegativeSize)
{
    BraskOverdriveAudioProcessor processor;
    processor.setDrive (0.75f);
    const auto before = save (processor);

    const auto blob = floatBytes ({ 0.1f, 0.1f, 0.1f, 0.0f });
    processor.setStateInformation (blob.data(), -4);

    EXPECT_EQ (save (processor), before);
}
