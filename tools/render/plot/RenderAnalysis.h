#pragma once

#include <juce_dsp/juce_dsp.h>

#include <complex>
#include <vector>

//==============================================================================
/**
    What the plot needs from a render, gathered while the audio streams through
    in blocks, so that the memory stays the same for a short riff or an hour:

    - the average spectrum of input and output (overlapping Hann-windowed frames
      of the channels' mean);
    - the input and output of the frame where the input is loudest, for the
      close-up of the waveform;
    - an overview of the whole file: the lowest and highest sample of input and
      output for each of a fixed number of columns.
*/
class RenderAnalysis final
{
public:
    RenderAnalysis (double sampleRate, juce::int64 totalSamples, int numChannels, int overviewColumns);

    /** Called for each block with every channel of the input as read and of the
        output as processed.
    */
    void add (const float* const* input, const float* const* output, int numSamples);

    /** Analyses what is left over at the end of the file. */
    void finish();

    //==============================================================================
    struct Envelope
    {
        std::vector<float> minimum, maximum;
    };

    double getSampleRate() const noexcept { return sampleRate; }
    juce::int64 getTotalSamples() const noexcept { return totalSamples; }
    int getFrameSize() const noexcept { return frameSize; }

    /** Power per FFT bin (0 .. frameSize/2), scaled so that a full-scale sine reads 1. */
    const std::vector<double>& getInputSpectrum() const noexcept { return inputSpectrum; }
    const std::vector<double>& getOutputSpectrum() const noexcept { return outputSpectrum; }

    /** The loudest frame of the input and the same stretch of the output. */
    const std::vector<float>& getLoudestInput() const noexcept { return loudestInput; }
    const std::vector<float>& getLoudestOutput() const noexcept { return loudestOutput; }
    juce::int64 getLoudestStart() const noexcept { return loudestStart; }

    const Envelope& getInputOverview() const noexcept { return inputOverview; }
    const Envelope& getOutputOverview() const noexcept { return outputOverview; }

    /** Samples of input and output that were NaN or infinite, analysed as silence. */
    juce::int64 getSamplesLeftOut() const noexcept { return samplesLeftOut; }

private:
    //==============================================================================
    void analyseFrame (int numValid);
    void accumulateSpectra();
    float finiteSample (const float* const* channels, int channel, int sample) noexcept;

    double sampleRate;
    juce::int64 totalSamples;
    int numChannels;
    juce::int64 samplesSeen = 0;

    juce::dsp::FFT fft;
    const int frameSize;
    std::vector<float> window;
    double windowGain = 1.0;  // a windowed full-scale sine's peak in its bin
    std::vector<std::complex<float>> frame, spectrum;

    // The current frame of the channels' mean, filled up to frameFill; frames
    // overlap by half, so the second half moves to the front after each analysis.
    std::vector<float> inputFrame, outputFrame;
    int frameFill = 0;
    juce::int64 frameStart = 0;

    std::vector<double> inputSpectrum, outputSpectrum;
    int framesAnalysed = 0;
    juce::int64 samplesLeftOut = 0;

    std::vector<float> loudestInput, loudestOutput;
    double loudestEnergy = -1.0;
    juce::int64 loudestStart = 0;

    Envelope inputOverview, outputOverview;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RenderAnalysis)
};
