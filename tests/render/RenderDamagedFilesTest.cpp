// Files as they come from real recorders and editors: cut short, with headers
// never completed, with chunks after the audio, empty, or holding NaNs. The
// renderer trusts no header: it renders exactly the data that is there, refuses
// a file that ends before its header says (unless asked to render it anyway),
// never pads, and never writes a non-finite sample.

#include "RenderTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

using namespace RenderTest;

namespace
{
    constexpr double rate = 48000.0;

    juce::MemoryBlock bytesOf (const juce::File& file)
    {
        juce::MemoryBlock block;
        file.loadFileAsData (block);
        return block;
    }

    void putLittleEndian32 (juce::MemoryBlock& block, size_t offset, juce::uint32 value)
    {
        auto* p = static_cast<juce::uint8*> (block.getData()) + offset;

        for (int i = 0; i < 4; ++i)
            p[i] = (juce::uint8) (value >> (8 * i));
    }

    /** Where the size field of a WAV's data chunk is. */
    size_t wavDataSizeOffset (const juce::MemoryBlock& block)
    {
        const auto* bytes = static_cast<const char*> (block.getData());

        for (size_t i = 12; i + 8 <= block.getSize(); ++i)
            if (std::memcmp (bytes + i, "data", 4) == 0)
                return i + 4;

        return 0;
    }

    void putBigEndian32 (juce::MemoryBlock& block, size_t offset, juce::uint32 value)
    {
        auto* p = static_cast<juce::uint8*> (block.getData()) + offset;

        for (int i = 0; i < 4; ++i)
            p[i] = (juce::uint8) (value >> (8 * (3 - i)));
    }

    /** Where a chunk's contents begin (after its id and size), in an AIFF. */
    size_t aiffChunk (const juce::MemoryBlock& block, const char* id)
    {
        const auto* bytes = static_cast<const char*> (block.getData());

        for (size_t i = 12; i + 8 <= block.getSize(); ++i)
            if (std::memcmp (bytes + i, id, 4) == 0)
                return i + 8;

        return 0;
    }

    /** A test file made from a clean one: the clean file's frames, then its bytes changed. */
    struct DamagedFile
    {
        juce::String extension;
        brask::audiofile::Format format;
        double seconds;
        std::function<void (juce::MemoryBlock&)> damage;
        std::function<void (juce::AudioBuffer<float>&)> samples = {};
    };

    struct DamagedCase
    {
        const char* name;
        DamagedFile file;
        std::vector<juce::String> options;
        int exitStatus;
        const char* message;        // in the one line on stderr (failure) or stdout (summary)
        int outputFrames;           // -1: no output may be left; else the frames it must hold
    };

    void PrintTo (const DamagedCase& c, std::ostream* stream)
    {
        *stream << c.name;
    }

    void cutTo (juce::MemoryBlock& block, size_t size)
    {
        block.setSize (size);
    }

    // 16-bit mono at 48 kHz: 96,000 bytes a second, behind a header of a few dozen bytes.
    constexpr auto wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

    const std::vector<DamagedCase>& damagedCases()
    {
        static const std::vector<DamagedCase> cases {
            { "WavCutShort", { ".wav", wav16, 10.0, [] (auto& b) { cutTo (b, 1000); } },
              {}, 1, "input ends after 0.01 s of the 10.00 s its header announces", -1 },
            { "WavCutShortAccepted", { ".wav", wav16, 10.0, [] (auto& b) { cutTo (b, 1000); } },
              { "--accept-short" }, 0, "input ends after 0.01 s of the 10.00 s its header announces, rendered as it is",
              (1000 - 44) / 2 },
            { "AiffCutShort", { ".aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 10.0, [] (auto& b) { cutTo (b, 3000); } },
              {}, 1, "of the 10.00 s its header announces", -1 },
            { "FlacCutShort", { ".flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 10.0, [] (auto& b) { cutTo (b, b.getSize() / 3); } },
              {}, 1, "of the 10.00 s its header announces", -1 },
            { "HeaderOnly", { ".wav", wav16, 1.0, [] (auto& b) { cutTo (b, wavDataSizeOffset (b) + 4); } },
              {}, 1, "input ends after 0.00 s of the 1.00 s its header announces", -1 },
            { "StreamingSizesZero", { ".wav", wav16, 0.5, [] (auto& b) { putLittleEndian32 (b, 4, 0); putLittleEndian32 (b, wavDataSizeOffset (b), 0); } },
              {}, 0, "wrote ", 24000 },
            { "StreamingSizesAllOnes", { ".wav", wav16, 0.5, [] (auto& b) { putLittleEndian32 (b, 4, 0xffffffff); putLittleEndian32 (b, wavDataSizeOffset (b), 0xffffffff); } },
              {}, 0, "wrote ", 24000 },
            // What sox writes on a pipe, where it cannot go back to the header: sizes far beyond the file.
            { "StreamingSizesBeyondTheFile", { ".wav", wav16, 0.5, [] (auto& b) { putLittleEndian32 (b, 4, 0x7ffff024); putLittleEndian32 (b, wavDataSizeOffset (b), 0x7ffff000); } },
              {}, 0, "wrote ", 24000 },
            // An AIFF recorder that never came back to its header: no frame count, no sizes.
            { "AiffStreamingSizes", { ".aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 0.5, [] (auto& b)
                {
                    putBigEndian32 (b, 4, 0xffffffff);
                    putBigEndian32 (b, aiffChunk (b, "COMM") + 2, 0);
                    putBigEndian32 (b, aiffChunk (b, "SSND") - 4, 0xffffffff);
                } },
              {}, 0, "wrote ", 24000 },
            { "ChunkAfterTheData", { ".wav", wav16, 0.5, [] (auto& b)
                {
                    const char chunk[] = "LIST\x0c\0\0\0INFOICMT\0\0\0\0";
                    b.append (chunk, 20);
                    putLittleEndian32 (b, 4, (juce::uint32) b.getSize() - 8);
                } },
              {}, 0, "wrote ", 24000 },
            { "ZeroFrames", { ".wav", wav16, 0.0, [] (auto&) {} },
              {}, 0, "wrote ", 0 },
            { "NonFiniteSamples", { ".wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.1, [] (auto&) {}, [] (auto& audio)
                {
                    audio.setSample (0, 100, std::numeric_limits<float>::quiet_NaN());
                    audio.setSample (0, 200, std::numeric_limits<float>::infinity());
                    audio.setSample (0, 300, -std::numeric_limits<float>::infinity());
                } },
              {}, 0, "3 samples NaN or infinite", 4800 },
            { "NonFiniteSamplesFootswitchOff", { ".wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.1, [] (auto&) {}, [] (auto& audio)
                {
                    audio.setSample (0, 100, std::numeric_limits<float>::quiet_NaN());
                    audio.setSample (0, 200, std::numeric_limits<float>::infinity());
                } },
              { "--off" }, 0, "2 samples NaN or infinite (2 written as 0)", 4800 },
        };

        return cases;
    }
}

//==============================================================================
class RenderDamagedFile : public ::testing::TestWithParam<DamagedCase>
{
protected:
    ScratchFolder scratch;
};

TEST_P (RenderDamagedFile, RendersWhatIsThereOrRefuses)
{
    const auto& c = GetParam();
    const auto input = scratch / ("input" + c.file.extension);
    const auto output = scratch / ("output" + c.file.extension);

    auto audio = makeTestSignal (1, rate, (int) (c.file.seconds * rate), 3);

    if (c.file.samples)
        c.file.samples (audio);

    writeAudioFile (input, audio, rate, { c.file.extension, c.file.format });
    auto bytes = bytesOf (input);
    ASSERT_GT (bytes.getSize(), 0u);
    c.file.damage (bytes);
    ASSERT_TRUE (input.replaceWithData (bytes.getData(), bytes.getSize()));

    std::vector<juce::String> arguments { "--plugin", builtModule().getFullPathName() };
    arguments.insert (arguments.end(), c.options.begin(), c.options.end());
    arguments.insert (arguments.end(), { input.getFullPathName(), output.getFullPathName() });
    const auto result = runRender (arguments);

    EXPECT_EQ (result.exitStatus, c.exitStatus) << result.err << result.out;
    const auto line = juce::String (c.exitStatus == 0 ? result.out : result.err);
    EXPECT_EQ (juce::StringArray::fromLines (line.trim()).size(), 1) << line;
    EXPECT_TRUE (line.contains (c.message)) << "expected \"" << c.message << "\" in: " << line;

    if (c.outputFrames < 0)
    {
        EXPECT_EQ (scratch.snapshot().size(), 1u) << "something was left beside the input";
        return;
    }

    EXPECT_EQ (scratch.snapshot().size(), 2u);
    const auto rendered = readAudioFile (output);
    EXPECT_EQ (rendered.exact.getNumSamples(), c.outputFrames) << "frames in the output";

    for (int i = 0; i < rendered.exact.getNumSamples(); ++i)
        ASSERT_TRUE (std::isfinite (rendered.exact.getSample (0, i))) << "sample " << i;
}

INSTANTIATE_TEST_SUITE_P (Files, RenderDamagedFile, ::testing::ValuesIn (damagedCases()),
                          [] (const ::testing::TestParamInfo<DamagedCase>& testCase) { return std::string (testCase.param.name); });
