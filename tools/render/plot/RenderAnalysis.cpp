#include "RenderAnalysis.h"

#include <cmath>
#include <cstring>
#include <numeric>

namespace
{
    // 2^13 = 8192 samples: 5.9 Hz per bin at 48 kHz, fine enough to separate a
    // low E string's harmonics (82 Hz apart) on a log axis from 20 Hz.
    constexpr int spectrumOrder = 13;
}

//==============================================================================
RenderAnalysis::RenderAnalysis (double rate, juce::int64 samples, int channels, int overviewColumns)
    : sampleRate (rate)
    , totalSamples (samples)
    , numChannels (juce::jmax (1, channels))
    , fft (spectrumOrder)
    , frameSize (fft.getSize())
    , window ((size_t) frameSize)
    , frame ((size_t) frameSize)
    , spectrum ((size_t) frameSize)
    , inputFrame ((size_t) frameSize)
    , outputFrame ((size_t) frameSize)
    , inputSpectrum ((size_t) frameSize / 2 + 1)
    , outputSpectrum ((size_t) frameSize / 2 + 1)
    , loudestInput ((size_t) frameSize)
    , loudestOutput ((size_t) frameSize)
{
    juce::dsp::WindowingFunction<float>::fillWindowingTables (window.data(), (size_t) frameSize,
                                                              juce::dsp::WindowingFunction<float>::hann, false);

    // A sine of amplitude A, centred in its bin, peaks at A times half the window's sum.
    windowGain = 0.5 * std::accumulate (window.begin(), window.end(), 0.0);

    const auto columns = (size_t) juce::jmax (1, overviewColumns);

    for (auto* envelope : { &inputOverview, &outputOverview })
    {
        envelope->minimum.assign (columns, 0.0f);
        envelope->maximum.assign (columns, 0.0f);
    }
}

float RenderAnalysis::finiteSample (const float* const* channels, int channel, int sample) noexcept
{
    // A NaN or infinite sample would spread over every bin of each frame it falls
    // in, and blank the whole spectrum: it counts as silence, and is counted.
    const auto value = channels[channel][sample];

    if (std::isfinite (value))
        return value;

    ++samplesLeftOut;
    return 0.0f;
}

void RenderAnalysis::add (const float* const* input, const float* const* output, int numSamples)
{
    const auto columns = (juce::int64) inputOverview.minimum.size();

    for (int i = 0; i < numSamples; ++i)
    {
        auto in = 0.0f, out = 0.0f;

        // Every channel counts towards the overview, so a hard-panned part still shows.
        const auto position = samplesSeen + i;
        const auto column = (size_t) juce::jlimit<juce::int64> (0, columns - 1,
                                                                totalSamples > 0 ? position * columns / totalSamples : 0);

        for (int channel = 0; channel < numChannels; ++channel)
        {
            const auto x = finiteSample (input, channel, i);
            const auto y = finiteSample (output, channel, i);
            in += x / (float) numChannels;
            out += y / (float) numChannels;
            inputOverview.minimum[column] = std::min (inputOverview.minimum[column], x);
            inputOverview.maximum[column] = std::max (inputOverview.maximum[column], x);
            outputOverview.minimum[column] = std::min (outputOverview.minimum[column], y);
            outputOverview.maximum[column] = std::max (outputOverview.maximum[column], y);
        }

        inputFrame[(size_t) frameFill] = in;
        outputFrame[(size_t) frameFill] = out;

        if (++frameFill == frameSize)
        {
            analyseFrame (frameSize);

            const auto hop = frameSize / 2;
            std::copy (inputFrame.begin() + hop, inputFrame.end(), inputFrame.begin());
            std::copy (outputFrame.begin() + hop, outputFrame.end(), outputFrame.begin());
            frameFill = frameSize - hop;
            frameStart += hop;
        }
    }

    samplesSeen += numSamples;
}

void RenderAnalysis::finish()
{
    // A file shorter than one frame still gets a spectrum, from its zero-padded samples.
    if (framesAnalysed == 0 && frameFill > 0)
    {
        std::fill (inputFrame.begin() + frameFill, inputFrame.end(), 0.0f);
        std::fill (outputFrame.begin() + frameFill, outputFrame.end(), 0.0f);
        analyseFrame (frameFill);
    }

    if (framesAnalysed > 0)
    {
        for (auto* averaged : { &inputSpectrum, &outputSpectrum })
            for (auto& power : *averaged)
                power /= framesAnalysed;
    }
}

void RenderAnalysis::analyseFrame (int numValid)
{
    auto energy = 0.0;

    for (int i = 0; i < numValid; ++i)
        energy += (double) inputFrame[(size_t) i] * inputFrame[(size_t) i];

    if (energy > loudestEnergy)
    {
        loudestEnergy = energy;
        loudestStart = frameStart;
        loudestInput = inputFrame;
        loudestOutput = outputFrame;
    }

    accumulateSpectra();
    ++framesAnalysed;
}

void RenderAnalysis::accumulateSpectra()
{
    const auto n = frameSize;

    // Both signals are real, so one complex transform carries the two: input as
    // the real part, output as the imaginary part, separated by symmetry after.
    for (int i = 0; i < n; ++i)
        frame[(size_t) i] = { inputFrame[(size_t) i] * window[(size_t) i], outputFrame[(size_t) i] * window[(size_t) i] };

    fft.perform (frame.data(), spectrum.data(), false);

    // Divide the windowed full-scale sine's peak out, so that full scale reads 0 dB.
    const auto scale = 1.0 / (windowGain * windowGain);

    for (size_t bin = 0; bin < inputSpectrum.size(); ++bin)
    {
        const auto x = spectrum[bin];
        const auto mirrored = std::conj (spectrum[(size_t) ((n - (int) bin) % n)]);
        const auto input = 0.5f * (x + mirrored);
        const auto output = 0.5f * (x - mirrored);  // times -j, which leaves the power alone

        inputSpectrum[bin] += (double) std::norm (input) * scale;
        outputSpectrum[bin] += (double) std::norm (output) * scale;
    }
}
