// The picture brask-render draws: its analysis reads a full-scale sine at 0 dB
// at the sine's frequency, and a render with --plot leaves a PNG of the plot's
// size beside the output.

#include "RenderAnalysis.h"
#include "RenderTestSupport.h"

#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>
#include <sndfile.h>

using namespace RenderTest;

namespace
{
    constexpr double rate = 48000.0;
    constexpr double frequency = 1000.0;

    juce::AudioBuffer<float> fullScaleSine (int numSamples)
    {
        juce::AudioBuffer<float> sine (1, numSamples);

        for (int i = 0; i < numSamples; ++i)
            sine.setSample (0, i, (float) std::sin (2.0 * juce::MathConstants<double>::pi * frequency * i / rate));

        return sine;
    }
}

TEST (RenderPlot, FullScaleSineReadsZeroDecibelsAtItsFrequency)
{
    const auto sine = fullScaleSine ((int) rate);
    RenderAnalysis analysis (rate, sine.getNumSamples(), sine.getNumChannels(), 100);
    analysis.add (sine.getArrayOfReadPointers(), sine.getArrayOfReadPointers(), sine.getNumSamples());
    analysis.finish();

    const auto& spectrum = analysis.getInputSpectrum();
    const auto binWidth = rate / analysis.getFrameSize();
    ASSERT_GT (spectrum.size(), 200u);

    const auto loudest = (size_t) std::distance (spectrum.begin(), std::max_element (spectrum.begin(), spectrum.end()));
    EXPECT_NEAR ((double) loudest * binWidth, frequency, binWidth);

    // 1 kHz falls between two bins at this rate, where a Hann window's peak bin reads
    // up to 1.42 dB low; its main lobe holds the power, 1.5 bins' worth (the
    // window's noise bandwidth) for a sine at 0 dB, wherever the sine falls.
    auto lobe = 0.0;

    for (auto bin = loudest - 3; bin <= loudest + 3; ++bin)
        lobe += spectrum[bin];

    EXPECT_NEAR (10.0 * std::log10 (lobe / 1.5), 0.0, 0.02);
    EXPECT_NEAR (10.0 * std::log10 (spectrum[loudest]), 0.0, 1.43);

    // Far from the sine, nothing: the window's side lobes are long gone.
    EXPECT_LT (10.0 * std::log10 (spectrum[loudest * 3 + 7] + 1.0e-30), -90.0);
}

TEST (RenderPlot, RenderWithPlotWritesThePicture)
{
    ScratchFolder scratch;
    writeAudioFile (scratch / "sine.wav", fullScaleSine ((int) rate / 2), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT });

    const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), "--plot", (scratch / "sine.png").getFullPathName(),
                                     (scratch / "sine.wav").getFullPathName(), (scratch / "out.wav").getFullPathName() });
    ASSERT_EQ (result.exitStatus, 0) << result.err;
    EXPECT_TRUE (juce::String (result.out).contains ("; plot ")) << result.out;

    const auto picture = juce::ImageFileFormat::loadFrom (scratch / "sine.png");
    ASSERT_TRUE (picture.isValid());
    EXPECT_EQ (picture.getWidth(), 1600);
    EXPECT_EQ (picture.getHeight(), 1120);

    // Not a blank page: the page colour, the traces and the words differ.
    std::set<juce::uint32> colours;

    for (int y = 0; y < picture.getHeight(); y += 7)
        for (int x = 0; x < picture.getWidth(); x += 7)
            colours.insert (picture.getPixelAt (x, y).getARGB());

    EXPECT_GT (colours.size(), 20u);
    EXPECT_EQ (scratch.snapshot().size(), 3u);
}
