// The picture brask-render draws: its analysis reads a full-scale sine at 0 dB
// at the sine's frequency, and a render with --plot leaves a PNG of the plot's
// size beside the output.

#include "plot/RenderAnalysis.h"
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

// A few NaN or infinite samples (a damaged float file) must not blank the spectrum:
// they count as silence and are counted, and the sine still reads where it is.
TEST (RenderPlot, NonFiniteSamplesAreLeftOutOfTheSpectrum)
{
    auto sine = fullScaleSine ((int) rate);
    auto output = sine;
    sine.setSample (0, 1000, std::numeric_limits<float>::quiet_NaN());
    sine.setSample (0, 20000, std::numeric_limits<float>::infinity());
    output.setSample (0, 30000, -std::numeric_limits<float>::infinity());

    RenderAnalysis analysis (rate, sine.getNumSamples(), sine.getNumChannels(), 100);
    analysis.add (sine.getArrayOfReadPointers(), output.getArrayOfReadPointers(), sine.getNumSamples());
    analysis.finish();

    EXPECT_EQ (analysis.getSamplesLeftOut(), 3);

    for (const auto* spectrum : { &analysis.getInputSpectrum(), &analysis.getOutputSpectrum() })
    {
        ASSERT_TRUE (std::all_of (spectrum->begin(), spectrum->end(), [] (double power) { return std::isfinite (power); }));

        const auto loudest = (size_t) std::distance (spectrum->begin(), std::max_element (spectrum->begin(), spectrum->end()));
        EXPECT_NEAR ((double) loudest * rate / analysis.getFrameSize(), frequency, rate / analysis.getFrameSize());
        EXPECT_NEAR (10.0 * std::log10 ((*spectrum)[loudest]), 0.0, 1.5);
    }

    for (const auto* envelope : { &analysis.getInputOverview(), &analysis.getOutputOverview() })
        for (const auto* values : { &envelope->minimum, &envelope->maximum })
            EXPECT_TRUE (std::all_of (values->begin(), values->end(), [] (float v) { return std::isfinite (v); }));
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

// A plot that passes every check before the render and still fails when it is
// written (here: a picture larger than the file-size limit, RLIMIT_FSIZE set by
// prlimit, which the audio stays under): the audio is kept, the plot that was
// there is untouched, and the run ends with the status the manual names (1).
TEST (RenderPlot, PlotFailingAfterTheRenderKeepsTheAudio)
{
    ScratchFolder scratch;
    const auto input = scratch / "sine.wav", output = scratch / "out.wav", plot = scratch / "sine.png";
    writeAudioFile (input, fullScaleSine ((int) rate / 20), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 });
    ASSERT_TRUE (plot.replaceWithText ("an earlier plot\n"));

    // The picture takes about 200 kB; the audio under 5 kB.
    const auto result = runRender (juce::File ("/usr/bin/prlimit"),
                                   { "--fsize=32768", "--", brask::built::renderExecutable, "--plugin", builtModule().getFullPathName(), "--plot",
                                     plot.getFullPathName(), input.getFullPathName(), output.getFullPathName() });

    EXPECT_EQ (result.exitStatus, 1) << result.out << result.err;
    const auto line = juce::String (result.err).trim();
    EXPECT_EQ (juce::StringArray::fromLines (line).size(), 1) << line;
    EXPECT_TRUE (line.contains ("wrote ") && line.contains ("out.wav (0.05 s, ")) << line;
    EXPECT_TRUE (line.contains ("; but cannot write the plot '") && line.contains ("sine.png': File too large (the audio is kept)")) << line;

    EXPECT_EQ (plot.loadFileAsString().trim(), juce::String ("an earlier plot"));
    const auto rendered = readAudioFile (output);
    EXPECT_EQ (rendered.exact.getNumSamples(), (int) rate / 20);
    EXPECT_EQ (scratch.snapshot().size(), 3u) << "a hidden file was left";
}

TEST (RenderPlot, WithoutItsLibraryTheRenderFailsAndLeavesNothing)
{
    // A copy of the tool in a folder of its own: beside it no plot library, a
    // file that only has the library's name, or a library that is another one
    // (the pedal's module); nor is there one where an installed tool looks,
    // below the scratch folder.
    const auto pedalModule = builtModule().getChildFile ("Contents/x86_64-linux/" BRASK_PRODUCT_NAME ".so");
    ASSERT_TRUE (pedalModule.existsAsFile());

    struct Case
    {
        const char* name;
        juce::File besideTheTool;  // copied under the library's name; none: nothing there
        juce::String reason;
    };

    const juce::TemporaryFile text (".txt");
    const auto scratchText = text.getFile();
    ASSERT_TRUE (scratchText.replaceWithText (juce::String::repeatedString ("not a library\n", 40)));

    const Case cases[] = {
        { "missing", {}, "No such file or directory" },
        { "not a library", scratchText, "invalid ELF header" },
        { "another library", pedalModule, "is not the plot library of this brask-render" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        ScratchFolder scratch;
        const auto folder = scratch / "bin";
        const auto tool = folder.getChildFile ("brask-render");
        ASSERT_TRUE (folder.createDirectory());
        ASSERT_TRUE (juce::File (brask::built::renderExecutable).copyFileTo (tool));
        ASSERT_TRUE (tool.setExecutePermission (true));

        if (c.besideTheTool != juce::File())
        {
            ASSERT_TRUE (c.besideTheTool.copyFileTo (folder.getChildFile ("brask-render-plot.so")));
        }

        writeAudioFile (scratch / "sine.wav", fullScaleSine ((int) rate / 10), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT });
        const auto before = scratch.snapshot();

        const auto result = runRender (tool, { "--plugin", builtModule().getFullPathName(), "--plot", (scratch / "sine.png").getFullPathName(),
                                               (scratch / "sine.wav").getFullPathName(), (scratch / "out.wav").getFullPathName() });

        EXPECT_EQ (result.exitStatus, 1) << result.out << result.err;
        const auto message = juce::String (result.err);
        EXPECT_TRUE (message.contains ("cannot draw the plot: ")) << result.err;
        EXPECT_TRUE (message.contains ("brask-render-plot.so")) << result.err;
        EXPECT_TRUE (message.contains (c.reason)) << result.err;
        EXPECT_TRUE (scratch.snapshot() == before) << "the failed render left a file behind";
    }
}
