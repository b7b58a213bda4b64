// Files as they come from real recorders and editors: cut short, with headers
// never completed, with chunks after the audio, empty, or holding NaNs. The
// renderer trusts no header: it renders exactly the data that is there, refuses
// a file that ends before its header says (unless asked to render it anyway),
// never pads, and never writes a non-finite sample.

#include "RenderTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <limits>
#include <string_view>
#include <cstring>
#include <unistd.h>
#include <fcntl.h>

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

    /** Where a compressed WAV's fact chunk keeps its frame count. */
    size_t factCountOffset (const juce::MemoryBlock& block)
    {
        const auto* bytes = static_cast<const char*> (block.getData());

        for (size_t i = 12; i + 12 <= block.getSize(); ++i)
            if (std::memcmp (bytes + i, "fact", 4) == 0)
                return i + 8;

        ADD_FAILURE() << "no fact chunk";
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

    /** A chunk of `size` bytes that would be loud as samples of any encoding. */
    juce::MemoryBlock loudChunk (const char* id, size_t size)
    {
        juce::MemoryBlock chunk (8 + size);
        std::memcpy (chunk.getData(), id, 4);
        putLittleEndian32 (chunk, 4, (juce::uint32) size);
        std::memset (static_cast<char*> (chunk.getData()) + 8, 0x7e, size);
        return chunk;
    }

    /** A chunk put after the audio, and the RIFF size set to what a careless writer gives. */
    void appendChunkWithRiffSize (juce::MemoryBlock& block, const juce::MemoryBlock& chunk, juce::int64 riffSizeError)
    {
        block.append (chunk.getData(), chunk.getSize());
        putLittleEndian32 (block, 4, (juce::uint32) ((juce::int64) block.getSize() - 8 + riffSizeError));
    }

    /** A chunk put between the header and the audio, as broadcast recorders put bext and iXML. */
    void insertBeforeData (juce::MemoryBlock& block, const juce::MemoryBlock& chunk)
    {
        block.insert (chunk.getData(), chunk.getSize(), wavDataSizeOffset (block) - 4);
        putLittleEndian32 (block, 4, (juce::uint32) block.getSize() - 8);
    }

    /** The fmt chunk moved behind the data, as some editors write it (RIFX: sizes big-endian). */
    void moveFmtToTheEnd (juce::MemoryBlock& block, bool bigEndian = false)
    {
        const auto* bytes = static_cast<const juce::uint8*> (block.getData());
        const auto size = [&] (size_t at) {
            return bigEndian ? (size_t) bytes[at + 4] << 24 | (size_t) bytes[at + 5] << 16 | (size_t) bytes[at + 6] << 8 | bytes[at + 7]
                             : (size_t) bytes[at + 7] << 24 | (size_t) bytes[at + 6] << 16 | (size_t) bytes[at + 5] << 8 | bytes[at + 4];
        };
        size_t at = 12;

        while (at + 8 <= block.getSize() && std::memcmp (bytes + at, "fmt ", 4) != 0)
            at += 8 + size (at);

        ASSERT_LT (at + 8, block.getSize());
        const auto length = 8 + size (at);
        juce::MemoryBlock fmt (bytes + at, length);
        block.removeSection (at, length);
        block.append (fmt.getData(), fmt.getSize());
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
        const char* message;  // in the one line on stderr (failure) or stdout (summary)
        int outputFrames;     // -1: no output may be left; someFrames: fewer than the file's; else the frames it must hold

        // The footswitch off sends the input through untouched: then the output must be
        // the clean file's first frames exactly, so that no byte from outside the audio
        // (a tag, a chunk after the data) was read as a sample.
        bool bypassMatchesCleanFile = true;
    };

    void PrintTo (const DamagedCase& c, std::ostream* stream)
    {
        *stream << c.name;
    }

    void cutTo (juce::MemoryBlock& block, size_t size)
    {
        block.setSize (size);
    }

    // A lossy stream cut short: what its whole pages decode to, less than the whole.
    constexpr int someFrames = -2;

    // 16-bit mono at 48 kHz: 96,000 bytes a second, behind a header of a few dozen bytes.
    constexpr auto wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    constexpr auto mpegLayer3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;

    /** The length of an MPEG-1 Layer III file's first frame (at 48 kHz: its Xing frame). */
    size_t firstMpegFrameLength (const juce::MemoryBlock& block)
    {
        static constexpr int kilobits[16] = { 0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0 };
        const auto* header = static_cast<const juce::uint8*> (block.getData());
        return (size_t) (144 * kilobits[header[2] >> 4] * 1000 / 48000 + ((header[2] >> 1) & 1));
    }

    // A LAME tag whose padding (its last 12 bits of delay and padding) eats more than
    // the two frames its Xing tag is made to count: the decoder has no length to give.
    void padAwayEveryCountedFrame (juce::MemoryBlock& block)
    {
        const std::string_view firstFrame (static_cast<const char*> (block.getData()), juce::jmin<size_t> (block.getSize(), 512));
        const auto xing = firstFrame.find ("Xing"), lame = firstFrame.find ("LAME");
        ASSERT_NE (xing, std::string_view::npos);
        ASSERT_NE (lame, std::string_view::npos);
        putBigEndian32 (block, xing + 8, 2);
        auto* bytes = static_cast<juce::uint8*> (block.getData());
        bytes[lame + 22] |= 0x0f;
        bytes[lame + 23] = 0xff;
    }

    // Its Xing tag counting one frame: less than the encoder's delay, so the decoder
    // gives not a single frame.
    void countOneFrame (juce::MemoryBlock& block)
    {
        const std::string_view firstFrame (static_cast<const char*> (block.getData()), juce::jmin<size_t> (block.getSize(), 512));
        const auto xing = firstFrame.find ("Xing");
        ASSERT_NE (xing, std::string_view::npos);
        putBigEndian32 (block, xing + 8, 1);
    }

    const std::vector<DamagedCase>& damagedCases()
    {
        static const std::vector<DamagedCase> cases {
            { "WavCutShort", { ".wav", wav16, 10.0, [] (auto& b) { cutTo (b, 1000); } }, {}, 1, "input ends after 0.01 s of the 10.00 s its header announces", -1 },
            { "WavCutShortAccepted", { ".wav", wav16, 10.0, [] (auto& b) { cutTo (b, 1000); } }, { "--accept-short" }, 0, "input ends after 0.01 s of the 10.00 s its header announces, rendered as it is", (1000 - 44) / 2 },
            { "AiffCutShort", { ".aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 10.0, [] (auto& b) { cutTo (b, 3000); } }, {}, 1, "of the 10.00 s its header announces", -1 },
            { "FlacCutShort", { ".flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 10.0, [] (auto& b) { cutTo (b, b.getSize() / 3); } }, {}, 1, "of the 10.00 s its header announces", -1 },
            // An encoder that wrote STREAMINFO's total before it had all the audio: every
            // frame the file holds is rendered, not just the half its header counts.
            { "FlacHoldsMoreThanItsHeaderSays", { ".flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1.0, [] (auto& b) {
                                                     auto* total = static_cast<juce::uint8*> (b.getData()) + 8 + 13;  // STREAMINFO's 36-bit total
                                                     total[0] &= 0xf0;
                                                     putBigEndian32 (b, 8 + 14, 24000);
                                                 } },
              {},
              0,
              "note: input holds 1.00 s, more than the 0.50 s its header announces, rendered whole",
              48000 },
            { "HeaderOnly", { ".wav", wav16, 1.0, [] (auto& b) { cutTo (b, wavDataSizeOffset (b) + 4); } }, {}, 1, "input ends after 0.00 s of the 1.00 s its header announces", -1 },
            { "StreamingSizesZero", { ".wav", wav16, 0.5, [] (auto& b) { putLittleEndian32 (b, 4, 0); putLittleEndian32 (b, wavDataSizeOffset (b), 0); } }, {}, 0, "note: the header's data size was never written (a recording not finished), read to the end of the file", 24000 },
            { "StreamingSizesAllOnes", { ".wav", wav16, 0.5, [] (auto& b) { putLittleEndian32 (b, 4, 0xffffffff); putLittleEndian32 (b, wavDataSizeOffset (b), 0xffffffff); } }, {}, 0, "note: the header's data size was never written (a recording not finished), read to the end of the file", 24000 },
            // What sox writes on a pipe, where it cannot go back to the header: sizes far beyond the file.
            { "StreamingSizesBeyondTheFile", { ".wav", wav16, 0.5, [] (auto& b) { putLittleEndian32 (b, 4, 0x7ffff024); putLittleEndian32 (b, wavDataSizeOffset (b), 0x7ffff000); } }, {}, 0, "note: the header's data size was never written (a recording not finished), read to the end of the file", 24000 },
            // An AIFF recorder that never came back to its header: no frame count, no sizes.
            { "AiffStreamingSizes", { ".aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 0.5, [] (auto& b) {
                                         putBigEndian32 (b, 4, 0xffffffff);
                                         putBigEndian32 (b, aiffChunk (b, "COMM") + 2, 0);
                                         putBigEndian32 (b, aiffChunk (b, "SSND") - 4, 0xffffffff);
                                     } },
              {},
              0,
              "note: the header's data size was never written (a recording not finished), read to the end of the file",
              24000 },
            // A recorder that never came back to the SSND size, then a tagger that put
            // an ID3 chunk behind the audio: COMM's frame count says where the audio stops.
            { "AiffSsndSizeZeroWithTagAfter", { ".aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 0.5, [] (auto& b) {
                                                   putBigEndian32 (b, aiffChunk (b, "SSND") - 4, 0);
                                                   auto tag = loudChunk ("ID3 ", 4000);
                                                   putBigEndian32 (tag, 4, 4000);
                                                   b.append (tag.getData(), tag.getSize());
                                                   putBigEndian32 (b, 4, (juce::uint32) b.getSize() - 8);
                                               } },
              {},
              0,
              "wrote ",
              24000 },
            { "FmtAfterTheData", { ".wav", wav16, 0.5, [] (auto& b) { moveFmtToTheEnd (b); } }, {}, 0, "wrote ", 24000 },
            { "RifxFmtAfterTheData", { ".wav", wav16 | SF_ENDIAN_BIG, 0.5, [] (auto& b) { moveFmtToTheEnd (b, true); } }, {}, 0, "wrote ", 24000 },
            { "Rf64FmtAfterTheData", { ".rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 0.5, [] (auto& b) { moveFmtToTheEnd (b); } }, {}, 0, "wrote ", 24000 },
            // A compressed WAV's data size is a length too: a copy cut short is refused.
            // (IMA blocks of 2041 frames: the last one filled out, 2.04 s announced.)
            { "ImaAdpcmCutShort", { ".wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 2.0, [] (auto& b) { cutTo (b, b.getSize() * 2 / 3); } }, {}, 1, "of the 2.04 s its header announces", -1 },
            { "MsAdpcmCutShort", { ".wav", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, 2.0, [] (auto& b) { cutTo (b, b.getSize() * 2 / 3); } }, {}, 1, "of the 2.00 s its header announces", -1 },
            { "GsmCutShort", { ".wav", SF_FORMAT_WAV | SF_FORMAT_GSM610, 2.0, [] (auto& b) { cutTo (b, b.getSize() * 2 / 3); } }, {}, 1, "of the 2.00 s its header announces", -1 },
            // A whole ADPCM file ends at its fact count, as sox writes it, not with the
            // padding of its last block (libsndfile counts the padding in its own fact).
            { "ImaAdpcmEndsAtItsFactCount", { ".wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 0.5, [] (auto& b) { putLittleEndian32 (b, factCountOffset (b), 24000); } }, {}, 0, "wrote ", 24000 },
            { "MsAdpcmEndsAtItsFactCount", { ".wav", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, 0.5, [] (auto& b) { putLittleEndian32 (b, factCountOffset (b), 24000); } }, {}, 0, "wrote ", 24000 },
            // sox pads a GSM data chunk to an even size inside the chunk: the file is whole,
            // and the odd byte is no block (libsndfile would decode it as a full-scale burst).
            { "GsmDataPaddedToAnEvenSize", { ".wav", SF_FORMAT_WAV | SF_FORMAT_GSM610, 0.5, [] (auto& b) {
                                                const auto at = wavDataSizeOffset (b);
                                                const auto* p = static_cast<const juce::uint8*> (b.getData()) + at;
                                                const auto size = (juce::uint32) p[0] | (juce::uint32) p[1] << 8 | (juce::uint32) p[2] << 16 | (juce::uint32) p[3] << 24;
                                                ASSERT_EQ (size % 2, 1u);
                                                cutTo (b, at + 4 + size + 1);
                                                static_cast<juce::uint8*> (b.getData())[at + 4 + size] = 0;
                                                putLittleEndian32 (b, at, size + 1);
                                                putLittleEndian32 (b, 4, (juce::uint32) b.getSize() - 8);
                                            } },
              {},
              0,
              "wrote ",
              24000 },
            // Accepted, it ends with its last whole block: the torn one would decode as noise.
            { "ImaAdpcmCutShortAccepted", { ".wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 2.0, [] (auto& b) { cutTo (b, b.getSize() * 2 / 3); } }, { "--accept-short" }, 0, "of the 2.04 s its header announces, rendered as it is", someFrames, false },
            // RIFX: a WAV with its numbers big-endian.
            { "RifxCutShort", { ".wav", wav16 | SF_ENDIAN_BIG, 10.0, [] (auto& b) { cutTo (b, 1000); } }, {}, 1, "input ends after 0.01 s of the 10.00 s its header announces", -1 },
            { "RifxStreamingSizesZero", { ".wav", wav16 | SF_ENDIAN_BIG, 0.5, [] (auto& b) { putBigEndian32 (b, 4, 0); putBigEndian32 (b, wavDataSizeOffset (b), 0); } }, {}, 0, "note: the header's data size was never written (a recording not finished), read to the end of the file", 24000 },
            { "ChunkAfterTheData", { ".wav", wav16, 0.5, [] (auto& b) {
                                        const char chunk[] = "LIST\x0c\0\0\0INFOICMT\0\0\0\0";
                                        b.append (chunk, 20);
                                        putLittleEndian32 (b, 4, (juce::uint32) b.getSize() - 8);
                                    } },
              {},
              0,
              "wrote ",
              24000 },
            // A float WAV whose writer left a chunk out of the RIFF size and put a tag
            // after the data: the data chunk's own size holds.
            { "RiffSizeTooSmallWithTagAfterTheData", { ".wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.5, [] (auto& b) { appendChunkWithRiffSize (b, loudChunk ("id3 ", 4056), -4056 - 8 - 12); } }, {}, 0, "wrote ", 24000 },
            // The RIFF size leaves out the LIST after the data and 2 bytes of the data itself.
            { "RiffSizeTwoBytesShortWithListAfterTheData", { ".wav", wav16, 0.5, [] (auto& b) { appendChunkWithRiffSize (b, loudChunk ("LIST", 18), -26 - 2); } }, {}, 0, "wrote ", 24000 },
            { "RiffSizeTooLargeWithListAfterTheData", { ".wav", wav16, 0.5, [] (auto& b) { appendChunkWithRiffSize (b, loudChunk ("LIST", 52), 5000); } }, {}, 0, "wrote ", 24000 },
            // Beyond the first 64 KiB the data chunk must still be found and believed.
            { "LargeChunkBeforeTheDataCut", { ".wav", wav16, 0.5, [] (auto& b) { insertBeforeData (b, loudChunk ("bext", 70000)); cutTo (b, b.getSize() - 24000); } }, {}, 1, "input ends after 0.25 s of the 0.50 s its header announces", -1 },
            { "LargeChunkBeforeTheDataStreaming", { ".wav", wav16, 0.5, [] (auto& b) {
                                                       insertBeforeData (b, loudChunk ("iXML", 70000));
                                                       putLittleEndian32 (b, 4, 0);
                                                       putLittleEndian32 (b, wavDataSizeOffset (b), 0);
                                                   } },
              {},
              0,
              "note: the header's data size was never written (a recording not finished), read to the end of the file",
              24000 },
            { "Rf64CutShort", { ".rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 10.0, [] (auto& b) { cutTo (b, 96000); } }, {}, 1, "of the 10.00 s its header announces", -1 },
            { "Wave64CutShort", { ".w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 10.0, [] (auto& b) { cutTo (b, 96000); } }, {}, 1, "of the 10.00 s its header announces", -1 },
            { "AuCutShort", { ".au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 10.0, [] (auto& b) { cutTo (b, 96024); } }, {}, 1, "input ends after 1.00 s of the 10.00 s its header announces", -1 },
            { "CafCutShort", { ".caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 10.0, [] (auto& b) { cutTo (b, 96000); } }, {}, 1, "of the 10.00 s its header announces", -1 },
            { "CafCutShortAccepted", { ".caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 1.0, [] (auto& b) { cutTo (b, b.getSize() - 48000); } }, { "--accept-short" }, 0, "input ends after 0.50 s of the 1.00 s its header announces, rendered as it is", 24000 },
            // Ogg announces no length: a copy cut inside a page, without its last page.
            { "VorbisCutShort", { ".ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 5.0, [] (auto& b) { cutTo (b, b.getSize() / 2); } }, {}, 1, "input ends in the middle of its stream (--accept-short renders what is there)", -1 },
            // Two streams back to back, as recorders and radio streams chain them: the
            // decoder reads only the first, so the file is refused rather than half rendered.
            { "VorbisChained", { ".ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.5, [] (auto& b) { const juce::MemoryBlock first (b); b.append (first.getData(), first.getSize()); } }, {}, 1, "chains 2 Ogg streams one after another, and only the first can be decoded", -1 },
            { "OpusCutShortAccepted", { ".opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 5.0, [] (auto& b) { cutTo (b, b.getSize() / 2); } }, { "--accept-short" }, 0, "in the middle of its stream, rendered as it is", someFrames, false },
            // The MP3 decoder stops at its own count: the first stream's of MP3s joined end
            // to end, or a guess from the first frame's bitrate where a VBR stream has lost
            // its Xing frame. The frames behind it would be dropped without a word.
            { "Mp3JoinedEndToEnd", { ".mp3", mpegLayer3, 1.0, [] (auto& b) { const juce::MemoryBlock first (b); b.append (first.getData(), first.getSize()); } }, {}, 1, "of MP3 frames, but the decoder stops after 1.00 s", -1 },
            { "Mp3JoinedEndToEndAccepted", { ".mp3", mpegLayer3, 1.0, [] (auto& b) { const juce::MemoryBlock first (b); b.append (first.getData(), first.getSize()); } }, { "--accept-short" }, 0, "of which the decoder gave 1.00 s, rendered as it is", 48000, false },
            { "Mp3PaddedBeyondItsCount", { ".mp3", mpegLayer3, 1.0, padAwayEveryCountedFrame }, {}, 1, "so the decoder gives no length", -1 },
            { "Mp3PaddedBeyondItsCountAccepted", { ".mp3", mpegLayer3, 1.0, padAwayEveryCountedFrame }, { "--accept-short" }, 0, "of MP3 frames, of which the decoder gave", someFrames, false },
            { "Mp3CountingOneFrameAccepted", { ".mp3", mpegLayer3, 1.0, countOneFrame }, { "--accept-short" }, 1, "of MP3 frames, but the decoder gave none of them; nothing written", -1 },
            { "Mp3VbrWithoutItsXingFrame", { ".mp3", mpegLayer3, 1.0, [] (auto& b) { b.removeSection (0, firstMpegFrameLength (b)); } }, {}, 1, "of MP3 frames, but the decoder stops after", -1 },
            { "ZeroFrames", { ".wav", wav16, 0.0, [] (auto&) {} }, {}, 0, "wrote ", 0 },
            { "NonFiniteSamples", { ".wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.1, [] (auto&) {}, [] (auto& audio) {
                    audio.setSample (0, 100, std::numeric_limits<float>::quiet_NaN());
                    audio.setSample (0, 200, std::numeric_limits<float>::infinity());
                    audio.setSample (0, 300, -std::numeric_limits<float>::infinity()); } }, {}, 0, "3 samples NaN or infinite", 4800, false },
            { "NonFiniteSamplesFootswitchOff", { ".wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.1, [] (auto&) {}, [] (auto& audio) {
                    audio.setSample (0, 100, std::numeric_limits<float>::quiet_NaN());
                    audio.setSample (0, 200, std::numeric_limits<float>::infinity()); } }, { "--off" }, 0, "2 samples NaN or infinite (2 written as 0)", 4800, false },
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
    const auto clean = readAudioFile (input);
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

    if (c.outputFrames == -1)
    {
        EXPECT_EQ (scratch.snapshot().size(), 1u) << "something was left beside the input";
        return;
    }

    EXPECT_EQ (scratch.snapshot().size(), 2u);
    const auto rendered = readAudioFile (output);

    if (c.outputFrames == someFrames)
    {
        EXPECT_GT (rendered.exact.getNumSamples(), 0);
        EXPECT_LT (rendered.exact.getNumSamples(), clean.exact.getNumSamples());
    }
    else
    {
        EXPECT_EQ (rendered.exact.getNumSamples(), c.outputFrames) << "frames in the output";
    }

    for (int i = 0; i < rendered.exact.getNumSamples(); ++i)
        ASSERT_TRUE (std::isfinite (rendered.exact.getSample (0, i))) << "sample " << i;

    if (! c.bypassMatchesCleanFile || c.outputFrames == 0)
        return;

    const auto bypassed = scratch / ("bypassed" + c.file.extension);
    arguments.insert (arguments.begin(), "--off");
    arguments.back() = bypassed.getFullPathName();
    ASSERT_EQ (runRender (arguments).exitStatus, 0);

    juce::AudioBuffer<double> expected (1, c.outputFrames);
    expected.copyFrom (0, 0, clean.exact, 0, 0, c.outputFrames);
    EXPECT_EQ (firstDifference (readAudioFile (bypassed).exact, expected), "");
}

// Every container the renderer writes takes a compressed input: where it cannot hold
// the input's encoding, the nearest it can, said in the summary line.
TEST (RenderDamagedFile, Mp3InputGoesToEveryWritableOutput)
{
    ScratchFolder scratch;
    const auto input = scratch / "input.mp3";
    writeAudioFile (input, makeTestSignal (1, rate, 24000, 5), rate, { ".mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III });
    const auto decodedFrames = readAudioFile (input).exact.getNumSamples();

    for (const auto* extension : { ".wav", ".rf64", ".w64", ".aiff", ".caf", ".flac", ".au", ".ogg", ".opus", ".mp3" })
    {
        SCOPED_TRACE (extension);
        const auto output = scratch / (juce::String ("output") + extension);
        const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), input.getFullPathName(), output.getFullPathName() });

        ASSERT_EQ (result.exitStatus, 0) << result.err;
        const auto lossy = juce::String (".ogg .opus .mp3").contains (extension);
        EXPECT_TRUE (juce::String (result.out).contains (lossy ? "" : "24-bit; ")) << result.out;

        const auto rendered = readAudioFile (output);

        if (lossy)
            EXPECT_GT (rendered.exact.getNumSamples(), 0);
        else
            EXPECT_EQ (rendered.exact.getNumSamples(), decodedFrames);
    }
}

// An input with no audio: an empty file where the format has one (a header and no
// samples), and a one-line refusal where a codec would leave 0 bytes or a stream
// no player opens, which would otherwise pass for a render.
TEST (RenderDamagedFile, EmptyInputIntoEveryOutputFormat)
{
    ScratchFolder scratch;
    const auto input = scratch / "empty.wav";
    writeAudioFile (input, juce::AudioBuffer<float> (1, 0), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 });

    for (const auto* extension : { ".wav", ".rf64", ".w64", ".aiff", ".caf", ".au", ".flac", ".ogg", ".opus", ".mp3" })
    {
        SCOPED_TRACE (extension);
        const auto output = scratch / (juce::String ("output") + extension);
        const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), input.getFullPathName(), output.getFullPathName() });
        const auto holdsEmpty = ! juce::String (".flac .ogg .opus .mp3").contains (extension);

        if (holdsEmpty)
        {
            ASSERT_EQ (result.exitStatus, 0) << result.err;
            EXPECT_EQ (readAudioFile (output).exact.getNumSamples(), 0);
            continue;
        }

        EXPECT_EQ (result.exitStatus, 1) << result.out;
        EXPECT_TRUE (juce::String (result.err).contains ("holds no audio (0 frames)")) << result.err;
        EXPECT_EQ (juce::StringArray::fromLines (juce::String (result.err).trim()).size(), 1);
        EXPECT_FALSE (output.exists());
    }
}

// A double file holding values a float cannot: written to float, they are clipped to
// the largest float and counted, never written as infinities; to double, --off keeps
// them sample for sample.
TEST (RenderDamagedFile, DoublesBeyondFloatRangeClippedAndCounted)
{
    ScratchFolder scratch;
    const auto input = scratch / "huge.wav";
    {
        std::string error;
        auto writer = brask::audiofile::Writer::create (input.getFullPathName().toStdString(), SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 1, rate, error);
        ASSERT_NE (writer, nullptr) << error;
        std::vector<double> samples (4800, 0.25);
        samples[10] = 1.0e300;
        samples[20] = -1.0e40;
        const double* channels[] { samples.data() };
        ASSERT_TRUE (writer->write (channels, (int) samples.size()));
        ASSERT_TRUE (writer->close (error)) << error;
    }

    const auto toFloat = scratch / "float.wav", toDouble = scratch / "double.wav";
    const auto floats = runRender ({ "--plugin", builtModule().getFullPathName(), "--off", "--bits", "float", input.getFullPathName(), toFloat.getFullPathName() });
    ASSERT_EQ (floats.exitStatus, 0) << floats.err;
    EXPECT_TRUE (juce::String (floats.out).contains ("2 samples beyond the 32-bit float range, clipped to it")) << floats.out;
    EXPECT_FALSE (juce::String (floats.out).contains ("NaN")) << floats.out;

    const auto written = readAudioFile (toFloat).exact;
    EXPECT_EQ (written.getSample (0, 10), (double) std::numeric_limits<float>::max());
    EXPECT_EQ (written.getSample (0, 20), -(double) std::numeric_limits<float>::max());
    EXPECT_EQ (written.getSample (0, 30), 0.25);

    const auto doubles = runRender ({ "--plugin", builtModule().getFullPathName(), "--off", input.getFullPathName(), toDouble.getFullPathName() });
    ASSERT_EQ (doubles.exitStatus, 0) << doubles.err;
    EXPECT_EQ (readAudioFile (toDouble).exact.getSample (0, 10), 1.0e300);
    EXPECT_EQ (readAudioFile (toDouble).exact.getSample (0, 20), -1.0e40);
}

// A lossy codec of WAV is decoded once and written as 24-bit PCM, which holds its
// decoded samples exactly: --off gives the input back sample for sample. u-law
// is exact as it is and stays.
TEST (RenderDamagedFile, LossyWavCodecsComeOutAs24BitPcm)
{
    ScratchFolder scratch;
    const std::tuple<const char*, brask::audiofile::Format, brask::audiofile::Format> cases[] {
        { "ima", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, SF_FORMAT_WAV | SF_FORMAT_PCM_24 },
        { "ms", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, SF_FORMAT_WAV | SF_FORMAT_PCM_24 },
        { "gsm", SF_FORMAT_WAV | SF_FORMAT_GSM610, SF_FORMAT_WAV | SF_FORMAT_PCM_24 },
        { "ulaw", SF_FORMAT_WAV | SF_FORMAT_ULAW, SF_FORMAT_WAV | SF_FORMAT_ULAW },
    };

    for (const auto& [name, inputFormat, expected] : cases)
    {
        SCOPED_TRACE (name);
        const auto input = scratch / (juce::String (name) + ".wav"), output = scratch / (juce::String (name) + "-off.wav");
        writeAudioFile (input, makeTestSignal (1, 8000.0, 8000, 3), 8000.0, { ".wav", inputFormat });

        const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), "--off", input.getFullPathName(), output.getFullPathName() });
        ASSERT_EQ (result.exitStatus, 0) << result.err;

        const auto decoded = readAudioFile (input), rendered = readAudioFile (output);
        EXPECT_EQ (rendered.format, expected);
        EXPECT_EQ (firstDifference (rendered.exact, decoded.exact), "");
    }
}

// An MP3 whose Xing tag counts its frames announces its length: a copy cut short is
// refused, or rendered as it is when asked, and one whole is not. The decoder's own
// warning about the tag's byte count never reaches the terminal: one line, ours.
TEST (RenderDamagedFile, CountedMp3HeldToItsCount)
{
    ScratchFolder scratch;
    const auto input = scratch / "counted.mp3", output = scratch / "out.wav";
    writeAudioFile (input, makeTestSignal (1, rate, (int) (2 * rate), 3), rate, { ".mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III });
    const std::vector<juce::String> render { "--plugin", builtModule().getFullPathName(), input.getFullPathName(), output.getFullPathName() };

    const auto whole = runRender (render);
    EXPECT_EQ (whole.exitStatus, 0) << whole.err;
    EXPECT_EQ (readAudioFile (output).exact.getNumSamples(), (int) (2 * rate));
    ASSERT_TRUE (output.deleteFile());

    auto bytes = bytesOf (input);
    cutTo (bytes, bytes.getSize() / 2);
    ASSERT_TRUE (input.replaceWithData (bytes.getData(), bytes.getSize()));

    const auto cut = runRender (render);
    EXPECT_EQ (cut.exitStatus, 1);
    EXPECT_EQ (juce::StringArray::fromLines (juce::String (cut.err).trim()).size(), 1) << cut.err;
    EXPECT_TRUE (juce::String (cut.err).contains ("of the 2.00 s its header announces")) << cut.err;
    EXPECT_FALSE (output.exists());

    auto accepting = render;
    accepting.insert (accepting.begin(), "--accept-short");
    const auto accepted = runRender (accepting);
    EXPECT_EQ (accepted.exitStatus, 0) << accepted.err;
    EXPECT_TRUE (juce::String (accepted.out).contains ("of the 2.00 s its header announces, rendered as it is")) << accepted.out;
    EXPECT_EQ (accepted.err, "");
    const auto frames = readAudioFile (output).exact.getNumSamples();
    EXPECT_GT (frames, 0);
    EXPECT_LT (frames, (int) rate);
}

// Where libsndfile or the decoders under it refuse or warn, the user reads one line of
// ours that names the file and what to do, never the library's own words.
TEST (RenderDamagedFile, LibraryLinesNeverReachTheUser)
{
    ScratchFolder scratch;
    writeAudioFile (scratch / "ok.wav", makeTestSignal (1, rate, 4800, 1), rate, { ".wav", wav16 });
    writeAudioFile (scratch / "high.wav", makeTestSignal (1, 250000.0, 2500, 1), 250000.0, { ".wav", wav16 });
    (scratch / "notes.txt").replaceWithText (juce::String::repeatedString ("not audio\n", 50));

    const auto damagedCopy = [&] (const char* name, size_t at, int width, juce::uint32 value) {
        auto bytes = bytesOf (scratch / "ok.wav");
        for (int i = 0; i < width; ++i)
            static_cast<juce::uint8*> (bytes.getData())[at + (size_t) i] = (juce::uint8) (value >> (8 * i));

        (scratch / name).replaceWithData (bytes.getData(), bytes.getSize());
    };
    damagedCopy ("rate0.wav", 24, 4, 0);      // fmt's sample rate
    damagedCopy ("mono0.wav", 22, 2, 0);      // fmt's channel count
    damagedCopy ("format99.wav", 20, 2, 99);  // fmt's encoding tag

    struct Case
    {
        const char *input, *output, *message;
    };

    const Case cases[] {
        { "rate0.wav", "out.wav", "rate0.wav' is not an audio file brask-render can read (its header gives a sample rate of 0 Hz: export it again" },
        { "mono0.wav", "out.wav", "mono0.wav' is not an audio file brask-render can read (its header gives 0 channels" },
        { "format99.wav", "out.wav", "format99.wav' is not an audio file brask-render can read (its header is damaged or names an encoding brask-render does not decode: convert it to WAV or FLAC first)" },
        { "notes.txt", "out.wav", "notes.txt' is not an audio file brask-render can read (it is none of WAV, RF64" },
        { "high.wav", "out.ogg", "out.ogg': Vorbis holds at most 200000 Hz, not 250000 Hz: name a .flac or .wav output" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.input);
        const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), (scratch / c.input).getFullPathName(), (scratch / c.output).getFullPathName() });
        const auto err = juce::String (result.err);

        EXPECT_EQ (result.exitStatus, 1);
        EXPECT_EQ (juce::StringArray::fromLines (err.trim()).size(), 1) << err;
        EXPECT_TRUE (err.startsWith ("brask-render: ")) << err;
        EXPECT_TRUE (err.contains (c.message)) << err;

        for (const auto* libraryWords : { "Internal error", "SF_INFO", "Format not recognised", "Warning", "Malformed" })
            EXPECT_FALSE (err.contains (libraryWords)) << err;

        EXPECT_FALSE ((scratch / c.output).exists());
    }
}

// A WAV of 2 to 4 GiB: its data size is a length, not "never finished", unless it is
// a recorder's placeholder that the file does not hold. Decided by the walker from
// the header and the file's size: the files are sparse, their audio never read.
TEST (RenderDamagedFile, LargeWavSizesJudgedByHeaderAndFileSize)
{
    ScratchFolder scratch;
    constexpr std::uint64_t headerBytes = 44, frameBytes = 4;
    const std::uint64_t tagBytes = 8 + 128;

    struct Case
    {
        const char* name;
        std::uint32_t dataSize;
        std::uint64_t fileSize;
        std::int64_t announced, maximum;  // frames; announced -1: read to the end
        bool neverWritten;                // a placeholder: the summary notes it
    };

    const std::uint64_t big = 0x90000000u;  // 2.25 GiB
    const std::uint64_t hundredSeconds = 100 * 48000 * frameBytes;

    const Case cases[] {
        { "real size, tag after", (std::uint32_t) big, headerBytes + big + tagBytes, (std::int64_t) (big / frameBytes), (std::int64_t) (big / frameBytes), false },
        { "cut 100 s short", (std::uint32_t) big, headerBytes + big - hundredSeconds, (std::int64_t) (big / frameBytes), (std::int64_t) ((big - hundredSeconds) / frameBytes), false },
        { "sox placeholder", 0x7ffff000u, headerBytes + 48000 * frameBytes, -1, 48000, true },
        { "all ones", 0xffffffffu, headerBytes + 48000 * frameBytes, -1, 48000, true },
        { "signed largest", 0x7fffffffu, headerBytes + 48000 * frameBytes, -1, 48000, true },
        { "zero", 0, headerBytes + 48000 * frameBytes, -1, 48000, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto file = scratch / "large.wav";
        file.deleteFile();

        std::uint8_t header[headerBytes] {};
        const auto put32 = [&] (size_t at, std::uint32_t v) { for (int i = 0; i < 4; ++i) header[at + (size_t) i] = (std::uint8_t) (v >> (8 * i)); };
        const auto put16 = [&] (size_t at, std::uint16_t v) { header[at] = (std::uint8_t) v; header[at + 1] = (std::uint8_t) (v >> 8); };
        std::memcpy (header, "RIFF", 4);
        put32 (4, (std::uint32_t) std::min<std::uint64_t> (c.fileSize - 8, 0xffffffffu));
        std::memcpy (header + 8, "WAVEfmt ", 8);
        put32 (16, 16);
        put16 (20, 1);
        put16 (22, 2);
        put32 (24, 48000);
        put32 (28, 48000 * (std::uint32_t) frameBytes);
        put16 (32, (std::uint16_t) frameBytes);
        put16 (34, 16);
        std::memcpy (header + 36, "data", 4);
        put32 (40, c.dataSize);

        const auto fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE (fd, 0);
        ASSERT_EQ (::write (fd, header, sizeof (header)), (ssize_t) sizeof (header));
        ASSERT_EQ (::ftruncate (fd, (off_t) c.fileSize), 0);
        ::close (fd);

        std::string error;
        const auto reader = brask::audiofile::Reader::open (file.getFullPathName().toStdString(), error);
        ASSERT_NE (reader, nullptr) << error;
        EXPECT_EQ (reader->info().announcedFrames, c.announced);
        EXPECT_EQ (reader->info().maximumFrames, c.maximum);
        EXPECT_LE (reader->info().expectedFrames, c.maximum);
        EXPECT_EQ (reader->info().lengthNeverWritten, c.neverWritten);
    }
}

// An AIFF of 2 to 4 GiB counts its frames in COMM and sizes SSND like any other:
// those are lengths, and a copy cut short is cut. Only the values recorders leave on
// a pipe (sox's 0x7f000000 family, all ones) that the file does not hold are
// placeholders, read to the end of the file with a note. Sparse files, as above.
TEST (RenderDamagedFile, LargeAiffSizesJudgedByHeaderAndFileSize)
{
    ScratchFolder scratch;
    constexpr std::uint64_t headerBytes = 12 + 26 + 16, frameBytes = 4;  // FORM, COMM, SSND to its audio
    const std::uint64_t tagBytes = 8 + 128;

    struct Case
    {
        const char* name;
        std::uint32_t commFrames, ssndSize;
        std::uint64_t fileSize;
        std::int64_t announced, maximum;  // frames; announced -1: read to the end
        bool neverWritten;
    };

    const std::uint64_t big = 0x90000000u;  // 2.25 GiB
    const std::uint64_t hundredSeconds = 100 * 48000 * frameBytes, oneSecond = 48000 * frameBytes;

    const Case cases[] {
        { "real size, ID3 after", (std::uint32_t) (big / frameBytes), (std::uint32_t) big + 8, headerBytes + big + tagBytes, (std::int64_t) (big / frameBytes), (std::int64_t) (big / frameBytes), false },
        { "cut 100 s short", (std::uint32_t) (big / frameBytes), (std::uint32_t) big + 8, headerBytes + big - hundredSeconds, (std::int64_t) (big / frameBytes), (std::int64_t) ((big - hundredSeconds) / frameBytes), false },
        { "cut to its first second", (std::uint32_t) (big / frameBytes), (std::uint32_t) big + 8, headerBytes + oneSecond, (std::int64_t) (big / frameBytes), 48000, false },
        { "sox on a pipe", 0x7f000000u / frameBytes, 0x7f000008u, headerBytes + oneSecond, -1, 48000, true },
        { "all ones", 0xffffffffu, 0xffffffffu, headerBytes + oneSecond, -1, 48000, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto file = scratch / "large.aiff";
        file.deleteFile();

        // FORM, COMM (stereo 16-bit at 48 kHz; the rate an 80-bit float), SSND.
        std::uint8_t header[headerBytes] {};
        const auto put32 = [&] (size_t at, std::uint32_t v) { for (int i = 0; i < 4; ++i) header[at + (size_t) i] = (std::uint8_t) (v >> (8 * (3 - i))); };
        std::memcpy (header, "FORM", 4);
        put32 (4, (std::uint32_t) std::min<std::uint64_t> (c.fileSize - 8, 0xffffffffu));
        std::memcpy (header + 8, "AIFFCOMM", 8);
        put32 (16, 18);
        header[21] = 2;
        put32 (22, c.commFrames);
        header[27] = 16;
        const std::uint8_t rate48k[10] { 0x40, 0x0e, 0xbb, 0x80, 0, 0, 0, 0, 0, 0 };
        std::memcpy (header + 28, rate48k, 10);
        std::memcpy (header + 38, "SSND", 4);
        put32 (42, c.ssndSize);

        const auto fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE (fd, 0);
        ASSERT_EQ (::write (fd, header, sizeof (header)), (ssize_t) sizeof (header));

        // What follows the audio, if the file reaches past it: a loud ID3 chunk.
        if (c.fileSize > headerBytes + big)
        {
            auto tag = loudChunk ("ID3 ", tagBytes - 8);
            putBigEndian32 (tag, 4, (juce::uint32) (tagBytes - 8));
            ASSERT_EQ (::pwrite (fd, tag.getData(), tag.getSize(), (off_t) (headerBytes + big)), (ssize_t) tag.getSize());
        }

        ASSERT_EQ (::ftruncate (fd, (off_t) c.fileSize), 0);
        ::close (fd);

        std::string error;
        const auto reader = brask::audiofile::Reader::open (file.getFullPathName().toStdString(), error);
        ASSERT_NE (reader, nullptr) << error;
        EXPECT_EQ (reader->info().announcedFrames, c.announced);
        EXPECT_EQ (reader->info().maximumFrames, c.maximum);
        EXPECT_EQ (reader->info().lengthNeverWritten, c.neverWritten);
    }
}

INSTANTIATE_TEST_SUITE_P (Files, RenderDamagedFile, ::testing::ValuesIn (damagedCases()),
                          [] (const ::testing::TestParamInfo<DamagedCase>& testCase) { return std::string (testCase.param.name); });
