// brask-demo-phrase: synthesises a short electric-guitar phrase, as it would come
// from the guitar's jack into a DI box, for the demo to play through the pedal.
// The strings are plucked waveguides (Karplus-Strong with a tuned loss filter and
// a fractional-delay all-pass): no recordings, no samples, the same every time.
//
//     brask-demo-phrase OUTPUT.wav
//
// Writes 48 kHz mono 24-bit WAV, about ten seconds: a palm-muted power-chord riff,
// a few strummed open chords, a pentatonic lick and a last chord left to ring.

#include "AudioFile.h"

#include <juce_dsp/juce_dsp.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr double beatsPerMinute = 112.0;
    constexpr double secondsPerBeat = 60.0 / beatsPerMinute;
    constexpr double tailSeconds = 1.2;

    // The phrase peaks here: a humbucker into a DI box, played with some attack.
    constexpr float peakLevel = 0.5f;

    double frequencyOf (int midiNote)
    {
        return 440.0 * std::pow (2.0, (midiNote - 69) / 12.0);
    }

    //==============================================================================
    /** One plucked string: a delay line one period long, closed through a loss
        filter (the string's damping, stronger for high harmonics) and an all-pass
        that tunes the loop's fractional part of a period.
    */
    class PluckedString final
    {
    public:
        PluckedString (int midiNote, float velocity, bool palmMuted, juce::Random& random)
        {
            const auto frequency = frequencyOf (midiNote);
            const auto period = sampleRate / frequency;

            // Lower strings ring longer; a palm on the strings by the bridge kills them early.
            const auto ringSeconds = palmMuted ? 0.18 : 5.5 * std::pow (82.4 / frequency, 0.45);
            brightness = palmMuted ? 0.48f : 0.22f;
            loopGain = (float) std::pow (10.0, -3.0 / (ringSeconds * frequency));
            releaseGain = (float) std::pow (10.0, -3.0 / (0.07 * frequency));

            // The loss filter delays by `brightness` samples; the all-pass takes up the rest.
            const auto integerPart = (int) std::floor (period - brightness - 0.1);
            const auto fraction = period - brightness - integerPart;
            allPassCoefficient = (float) ((1.0 - fraction) / (1.0 + fraction));
            delay.assign ((size_t) integerPart, 0.0f);

            // The pick: a burst of noise, darker when played softly, with the notch
            // pattern of plucking about an eighth of the way from the bridge.
            std::vector<float> burst ((size_t) integerPart);
            const auto smoothing = juce::jmap (velocity, 0.0f, 1.0f, 0.75f, 0.25f);
            auto state = 0.0f;

            for (auto& x : burst)
            {
                state += (1.0f - smoothing) * (random.nextFloat() * 2.0f - 1.0f - state);
                x = state;
            }

            const auto pickOffset = juce::jmax (1, (int) std::lround (0.13 * integerPart));
            auto mean = 0.0f;

            for (size_t i = 0; i < burst.size(); ++i)
            {
                delay[i] = burst[i] - (i >= (size_t) pickOffset ? burst[i - (size_t) pickOffset] : 0.0f);
                mean += delay[i];
            }

            mean /= (float) delay.size();
            auto peak = 1.0e-6f;

            for (auto& x : delay)
            {
                x -= mean;
                peak = std::max (peak, std::abs (x));
            }

            for (auto& x : delay)
                x *= velocity / peak;
        }

        /** The fretting hand lifts or the pick comes back: the string stops within a few periods. */
        void release() noexcept { loopGain = std::min (loopGain, releaseGain); }

        bool isSilent() const noexcept { return samplesRendered > delay.size() * 4 && energy < 1.0e-9f; }

        float nextSample() noexcept
        {
            const auto x = delay[position];
            const auto damped = loopGain * ((1.0f - brightness) * x + brightness * previous);
            previous = x;

            const auto tuned = allPassCoefficient * damped + allPassInput - allPassCoefficient * allPassOutput;
            allPassInput = damped;
            allPassOutput = tuned;

            delay[position] = tuned;
            position = (position + 1) % delay.size();

            energy = 0.999f * energy + 0.001f * x * x;
            ++samplesRendered;
            return x;
        }

    private:
        std::vector<float> delay;
        size_t position = 0;
        float brightness = 0.25f, loopGain = 0.99f, releaseGain = 0.9f, allPassCoefficient = 0.0f;
        float previous = 0.0f, allPassInput = 0.0f, allPassOutput = 0.0f;
        float energy = 1.0f;
        size_t samplesRendered = 0;
    };

    //==============================================================================
    enum class Strum
    {
        down,
        up
    };

    /** Something the right hand does: strings struck together, with a strum's spread. */
    struct Stroke
    {
        double beat;
        std::vector<int> notes;  // low string first
        float velocity;
        bool palmMuted;
        Strum direction;
        double spreadMilliseconds;  // time from one string to the next within the stroke
    };

    std::vector<Stroke> phrase()
    {
        const std::vector<int> e5 { 40, 47, 52 }, g5 { 43, 50, 55 }, a5 { 45, 52, 57 };
        const std::vector<int> d5 { 50, 57, 62 }, c5 { 48, 55, 60 }, b5 { 47, 54, 59 };
        const std::vector<int> chugE { 40, 47 };
        const std::vector<int> eMajor { 40, 47, 52, 56, 59, 64 }, aMajor { 45, 52, 57, 61, 64 };
        const std::vector<int> dMajor { 50, 57, 62, 66 }, bigE5 { 40, 47, 52, 59, 64 };

        return {
            // Bar 1: the riff, palm-muted chugs between accented power chords.
            { 0.0, e5, 1.0f, false, Strum::down, 6.0 },
            { 1.0, chugE, 0.7f, true, Strum::down, 3.0 },
            { 1.5, chugE, 0.6f, true, Strum::down, 3.0 },
            { 2.0, g5, 0.95f, false, Strum::down, 6.0 },
            { 2.5, a5, 1.0f, false, Strum::down, 6.0 },
            { 3.5, chugE, 0.6f, true, Strum::down, 3.0 },

            // Bar 2: the answer, walking down.
            { 4.0, e5, 1.0f, false, Strum::down, 6.0 },
            { 4.5, chugE, 0.65f, true, Strum::down, 3.0 },
            { 5.0, chugE, 0.6f, true, Strum::down, 3.0 },
            { 5.5, d5, 0.9f, false, Strum::down, 6.0 },
            { 6.0, c5, 0.9f, false, Strum::down, 6.0 },
            { 6.5, b5, 1.0f, false, Strum::down, 6.0 },

            // Bar 3: open chords, strummed.
            { 8.0, eMajor, 0.85f, false, Strum::down, 11.0 },
            { 9.5, eMajor, 0.55f, false, Strum::up, 9.0 },
            { 10.0, aMajor, 0.85f, false, Strum::down, 11.0 },
            { 11.0, aMajor, 0.5f, false, Strum::up, 9.0 },
            { 11.5, dMajor, 0.8f, false, Strum::down, 10.0 },

            // Bar 4: a lick on the E minor pentatonic, then the last chord rings.
            { 12.0, { 64 }, 0.9f, false, Strum::down, 0.0 },
            { 12.5, { 67 }, 0.8f, false, Strum::down, 0.0 },
            { 13.0, { 69 }, 0.9f, false, Strum::down, 0.0 },
            { 13.5, { 67 }, 0.75f, false, Strum::down, 0.0 },
            { 14.0, { 64 }, 0.85f, false, Strum::down, 0.0 },
            { 14.5, { 62 }, 0.8f, false, Strum::down, 0.0 },
            { 15.0, bigE5, 1.0f, false, Strum::down, 9.0 },
        };
    }

    //==============================================================================
    /** A two-pole resonant low-pass (the pickup's coil against the cable's capacitance). */
    class PickupResonance final
    {
    public:
        PickupResonance (double frequency, double q)
            : filter (juce::dsp::IIR::Coefficients<double>::makeLowPass (sampleRate, frequency, q))
        {
        }

        double process (double x) noexcept
        {
            return filter.processSample (x);
        }

    private:
        juce::dsp::IIR::Filter<double> filter;
    };

    juce::AudioBuffer<float> renderPhrase()
    {
        const auto strokes = phrase();
        const auto lastBeat = strokes.back().beat + 3.0;
        const auto totalSamples = (int) std::ceil ((lastBeat * secondsPerBeat + tailSeconds) * sampleRate);

        juce::AudioBuffer<float> output (1, totalSamples);
        output.clear();

        juce::Random random (0x42a5c);
        std::vector<std::unique_ptr<PluckedString>> ringing;
        PickupResonance pickup (3400.0, 1.4);

        // Onsets of every string of every stroke, in time order.
        struct Onset
        {
            int sample;
            int note;
            float velocity;
            bool palmMuted;
            bool firstOfStroke;
        };

        std::vector<Onset> onsets;

        for (const auto& stroke : strokes)
        {
            auto notes = stroke.notes;

            if (stroke.direction == Strum::up)
                std::reverse (notes.begin(), notes.end());

            // A human hand: a few milliseconds early or late, never perfectly even.
            const auto humanSeconds = (random.nextFloat() - 0.5f) * 0.012f;

            for (size_t i = 0; i < notes.size(); ++i)
            {
                const auto seconds = stroke.beat * secondsPerBeat + humanSeconds + (double) i * stroke.spreadMilliseconds / 1000.0;
                const auto velocity = stroke.velocity * (0.85f + 0.15f * random.nextFloat());
                onsets.push_back ({ juce::jmax (0, (int) std::lround (seconds * sampleRate)), notes[i], velocity, stroke.palmMuted, i == 0 });
            }
        }

        std::stable_sort (onsets.begin(), onsets.end(), [] (const Onset& a, const Onset& b) { return a.sample < b.sample; });

        size_t nextOnset = 0;
        auto* samples = output.getWritePointer (0);
        auto dcState = 0.0;
        auto previousInput = 0.0;

        for (int n = 0; n < totalSamples; ++n)
        {
            while (nextOnset < onsets.size() && onsets[nextOnset].sample == n)
            {
                const auto& onset = onsets[nextOnset++];

                // A new stroke stops what was ringing (the riff is played tight),
                // except under the last chord, which is left to ring out.
                if (onset.firstOfStroke)
                    for (auto& string : ringing)
                        string->release();

                ringing.push_back (std::make_unique<PluckedString> (onset.note, onset.velocity, onset.palmMuted, random));
            }

            auto sum = 0.0;

            for (auto& string : ringing)
                sum += string->nextSample();

            // The pickup's resonance, then a 30 Hz high-pass as the DI box's input coupling.
            const auto shaped = pickup.process (sum);
            dcState = 0.996 * (dcState + shaped - previousInput);
            previousInput = shaped;
            samples[n] = (float) dcState;

            if ((n & 1023) == 0)
                ringing.erase (std::remove_if (ringing.begin(), ringing.end(), [] (const auto& s) { return s->isSilent(); }),
                               ringing.end());
        }

        // Gentle fade at the very end, so the file never stops on a click.
        const auto fadeSamples = (int) (0.3 * sampleRate);
        output.applyGainRamp (0, totalSamples - fadeSamples, fadeSamples, 1.0f, 0.0f);

        const auto peak = output.getMagnitude (0, totalSamples);

        if (peak > 0.0f)
            output.applyGain (peakLevel / peak);

        return output;
    }
}

//==============================================================================
int main (int argc, char* argv[])
{
    if (argc != 2 || juce::String (argv[1]).startsWith ("-"))
    {
        std::fprintf (stderr, "Usage: brask-demo-phrase OUTPUT.wav\n");
        return 2;
    }

    const auto target = juce::File::getCurrentWorkingDirectory().getChildFile (juce::String::fromUTF8 (argv[1]));

    if (! target.getParentDirectory().isDirectory())
    {
        std::fprintf (stderr, "brask-demo-phrase: the folder '%s' does not exist\n",
                      target.getParentDirectory().getFullPathName().toRawUTF8());
        return 1;
    }

    const auto phrase = renderPhrase();

    // Written beside the target and renamed, so a failed run leaves no half a file.
    juce::TemporaryFile temporary (target);
    {
        std::string error;
        auto writer = brask::audiofile::Writer::create (temporary.getFile().getFullPathName().toStdString(),
                                                        SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                                                        1, sampleRate, error);
        juce::AudioBuffer<double> samples;
        samples.makeCopyOf (phrase);

        if (writer == nullptr || ! writer->write (samples.getArrayOfReadPointers(), samples.getNumSamples()) || ! writer->close (error))
        {
            std::fprintf (stderr, "brask-demo-phrase: cannot write '%s': %s\n", target.getFullPathName().toRawUTF8(), error.c_str());
            return 1;
        }
    }

    if (! temporary.overwriteTargetFileWithTemporary())
    {
        std::fprintf (stderr, "brask-demo-phrase: cannot write '%s'\n", target.getFullPathName().toRawUTF8());
        return 1;
    }

    std::printf ("brask-demo-phrase: wrote %s (%.2f s, 48000 Hz, mono, 24-bit)\n",
                 target.getFullPathName().toRawUTF8(), phrase.getNumSamples() / sampleRate);
    return 0;
}
