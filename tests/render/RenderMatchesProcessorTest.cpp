// What brask-render writes is exactly what the pedal plays: the module this
// build made, loaded through the VST3 host in a child process, gives the same
// samples, bit for bit, as the pedal's own processor run here in-process with
// the same settings and the same blocks, in every format the file layer reads.
// The output keeps the input's sample format where its container can hold it,
// and says what it wrote where not. With the footswitch off, the file comes
// back as it went in, integer, float or double.

#include "RenderTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

using namespace RenderTest;

namespace
{
    struct RenderCase
    {
        const char* name;
        int numChannels;
        double sampleRate;
        FileFormat input;
        juce::String outputExtension;
        const char* bits;  // --bits, or "" to keep the input's format
        brask::audiofile::Format expected;
        const char* note;  // what the summary must say about the format written ("" for nothing)
        bool knobsGiven;   // false: leave the knobs to the renderer's defaults
        float drive, tone, level;
        bool effectOn;
        int blockSize;  // 0: leave it to the renderer's default
    };

    // Test names in failure messages, rather than the case's bytes.
    void PrintTo (const RenderCase& c, std::ostream* stream)
    {
        *stream << c.name;
    }

    constexpr int renderersDefaultBlock = 512;

    std::vector<juce::String> renderArguments (const RenderCase& c, const juce::File& input, const juce::File& output)
    {
        std::vector<juce::String> arguments { "--plugin", builtModule().getFullPathName() };

        if (c.knobsGiven)
            for (auto [option, value] : { std::pair { "--drive", c.drive }, { "--tone", c.tone }, { "--level", c.level } })
                arguments.insert (arguments.end(), { option, juce::String (value, 6) });

        if (! c.effectOn)
            arguments.push_back ("--off");

        if (c.blockSize > 0)
            arguments.insert (arguments.end(), { "--block", juce::String (c.blockSize) });

        if (juce::String (c.bits).isNotEmpty())
            arguments.insert (arguments.end(), { "--bits", c.bits });

        arguments.insert (arguments.end(), { input.getFullPathName(), output.getFullPathName() });
        return arguments;
    }

    bool isLossy (brask::audiofile::Format format)
    {
        return brask::audiofile::bytesPerStoredSample (format) == 0 && (format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC;
    }
}

//==============================================================================
class RenderMatchesProcessor : public ::testing::TestWithParam<RenderCase>
{
protected:
    ScratchFolder scratch;
};

TEST_P (RenderMatchesProcessor, BitForBitInTheOutputFormat)
{
    const auto& c = GetParam();
    ASSERT_TRUE (builtModule().isDirectory()) << builtModule().getFullPathName();

    // An odd length, so the last block is a short one.
    const auto numSamples = (int) (0.6 * c.sampleRate) + 37;
    const auto inputFile = scratch / ("input" + c.input.extension);
    const auto outputFile = scratch / ("output" + c.outputExtension);
    writeAudioFile (inputFile, makeTestSignal (c.numChannels, c.sampleRate, numSamples, 7), c.sampleRate, c.input);

    const auto input = readAudioFile (inputFile);
    ASSERT_EQ (input.format, c.input.format) << "the test's own input came out as another format";
    ASSERT_GT (input.exact.getNumSamples(), 0);

    const auto result = runRender (renderArguments (c, inputFile, outputFile));
    ASSERT_EQ (result.exitStatus, 0) << result.err;
    EXPECT_TRUE (result.err.empty()) << result.err;
    EXPECT_EQ (juce::StringArray::fromLines (juce::String (result.out).trim()).size(), 1) << result.out;
    EXPECT_TRUE (juce::String (result.out).startsWith ("brask-render: wrote ")) << result.out;

    const auto encoding = juce::String (brask::audiofile::encodingName (c.expected));
    EXPECT_TRUE (juce::String (result.out).contains (", " + encoding)) << "expected " << encoding << " in: " << result.out;

    if (juce::String (c.note).isNotEmpty())
        EXPECT_TRUE (juce::String (result.out).contains (c.note)) << "expected \"" << c.note << "\" in: " << result.out;
    else
        EXPECT_FALSE (juce::String (result.out).contains (" cannot hold ")) << result.out;

    const auto rendered = readAudioFile (outputFile);
    EXPECT_EQ (rendered.format, c.expected) << std::hex << rendered.format << " instead of " << c.expected;
    EXPECT_EQ (rendered.sampleRate, c.sampleRate);
    EXPECT_EQ (rendered.exact.getNumChannels(), c.numChannels);

    if (! isLossy (c.expected))
    {
        // The same input, decoded the same way, through the pedal in-process, written
        // in the same format: the file's own quantisation applies to both.
        const auto blockSize = c.blockSize > 0 ? c.blockSize : renderersDefaultBlock;
        const auto settings = c.knobsGiven ? PedalSettings { c.drive, c.tone, c.level, c.effectOn }
                                           : PedalSettings { 0.5f, 0.5f, 0.5f, c.effectOn };
        const auto reference = processInProcess (input.audio, c.sampleRate, settings, blockSize);
        const auto referenceFile = scratch / ("reference" + c.outputExtension);
        writeAudioFile (referenceFile, reference, c.sampleRate, { c.outputExtension, c.expected });
        const auto expected = readAudioFile (referenceFile);

        ASSERT_EQ (rendered.exact.getNumSamples(), input.exact.getNumSamples());
        EXPECT_EQ (firstDifference (rendered.exact, expected.exact), juce::String()) << "first difference from the in-process pedal";

        if (c.effectOn)
            EXPECT_NE (firstDifference (rendered.audio, input.audio), juce::String()) << "the pedal left the sound untouched";
        else
            EXPECT_EQ (firstDifference (rendered.exact, input.exact), juce::String()) << "footswitch off must give the input back";
    }

    // Nothing but the output is left beside it.
    EXPECT_EQ (scratch.snapshot().size(), isLossy (c.expected) ? 2u : 3u);
}

TEST (RenderBlockSize, TheSameSoundAtEveryBlockSize)
{
    // The block size is the renderer's business, not the listener's: a file rendered
    // in small or large blocks through the built module sounds the same from the
    // first sample on, the bias ramp and the blend's fade included.
    ScratchFolder scratch;
    constexpr double sampleRate = 48000.0;
    const auto inputFile = scratch / "input.wav";
    writeAudioFile (inputFile, makeTestSignal (2, sampleRate, (int) (3.0 * sampleRate) + 37, 11), sampleRate,
                    { ".wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT });

    auto renderInBlocks = [&] (int blockSize) {
        const auto output = scratch / ("output-" + juce::String (blockSize) + ".wav");
        const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), "--drive", "0.8",
                                         "--block", juce::String (blockSize), inputFile.getFullPathName(),
                                         output.getFullPathName() });
        EXPECT_EQ (result.exitStatus, 0) << result.err;
        return readAudioFile (output).exact;
    };

    const auto reference = renderInBlocks (512);
    ASSERT_EQ (reference.getNumChannels(), 2);
    const auto peak = juce::jmax (reference.getMagnitude (0, 0, reference.getNumSamples()),
                                  reference.getMagnitude (1, 0, reference.getNumSamples()));
    ASSERT_GT (peak, 0.1);

    for (const auto blockSize : { 32, 4096 })
    {
        const auto rendered = renderInBlocks (blockSize);
        ASSERT_EQ (rendered.getNumSamples(), reference.getNumSamples()) << "blocks of " << blockSize;
        auto largest = 0.0;

        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < reference.getNumSamples(); ++i)
                largest = juce::jmax (largest, std::abs (rendered.getSample (c, i) - reference.getSample (c, i)));

        EXPECT_LE (largest, 1.0e-5 * peak) << "blocks of " << blockSize << " against 512: largest difference "
                                           << largest << " at a peak of " << peak;
    }
}

namespace
{
    constexpr auto wav = SF_FORMAT_WAV, aiff = SF_FORMAT_AIFF, flac = SF_FORMAT_FLAC, caf = SF_FORMAT_CAF,
                   w64 = SF_FORMAT_W64, rf64 = SF_FORMAT_RF64, wavex = SF_FORMAT_WAVEX, ogg = SF_FORMAT_OGG,
                   mpeg = SF_FORMAT_MPEG;
    constexpr auto u8 = SF_FORMAT_PCM_U8, s8 = SF_FORMAT_PCM_S8, i16 = SF_FORMAT_PCM_16, i24 = SF_FORMAT_PCM_24,
                   i32 = SF_FORMAT_PCM_32, f32 = SF_FORMAT_FLOAT, f64 = SF_FORMAT_DOUBLE, vorbis = SF_FORMAT_VORBIS,
                   opus = SF_FORMAT_OPUS, mp3 = SF_FORMAT_MPEG_LAYER_III;
}

INSTANTIATE_TEST_SUITE_P (
    Renders,
    RenderMatchesProcessor,
    ::testing::Values (
        //            name                      ch  rate      input                      output   --bits  written as     note                                     knobs  drive  tone  level  on     block
        RenderCase { "MonoWav16NewPedal", 1, 44100.0, { ".wav", wav | i16 }, ".wav", "", wav | i16, "", false, 0.0f, 0.0f, 0.0f, true, 0 },
        RenderCase { "StereoWav24HotDrive", 2, 48000.0, { ".wav", wav | i24 }, ".wav", "", wav | i24, "", true, 0.85f, 0.3f, 0.7f, true, 100 },
        RenderCase { "StereoFloatCleanBright", 2, 96000.0, { ".wav", wav | f32 }, ".wav", "", wav | f32, "", true, 0.05f, 1.0f, 1.0f, true, 4096 },
        RenderCase { "MonoFloatFullDriveTiny", 1, 48000.0, { ".wav", wav | f32 }, ".wav", "", wav | f32, "", true, 1.0f, 0.0f, 0.25f, true, 1 },
        RenderCase { "StereoWav8", 2, 22050.0, { ".wav", wav | u8 }, ".wav", "", wav | u8, "", true, 0.5f, 0.5f, 0.8f, true, 0 },
        RenderCase { "MonoWav32Integer", 1, 44100.0, { ".wav", wav | i32 }, ".wav", "", wav | i32, "", true, 0.6f, 0.4f, 0.5f, true, 0 },
        RenderCase { "StereoWavDouble", 2, 48000.0, { ".wav", wav | f64 }, ".wav", "", wav | f64, "", true, 0.3f, 0.7f, 0.6f, true, 0 },
        RenderCase { "StereoWavExtensible24", 2, 48000.0, { ".wav", wavex | i24 }, ".wav", "", wav | i24, "", true, 0.7f, 0.5f, 0.5f, true, 0 },
        RenderCase { "MonoRf64", 1, 48000.0, { ".rf64", rf64 | i16 }, ".rf64", "", rf64 | i16, "", true, 0.4f, 0.5f, 0.5f, true, 0 },
        RenderCase { "StereoWave64Float", 2, 44100.0, { ".w64", w64 | f32 }, ".w64", "", w64 | f32, "", true, 0.9f, 0.2f, 0.3f, true, 0 },
        RenderCase { "MonoAiff16ToWav", 1, 22050.0, { ".aiff", aiff | i16 }, ".wav", "", wav | i16, "", true, 0.3f, 0.2f, 0.9f, true, 256 },
        RenderCase { "StereoAiff24", 2, 48000.0, { ".aiff", aiff | i24 }, ".aiff", "", aiff | i24, "", true, 0.5f, 0.5f, 0.5f, true, 0 },
        RenderCase { "MonoAiff8", 1, 44100.0, { ".aiff", aiff | s8 }, ".aiff", "", aiff | s8, "", true, 0.2f, 0.9f, 0.9f, true, 0 },
        RenderCase { "StereoAifcFloat", 2, 48000.0, { ".aifc", aiff | f32 }, ".aiff", "", aiff | f32, "", true, 0.8f, 0.6f, 0.4f, true, 0 },
        RenderCase { "StereoCaf24", 2, 48000.0, { ".caf", caf | i24 }, ".caf", "", caf | i24, "", true, 0.5f, 0.3f, 0.6f, true, 0 },
        RenderCase { "StereoFlac24", 2, 44100.0, { ".flac", flac | i24 }, ".flac", "", flac | i24, "", true, 0.6f, 0.6f, 0.4f, true, 333 },
        RenderCase { "MonoFlac8", 1, 48000.0, { ".flac", flac | s8 }, ".flac", "", flac | s8, "", true, 0.6f, 0.6f, 0.4f, true, 0 },
        RenderCase { "StereoWav24ToFlac", 2, 48000.0, { ".wav", wav | i24 }, ".flac", "", flac | i24, "", true, 0.4f, 0.8f, 0.5f, true, 512 },
        RenderCase { "FloatWavToFlac", 2, 48000.0, { ".wav", wav | f32 }, ".flac", "", flac | i24, "FLAC cannot hold the input's 32-bit float", true, 0.4f, 0.8f, 0.5f, true, 0 },
        RenderCase { "Wav32IntegerToFlac", 1, 44100.0, { ".wav", wav | i32 }, ".flac", "", flac | i24, "FLAC cannot hold the input's 32-bit", true, 0.4f, 0.8f, 0.5f, true, 0 },
        RenderCase { "Wav24AskedFor16", 2, 48000.0, { ".wav", wav | i24 }, ".wav", "16", wav | i16, "as --bits asks", true, 0.5f, 0.5f, 0.5f, true, 0 },
        RenderCase { "Wav16AskedForFloat", 1, 48000.0, { ".wav", wav | i16 }, ".wav", "float", wav | f32, "as --bits asks", true, 0.5f, 0.5f, 0.5f, true, 0 },
        RenderCase { "OggVorbisToWav", 2, 48000.0, { ".ogg", ogg | vorbis }, ".wav", "", wav | i24, "WAV cannot hold the input's Vorbis", true, 0.7f, 0.4f, 0.5f, true, 0 },
        RenderCase { "OpusToWav", 1, 48000.0, { ".opus", ogg | opus }, ".wav", "", wav | i24, "WAV cannot hold the input's Opus", true, 0.7f, 0.4f, 0.5f, true, 0 },
        RenderCase { "Mp3ToFlac", 2, 44100.0, { ".mp3", mpeg | mp3 }, ".flac", "", flac | i24, "FLAC cannot hold the input's MP3", true, 0.7f, 0.4f, 0.5f, true, 0 },
        RenderCase { "WavToOggVorbis", 2, 48000.0, { ".wav", wav | i16 }, ".ogg", "", ogg | vorbis, "as Vorbis", true, 0.7f, 0.4f, 0.5f, true, 0 },
        RenderCase { "FlacToMp3", 1, 44100.0, { ".flac", flac | i16 }, ".mp3", "", mpeg | mp3, "as MP3", true, 0.7f, 0.4f, 0.5f, true, 0 },
        RenderCase { "FootswitchOffStereoFloat", 2, 48000.0, { ".wav", wav | f32 }, ".wav", "", wav | f32, "", true, 1.0f, 0.5f, 1.0f, false, 0 },
        RenderCase { "FootswitchOffMonoWav16", 1, 44100.0, { ".wav", wav | i16 }, ".wav", "", wav | i16, "", true, 0.7f, 0.5f, 0.5f, false, 64 },
        RenderCase { "FootswitchOffMonoFlac16", 1, 44100.0, { ".flac", flac | i16 }, ".flac", "", flac | i16, "", false, 0.0f, 0.0f, 0.0f, false, 0 },
        RenderCase { "FootswitchOffWav8", 2, 44100.0, { ".wav", wav | u8 }, ".wav", "", wav | u8, "", false, 0.0f, 0.0f, 0.0f, false, 0 },
        RenderCase { "FootswitchOffWav32Integer", 2, 48000.0, { ".wav", wav | i32 }, ".wav", "", wav | i32, "", false, 0.0f, 0.0f, 0.0f, false, 0 },
        RenderCase { "FootswitchOffWavDouble", 1, 48000.0, { ".wav", wav | f64 }, ".wav", "", wav | f64, "", false, 0.0f, 0.0f, 0.0f, false, 0 },
        RenderCase { "FootswitchOffAiff24", 2, 96000.0, { ".aiff", aiff | i24 }, ".aiff", "", aiff | i24, "", false, 0.0f, 0.0f, 0.0f, false, 0 }),
    [] (const ::testing::TestParamInfo<RenderCase>& testCase) { return std::string (testCase.param.name); });
