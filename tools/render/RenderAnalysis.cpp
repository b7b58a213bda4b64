#include "RenderAnalysis.h"

#include <cmath>

namespace
{
    // 2^13 = 8192 samples: 5.9 Hz per bin at 48 kHz, fine enough to separate a
    // low E string's harmonics (82 Hz apart) on a log axis from 20 Hz.
    constexpr int spectrumOrder = 13;
}

//==============================================================================
void LevelMeter::add (const juce::AudioBuffer<float>& buffer, int numSamples)
{
    for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
    {
        const auto* samples = buffer.getReadPointer (channel);
        peak = std::max (peak, buffer.getMagnitude (channel, 0, numSamples));

        // Eight running sums side by side keep the loop vectorisable; a block's worth
        // of float sums loses nothing that matters before it joins the double total.
        float partial[8] = {};
        int i = 0;

        for (; i + 8 <= numSamples; i += 8)
            for (int lane = 0; lane < 8; ++lane)
                partial[lane] += samples[i + lane] * samples[i + lane];

        auto blockSum = 0.0;

        for (; i < numSamples; ++i)
            blockSum += (double) samples[i] * samples[i];

        for (auto lane : partial)
            blockSum += lane;

        sumOfSquares += blockSum;
        count += numSamples;
    }
}

double LevelMeter::getRms() const noexcept
{
    return count > 0 ? std::sqrt (sumOfSquares / (double) count) : 0.0;
}

juce::String LevelMeter::toDecibelsText (double gain)
{
    if (gain <= 0.0)
        return "-inf dBFS";

    return juce::String (20.0 * std::log10 (gain), 1) + " dBFS";
}

//==============================================================================
SpectrumFft::SpectrumFft (int order)
    : size (1 << order), bitReversed ((size_t) size), twiddles ((size_t) size / 2)
{
    for (int i = 0; i < size; ++i)
    {
        int reversed = 0;

        for (int bit = 0; bit < order; ++bit)
            if ((i >> bit) & 1)
                reversed |= 1 << (order - 1 - bit);

        bitReversed[(size_t) i] = reversed;
    }

    for (int k = 0; k < size / 2; ++k)
    {
        const auto angle = -2.0 * juce::MathConstants<double>::pi * k / size;
        twiddles[(size_t) k] = { (float) std::cos (angle), (float) std::sin (angle) };
    }
}

void SpectrumFft::perform (std::vector<std::complex<float>>& data) const
{
    jassert ((int) data.size() == size);

    for (int i = 0; i < size; ++i)
        if (i < bitReversed[(size_t) i])
            std::swap (data[(size_t) i], data[(size_t) bitReversed[(size_t) i]]);

    for (int length = 2; length <= size; length <<= 1)
    {
        const auto half = length / 2;
        const auto twiddleStep = size / length;

        for (int start = 0; start < size; start += length)
        {
            for (int k = 0; k < half; ++k)
            {
                // Multiplied out by hand: std::complex's operator* guards against
                // infinities through a library call, which a spectrum never needs.
                const auto w = twiddles[(size_t) (k * twiddleStep)];
                auto& a = data[(size_t) (start + k)];
                auto& b = data[(size_t) (start + k + half)];
                const std::complex<float> t { w.real() * b.real() - w.imag() * b.imag(),
                                              w.real() * b.imag() + w.imag() * b.real() };
                b = a - t;
                a += t;
            }
        }
    }
}

//==============================================================================
RenderAnalysis::RenderAnalysis (double rate, juce::int64 samples, int overviewColumns)
    : sampleRate (rate),
      totalSamples (samples),
      fft (spectrumOrder),
      window ((size_t) fft.getSize()),
      scratch ((size_t) fft.getSize()),
      inputFrame ((size_t) fft.getSize()),
      outputFrame ((size_t) fft.getSize()),
      inputSpectrum ((size_t) fft.getSize() / 2 + 1),
      outputSpectrum ((size_t) fft.getSize() / 2 + 1),
      loudestInput ((size_t) fft.getSize()),
      loudestOutput ((size_t) fft.getSize())
{
    const auto n = fft.getSize();

    for (int i = 0; i < n; ++i)
        window[(size_t) i] = (float) (0.5 - 0.5 * std::cos (2.0 * juce::MathConstants<double>::pi * i / n));

    const auto columns = (size_t) juce::jmax (1, overviewColumns);

    for (auto* envelope : { &inputOverview, &outputOverview })
    {
        envelope->minimum.assign (columns, 0.0f);
        envelope->maximum.assign (columns, 0.0f);
    }
}

float RenderAnalysis::channelMean (const juce::AudioBuffer<float>& buffer, int sample) noexcept
{
    auto sum = 0.0f;

    for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
        sum += buffer.getSample (channel, sample);

    return sum / (float) juce::jmax (1, buffer.getNumChannels());
}

void RenderAnalysis::add (const juce::AudioBuffer<float>& input, const juce::AudioBuffer<float>& output, int numSamples)
{
    const auto frameSize = fft.getSize();
    const auto columns = (juce::int64) inputOverview.minimum.size();

    for (int i = 0; i < numSamples; ++i)
    {
        const auto in = channelMean (input, i);
        const auto out = channelMean (output, i);

        // Every channel counts towards the overview, so a hard-panned part still shows.
        const auto position = samplesSeen + i;
        const auto column = (size_t) juce::jlimit<juce::int64> (0, columns - 1,
                                                                 totalSamples > 0 ? position * columns / totalSamples : 0);

        for (int channel = 0; channel < input.getNumChannels(); ++channel)
        {
            const auto x = input.getSample (channel, i);
            const auto y = output.getSample (channel, i);
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
        for (auto* spectrum : { &inputSpectrum, &outputSpectrum })
            for (auto& power : *spectrum)
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
    const auto n = fft.getSize();

    // Both signals are real, so one complex transform carries the two: input as
    // the real part, output as the imaginary part, separated by symmetry after.
    for (int i = 0; i < n; ++i)
        scratch[(size_t) i] = { inputFrame[(size_t) i] * window[(size_t) i], outputFrame[(size_t) i] * window[(size_t) i] };

    fft.perform (scratch);

    // A Hann-windowed sine of amplitude A peaks at A·n/4 in its bin: divide that
    // out so that full scale reads 0 dB.
    const auto fullScale = (double) n / 4.0;
    const auto scale = 1.0 / (fullScale * fullScale);

    for (size_t bin = 0; bin < inputSpectrum.size(); ++bin)
    {
        const auto x = scratch[bin];
        const auto mirrored = std::conj (scratch[(size_t) ((n - (int) bin) % n)]);
        const auto input = 0.5f * (x + mirrored);
        const auto output = 0.5f * (x - mirrored);     // times -j, which leaves the power alone

        inputSpectrum[bin] += (double) std::norm (input) * scale;
        outputSpectrum[bin] += (double) std::norm (output) * scale;
    }
}
