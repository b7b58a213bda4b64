#pragma once

// What both fuzz drivers share: a reader that turns the fuzzer's bytes into
// host decisions, the test signals a host might stream, and the promises the
// pedal keeps whatever it was sent. A broken promise prints what broke and
// aborts, which is how libFuzzer learns about it and keeps the input.

#include "plugin/BraskOverdriveAudioProcessor.h"
#include "KnobLaw.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

// The entry points libFuzzer calls, defined by each driver.
extern "C" int LLVMFuzzerInitialize (int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size);

#define BRASK_FUZZ_CHECK(condition, ...)                                 \
    do                                                                   \
    {                                                                    \
        if (! (condition))                                               \
        {                                                                \
            std::fprintf (stderr, "broken promise: %s\n  ", #condition); \
            std::fprintf (stderr, __VA_ARGS__);                          \
            std::fprintf (stderr, "\n");                                 \
            std::abort();                                                \
        }                                                                \
    } while (false)

namespace brask::fuzz
{
    //==============================================================================
    /** Reads the fuzzer's bytes in order; past the end every read gives zero, so
        every input, however short, is a complete sequence of decisions.
    */
    class ByteReader final
    {
    public:
        ByteReader (const std::uint8_t* bytes, size_t numBytes) noexcept
            : data (bytes)
            , size (numBytes)
        {
        }

        bool isExhausted() const noexcept { return position >= size; }
        size_t remaining() const noexcept { return isExhausted() ? 0 : size - position; }

        std::uint8_t byte() noexcept
        {
            return isExhausted() ? 0 : data[position++];
        }

        std::uint16_t word() noexcept
        {
            const auto low = byte();
            return (std::uint16_t) (low | (byte() << 8));
        }

        std::uint32_t longWord() noexcept
        {
            const auto low = word();
            return (std::uint32_t) low | ((std::uint32_t) word() << 16);
        }

        /** Any 32-bit pattern, NaNs and infinities included. */
        float rawFloat() noexcept
        {
            const auto bits = longWord();
            float value;
            std::memcpy (&value, &bits, sizeof (value));
            return value;
        }

        /** Mostly the values that break careless code, sometimes any bit pattern. */
        float knobValue() noexcept
        {
            static const float awkward[] = { 0.0f, 1.0f, 0.5f, -0.0f, -1.0f, 2.0f, 1.0e-5f, 1.00001f,
                                             std::numeric_limits<float>::quiet_NaN(),
                                             -std::numeric_limits<float>::quiet_NaN(),
                                             std::numeric_limits<float>::infinity(),
                                             -std::numeric_limits<float>::infinity(),
                                             std::numeric_limits<float>::max(),
                                             std::numeric_limits<float>::lowest(),
                                             std::numeric_limits<float>::denorm_min(),
                                             std::numeric_limits<float>::epsilon() };
            constexpr auto numAwkward = sizeof (awkward) / sizeof (awkward[0]);

            const auto choice = byte();

            if (choice < numAwkward)
                return awkward[choice];

            if (choice < 160)
                return (float) word() / 65535.0f;  // a knob somewhere on its travel

            return rawFloat();
        }

        /** Up to maxBytes of the input, as a saved project might hold them. */
        std::vector<std::uint8_t> bytes (size_t maxBytes)
        {
            const auto count = std::min (maxBytes, remaining());
            std::vector<std::uint8_t> result (data + position, data + position + count);
            position += count;
            return result;
        }

    private:
        const std::uint8_t* data;
        size_t size;
        size_t position = 0;
    };

    //==============================================================================
    inline std::uint32_t bitsOf (float value) noexcept
    {
        std::uint32_t bits;
        std::memcpy (&bits, &value, sizeof (bits));
        return bits;
    }

    inline float littleEndianFloatAt (const juce::MemoryBlock& block, size_t offset) noexcept
    {
        const auto* bytes = static_cast<const std::uint8_t*> (block.getData()) + offset;
        const auto bits = (std::uint32_t) bytes[0] | ((std::uint32_t) bytes[1] << 8)
                          | ((std::uint32_t) bytes[2] << 16) | ((std::uint32_t) bytes[3] << 24);
        float value;
        std::memcpy (&value, &bits, sizeof (value));
        return value;
    }

    //==============================================================================
    /** Saves the pedal behind `prefixLength` bytes already in the block, as a host
        that collects several plug-ins' states in one block does, and checks that
        exactly the sixteen bytes of a sane setting were appended.
    */
    inline juce::MemoryBlock saveAndCheck (BraskOverdriveAudioProcessor& processor, size_t prefixLength)
    {
        juce::MemoryBlock block;

        for (size_t i = 0; i < prefixLength; ++i)
            block.append ("\xa5", 1);

        processor.getStateInformation (block);

        BRASK_FUZZ_CHECK (block.getSize() == prefixLength + 16,
                          "saved %zu bytes behind a prefix of %zu", block.getSize() - prefixLength, prefixLength);

        for (size_t i = 0; i < prefixLength; ++i)
            BRASK_FUZZ_CHECK (static_cast<const std::uint8_t*> (block.getData())[i] == 0xa5,
                              "the save overwrote byte %zu of what the host had in the block", i);

        for (size_t field = 0; field < 3; ++field)
        {
            const auto knob = littleEndianFloatAt (block, prefixLength + 4 * field);
            BRASK_FUZZ_CHECK (std::isfinite (knob) && knob >= 0.0f && knob <= 1.0f,
                              "knob field %zu saved as %g (bits %08x)", field, (double) knob, bitsOf (knob));
        }

        const auto footswitch = bitsOf (littleEndianFloatAt (block, prefixLength + 12));
        BRASK_FUZZ_CHECK (footswitch == bitsOf (0.0f) || footswitch == bitsOf (1.0f),
                          "footswitch field saved with bits %08x, neither 0.0 nor 1.0", footswitch);

        return block;
    }

    //==============================================================================
    /** The chain must play what the knobs in the store say, computed here from the
        knob law in double precision: +48 dB of drive across the travel, a tone
        cutoff from 1 kHz to 11 kHz (held below Nyquist once a rate is known), and a
        level that is linear down to -100 dB and silent below.
    */
    inline void checkChainFollowsKnobs (const BraskOverdriveAudioProcessor& processor, double preparedRate)
    {
        const auto drive = (double) processor.drive.load();
        const auto tone = (double) processor.tone.load();
        const auto level = (double) processor.level.load();

        for (auto knob : { drive, tone, level })
            BRASK_FUZZ_CHECK (std::isfinite (knob) && knob >= 0.0 && knob <= 1.0,
                              "a knob in the store reads %g", knob);

        const auto expectedDriveGain = KnobLaw::driveGain (drive);
        const auto driveGain = (double) processor.getDriveGain();
        BRASK_FUZZ_CHECK (std::abs (driveGain - expectedDriveGain) <= 1.0e-4 * expectedDriveGain,
                          "drive %g plays a gain of %g, the knob law says %g", drive, driveGain, expectedDriveGain);

        const auto expectedCutoff = KnobLaw::toneCutoffHz (tone);
        const auto cutoff = (double) processor.getToneCutoffHz();
        BRASK_FUZZ_CHECK (std::abs (cutoff - expectedCutoff) <= 1.0e-3,
                          "tone %g asks for %g Hz, the knob law says %g Hz (rate %g)",
                          tone, cutoff, expectedCutoff, preparedRate);

        // Right at the -100 dB floor single-precision rounding may fall either side.
        const auto expectedLevelGain = KnobLaw::levelGain (level);
        const auto levelGain = (double) processor.getLevelGain();
        BRASK_FUZZ_CHECK (std::abs (levelGain - expectedLevelGain) <= 1.0e-4 * expectedLevelGain + 2.0e-5,
                          "level %g plays a gain of %g, the knob law says %g", level, levelGain, expectedLevelGain);
    }

    //==============================================================================
    /** A block as a host hands it over: each channel its own exact-size allocation,
        so that a read or write past the block's end lands in the sanitizer's red zone.
    */
    class HostBlock final
    {
    public:
        void resize (int numChannels, int numSamples)
        {
            channels.assign ((size_t) numChannels, std::vector<float> ((size_t) numSamples));
            original.assign ((size_t) numChannels, std::vector<float> ((size_t) numSamples));
            pointers.clear();

            for (auto& channel : channels)
                pointers.push_back (channel.data());

            length = numSamples;
        }

        /** Fills every channel with one of the signals a host might stream, chosen by the input. */
        void fill (ByteReader& input)
        {
            const auto kind = input.byte() % 8;
            const auto amplitude = amplitudeFor (input.byte());
            const auto period = 2 + (int) input.byte();
            auto noise = input.longWord() | 1u;

            for (size_t c = 0; c < channels.size(); ++c)
            {
                auto& samples = channels[c];

                for (size_t i = 0; i < samples.size(); ++i)
                {
                    noise ^= noise << 13;
                    noise ^= noise >> 17;
                    noise ^= noise << 5;
                    const auto random = (float) ((double) noise / 4294967295.0 * 2.0 - 1.0);

                    float x = 0.0f;

                    switch (kind)
                    {
                        case 0: x = 0.0f; break;
                        case 1: x = amplitude * (float) std::sin (2.0 * 3.141592653589793 * (double) i / period + (double) c); break;
                        case 2: x = amplitude * random; break;
                        case 3: x = (i % 2 == 0) ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest(); break;
                        case 4: x = (i % (size_t) period == 0) ? amplitude : 0.0f; break;
                        case 5: x = amplitude; break;
                        case 6: x = specialFor (noise, random); break;
                        default: x = input.rawFloat(); break;
                    }

                    samples[i] = x;
                }

                original[c] = samples;
            }
        }

        juce::AudioBuffer<float> asBuffer() noexcept
        {
            return juce::AudioBuffer<float> (pointers.data(), (int) pointers.size(), length);
        }

        /** After processing: a sample may be non-finite only where the host sent that
            very sample and the pedal passed it back untouched (footswitch off, a block
            before any prepare, a channel beyond the prepared ones); the pedal itself
            never makes a NaN or an infinity.
        */
        void checkOutput (const char* when) const
        {
            for (size_t c = 0; c < channels.size(); ++c)
            {
                for (size_t i = 0; i < channels[c].size(); ++i)
                {
                    const auto y = channels[c][i];

                    if (! std::isfinite (y))
                        BRASK_FUZZ_CHECK (bitsOf (y) == bitsOf (original[c][i]),
                                          "%s: channel %zu sample %zu of %d came out as %g from an input of %g",
                                          when, c, i, length, (double) y, (double) original[c][i]);
                }
            }
        }

    private:
        static float amplitudeFor (std::uint8_t choice) noexcept
        {
            static const float amplitudes[] = { 1.0e-30f, 1.0e-6f, 0.1f, 0.5f, 1.0f, 4.0f, 1000.0f,
                                                1.0e6f, std::numeric_limits<float>::max(),
                                                std::numeric_limits<float>::denorm_min() };
            return amplitudes[choice % (sizeof (amplitudes) / sizeof (amplitudes[0]))];
        }

        static float specialFor (std::uint32_t noise, float random) noexcept
        {
            switch (noise % 11)
            {
                case 0: return std::numeric_limits<float>::quiet_NaN();
                case 1: return std::numeric_limits<float>::infinity();
                case 2: return -std::numeric_limits<float>::infinity();
                case 3: return std::numeric_limits<float>::denorm_min();
                default: return random;
            }
        }

        std::vector<std::vector<float>> channels, original;
        std::vector<float*> pointers;
        int length = 0;
    };

    //==============================================================================
    /** Every sample rate a host offers, plus anything in between from the input. */
    inline double sampleRateFor (ByteReader& input) noexcept
    {
        static const double commonRates[] = { 8000.0, 11025.0, 16000.0, 22050.0, 32000.0, 44100.0, 48000.0,
                                              88200.0, 96000.0, 176400.0, 192000.0, 352800.0, 384000.0 };
        constexpr auto numCommon = sizeof (commonRates) / sizeof (commonRates[0]);

        const auto choice = input.byte();

        if (choice < 4 * numCommon)
            return commonRates[choice % numCommon];

        return 8000.0 + (384000.0 - 8000.0) * (double) input.longWord() / 4294967295.0;
    }
}
