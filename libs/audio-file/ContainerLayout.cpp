#include "ContainerLayout.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace brask::audiofile::detail
{
    namespace
    {
        std::uint32_t littleEndian32 (const std::uint8_t* p) noexcept
        {
            return (std::uint32_t) p[0] | ((std::uint32_t) p[1] << 8) | ((std::uint32_t) p[2] << 16) | ((std::uint32_t) p[3] << 24);
        }

        std::uint32_t bigEndian32 (const std::uint8_t* p) noexcept
        {
            return ((std::uint32_t) p[0] << 24) | ((std::uint32_t) p[1] << 16) | ((std::uint32_t) p[2] << 8) | (std::uint32_t) p[3];
        }

        std::uint64_t littleEndian64 (const std::uint8_t* p) noexcept
        {
            return (std::uint64_t) littleEndian32 (p) | ((std::uint64_t) littleEndian32 (p + 4) << 32);
        }

        std::uint64_t bigEndian64 (const std::uint8_t* p) noexcept
        {
            return ((std::uint64_t) bigEndian32 (p) << 32) | (std::uint64_t) bigEndian32 (p + 4);
        }

        /** The sizes an AIFF recorder leaves when it cannot go back to its header: all
            ones, the largest signed value, and sox's 0x7f000000 on a pipe (the SSND size
            that plus its 8 bytes of offsets, the frame count that over the frame size).
            As in a WAV, only where the file does not hold that much: a finished AIFF
            of 2 to 4 GiB announces its real size, and a copy of it cut short is cut.
        */
        bool isAiffPlaceholder (std::uint64_t size, std::uint64_t held) noexcept
        {
            const auto soxOnAPipe = size >= 0x7eff0000u && size <= 0x7f010000u;
            return size > held && (size == 0x7fffffffu || size == 0xffffffffu || soxOnAPipe);
        }

        /** The sizes a WAV recorder writes before it knows the length: 0, sox's
            0x7ffff000 on a pipe, and the largest signed and unsigned 32-bit values.
            Any other size is a length; a file that does not hold it was cut.
        */
        bool isPlaceholderSize (std::uint64_t size) noexcept
        {
            return size == 0 || size == 0x7ffff000u || size == 0x7fffffffu || size == 0xffffffffu;
        }

        // A walk over a file of nothing but empty chunks ends somewhere.
        constexpr int maximumChunks = 100000;

        /** The audio's bytes from dataStart, by the chunk's own size: believed where the
            file holds them, however the container size disagrees; to the end of the file
            where the size is a placeholder; announced but missing where the file is cut.
        */
        void placeData (Layout& layout, std::uint64_t fileSize, std::uint64_t dataStart, std::uint64_t size, bool streaming)
        {
            const auto present = fileSize > dataStart ? fileSize - dataStart : 0;
            auto held = streaming ? present : std::min (size, present);

            if (layout.frameBytes > 0)
                held -= held % (std::uint64_t) layout.frameBytes;

            // A file holding every byte its header gives is whole, though its size ends
            // inside a frame or block (sox pads a GSM data chunk to an even size): only
            // whole blocks are audio, but nothing was cut.
            layout.presentBytes = (std::int64_t) held;
            layout.announcedBytes = streaming ? -1 : (std::int64_t) (present >= size ? held : size);
        }

        /** RIFF/WAVE, and its 64-bit sibling RF64 (also as BW64), whose sizes of all
            ones point to the ds64 chunk.
        */
        Layout layoutOfWav (const FileBytes& file)
        {
            Layout layout;
            std::uint8_t riff[12];

            if (! file.get (0, riff, 12) || std::memcmp (riff + 8, "WAVE", 4) != 0)
                return layout;

            // RIFX: RIFF with every number big-endian.
            const auto isRifx = std::memcmp (riff, "RIFX", 4) == 0;
            const auto isRiff = std::memcmp (riff, "RIFF", 4) == 0 || isRifx;
            const auto isRf64 = std::memcmp (riff, "RF64", 4) == 0 || std::memcmp (riff, "BW64", 4) == 0;
            const auto number32 = isRifx ? bigEndian32 : littleEndian32;

            if (! isRiff && ! isRf64)
                return layout;

            const auto riffSize = (std::uint64_t) number32 (riff + 4);
            std::uint64_t ds64 = 0;  // where the ds64 chunk's contents start

            std::uint64_t offset = 12;

            for (int count = 0; count < maximumChunks; ++count)
            {
                std::uint8_t chunk[8];

                if (! file.get (offset, chunk, 8))
                    break;

                auto size = (std::uint64_t) number32 (chunk + 4);

                if (std::memcmp (chunk, "ds64", 4) == 0 && isRf64)
                    ds64 = offset + 8;

                if (std::memcmp (chunk, "fmt ", 4) == 0)
                {
                    std::uint8_t fmt[20];
                    const auto number16 = [isRifx] (const std::uint8_t* p) {
                        return isRifx ? ((std::int64_t) p[0] << 8) | (std::int64_t) p[1] : (std::int64_t) p[0] | ((std::int64_t) p[1] << 8);
                    };

                    if (file.get (offset + 8, fmt, 14))
                    {
                        layout.frameBytes = number16 (fmt + 12);
                        layout.headerChannels = number16 (fmt + 2);
                        layout.headerRate = (std::int64_t) number32 (fmt + 4);
                    }

                    // IMA and MS ADPCM, GSM 6.10: frames per block, after the extension's size.
                    const auto tag = number16 (fmt);

                    if ((tag == 0x02 || tag == 0x11 || tag == 0x31) && size >= 20 && file.get (offset + 8, fmt, 20) && number16 (fmt + 16) >= 2)
                        layout.blockFrames = number16 (fmt + 18);
                }

                if (std::memcmp (chunk, "fact", 4) == 0 && size >= 4)
                {
                    std::uint8_t fact[4];

                    if (file.get (offset + 8, fact, 4))
                        layout.factFrames = (std::int64_t) number32 (fact);
                }

                if (std::memcmp (chunk, "data", 4) == 0)
                {
                    const auto dataStart = offset + 8;

                    if (isRf64)
                    {
                        std::uint8_t sizes[16];

                        if (ds64 == 0 || ! file.get (ds64, sizes, 16))
                            return layout;

                        // A recorder that never came back leaves the 64-bit size 0 or all ones.
                        const auto dataSize = littleEndian64 (sizes + 8);
                        const auto streaming = dataSize == 0 || dataSize == ~(std::uint64_t) 0;
                        placeData (layout, file.size, dataStart, dataSize, streaming);
                        layout.lengthNeverWritten = streaming;

                        if (streaming)
                        {
                            layout.mends.push_back ({ ds64, file.size - 8, 8, false });
                            layout.mends.push_back ({ ds64 + 8, (std::uint64_t) layout.presentBytes, 8, false });
                        }

                        return layout;
                    }

                    // A WAV of 2 to 4 GiB announces its real size: only a placeholder
                    // the file does not hold means "never finished", decided by the
                    // header and the file's size together.
                    const auto held = file.size > dataStart ? file.size - dataStart : 0;
                    const auto placeholder = (isPlaceholderSize (size) && size > held) || size == 0;
                    const auto streaming = layout.frameBytes == 0 || placeholder;
                    placeData (layout, file.size, dataStart, size, streaming);
                    layout.lengthNeverWritten = placeholder;

                    // libsndfile takes the RIFF size as the file's end, and the data
                    // chunk's size only where it fits in it: a writer that left a
                    // chunk out of the RIFF size, or put a tag after the data, would
                    // have the data cut or the tag read as samples. The RIFF size is
                    // made to reach the end of the file, and the data chunk says what
                    // it holds.
                    const auto wholeFile = std::min<std::uint64_t> (file.size - 8, 0xffffffffu);

                    if (streaming || riffSize != wholeFile)
                        layout.mends.push_back ({ 4, wholeFile, 4, isRifx });

                    // A cut file's data chunk is made to end with its last whole block:
                    // a compressed encoding would decode the torn one as noise.
                    if (streaming || layout.announcedBytes > layout.presentBytes)
                        layout.mends.push_back ({ offset + 4, std::min<std::uint64_t> ((std::uint64_t) layout.presentBytes, 0xffffffffu), 4, isRifx });

                    return layout;
                }

                offset += 8 + size + (size & 1);
            }

            return layout;
        }

        /** Sony Wave64: RIFF with GUIDs for ids and 64-bit sizes that count their own
            24-byte header, each chunk aligned to 8 bytes.
        */
        Layout layoutOfW64 (const FileBytes& file)
        {
            static constexpr std::uint8_t guidTail[12] = { 0xf3, 0xac, 0xd3, 0x11, 0x8c, 0xd1, 0x00, 0xc0, 0x4f, 0x8e, 0xdb, 0x8a };
            static constexpr std::uint8_t riffGuid[16] = { 'r', 'i', 'f', 'f', 0x2e, 0x91, 0xcf, 0x11, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00 };

            Layout layout;
            std::uint8_t head[40];

            if (! file.get (0, head, 40) || std::memcmp (head, riffGuid, 16) != 0
                || std::memcmp (head + 24, "wave", 4) != 0 || std::memcmp (head + 28, guidTail, 12) != 0)
                return layout;

            std::uint64_t offset = 40;

            for (int count = 0; count < maximumChunks; ++count)
            {
                std::uint8_t chunk[24];

                if (! file.get (offset, chunk, 24) || std::memcmp (chunk + 4, guidTail, 12) != 0)
                    break;

                const auto size = littleEndian64 (chunk + 16);

                if (size < 24)
                    break;

                if (std::memcmp (chunk, "fmt ", 4) == 0)
                {
                    std::uint8_t fmt[14];

                    if (file.get (offset + 24, fmt, 14))
                        layout.frameBytes = (std::int64_t) fmt[12] | ((std::int64_t) fmt[13] << 8);
                }

                if (std::memcmp (chunk, "data", 4) == 0)
                {
                    placeData (layout, file.size, offset + 24, size - 24, false);
                    return layout;
                }

                if (size > file.size - offset)
                    break;

                offset += (size + 7) & ~(std::uint64_t) 7;
            }

            return layout;
        }

        /** Sun/NeXT AU: a fixed header with the data's offset and size (all ones: unknown). */
        Layout layoutOfAu (const FileBytes& file)
        {
            Layout layout;
            std::uint8_t head[24];

            if (! file.get (0, head, 24) || std::memcmp (head, ".snd", 4) != 0)
                return layout;

            const auto dataStart = (std::uint64_t) bigEndian32 (head + 4);
            const auto size = (std::uint64_t) bigEndian32 (head + 8);
            const auto channels = (std::int64_t) bigEndian32 (head + 20);
            std::int64_t sampleBytes = 0;

            switch (bigEndian32 (head + 12))
            {
                case 1:
                case 2:
                case 27: sampleBytes = 1; break;  // u-law, 8-bit, A-law
                case 3: sampleBytes = 2; break;
                case 4: sampleBytes = 3; break;
                case 5:
                case 6: sampleBytes = 4; break;  // 32-bit, float
                case 7: sampleBytes = 8; break;
                default: return layout;
            }

            if (channels < 1 || channels > 1024)
                return layout;

            layout.frameBytes = sampleBytes * channels;
            placeData (layout, file.size, dataStart, size, size == 0xffffffffu);
            layout.lengthNeverWritten = size == 0xffffffffu;
            return layout;
        }

        /** Apple CAF: 64-bit big-endian chunk sizes, the data chunk's -1 meaning "to the
            end", its audio behind a 4-byte edit count. libsndfile refuses a data chunk
            longer than the file as malformed: the size is mended to what is there, and
            what it announced is kept for the length check.
        */
        Layout layoutOfCaf (const FileBytes& file)
        {
            Layout layout;
            std::uint8_t head[8];

            if (! file.get (0, head, 8) || std::memcmp (head, "caff", 4) != 0)
                return layout;

            std::uint64_t offset = 8;

            for (int count = 0; count < maximumChunks; ++count)
            {
                std::uint8_t chunk[12];

                if (! file.get (offset, chunk, 12))
                    break;

                const auto size = bigEndian64 (chunk + 4);

                if (std::memcmp (chunk, "desc", 4) == 0)
                {
                    std::uint8_t desc[32];

                    // Packets of one frame each: stored samples, whose frame size is the packet's.
                    if (file.get (offset + 12, desc, 32) && bigEndian32 (desc + 20) == 1)
                        layout.frameBytes = (std::int64_t) bigEndian32 (desc + 16);
                }

                if (std::memcmp (chunk, "data", 4) == 0)
                {
                    const auto streaming = size == ~(std::uint64_t) 0 || size < 4;
                    placeData (layout, file.size, offset + 16, streaming ? 0 : size - 4, streaming);
                    layout.lengthNeverWritten = streaming;

                    if (! streaming && layout.announcedBytes > layout.presentBytes)
                        layout.mends.push_back ({ offset + 4, (std::uint64_t) layout.presentBytes + 4, 8, true });

                    return layout;
                }

                if (size > file.size - offset)
                    break;

                offset += 12 + size;
            }

            return layout;
        }

        /** AIFF and AIFF-C: the frame count in the COMM chunk, the audio in SSND. */
        Layout layoutOfAiff (const FileBytes& file)
        {
            Layout layout;
            std::uint8_t form[12];

            if (! file.get (0, form, 12) || std::memcmp (form, "FORM", 4) != 0
                || (std::memcmp (form + 8, "AIFF", 4) != 0 && std::memcmp (form + 8, "AIFC", 4) != 0))
                return layout;

            std::uint64_t offset = 12;

            for (int count = 0; count < maximumChunks; ++count)
            {
                std::uint8_t chunk[8];

                if (! file.get (offset, chunk, 8))
                    break;

                const auto size = (std::uint64_t) bigEndian32 (chunk + 4);
                const auto heldAfter = file.size > offset + 8 ? file.size - offset - 8 : 0;

                if (std::memcmp (chunk, "COMM", 4) == 0)
                {
                    std::uint8_t comm[8];

                    if (file.get (offset + 8, comm, 8))
                    {
                        const auto channels = (std::uint64_t) ((comm[0] << 8) | comm[1]);
                        const auto frames = (std::uint64_t) bigEndian32 (comm + 2);
                        const auto bits = (std::uint64_t) ((comm[6] << 8) | comm[7]);
                        const auto bytes = frames * channels * ((bits + 7) / 8);

                        // 0 frames: no count given; a placeholder count: none known.
                        if (frames != 0 && ! isAiffPlaceholder (frames, file.size) && ! isAiffPlaceholder (bytes, file.size))
                            layout.announcedFrames = (std::int64_t) frames;
                    }
                }

                if (std::memcmp (chunk, "SSND", 4) == 0)
                {
                    std::uint8_t ssnd[4];
                    const auto neverWritten = size == 0 || isAiffPlaceholder (size, heldAfter);

                    // The audio starts after the chunk's offset and block size fields.
                    if (! neverWritten && size >= 8 && file.get (offset + 8, ssnd, 4))
                    {
                        const auto skip = (std::uint64_t) bigEndian32 (ssnd);
                        placeData (layout, file.size, offset + 16 + skip, size - 8 - std::min (size - 8, skip), false);
                        layout.announcedBytes = -1;  // COMM says how long
                    }
                    else if (neverWritten && file.get (offset + 8, ssnd, 4))
                    {
                        // A recorder that never came back to the SSND size: the audio
                        // runs to the end of the file, or only to COMM's frame count
                        // where COMM gives one (a tagger may have put an ID3 chunk
                        // behind it, which is no audio).
                        placeData (layout, file.size, offset + 16 + (std::uint64_t) bigEndian32 (ssnd), 0, true);
                    }

                    layout.lengthNeverWritten = neverWritten && layout.announcedFrames < 0;

                    // COMM may come after the audio; behind audio of no known size there is nothing to walk.
                    if (layout.announcedFrames >= 0 || neverWritten)
                        return layout;
                }

                offset += 8 + size + (size & 1);
            }

            return layout;
        }

        /** FLAC: the total in STREAMINFO (0 there means "not known"). */
        Layout layoutOfFlac (const FileBytes& file)
        {
            Layout layout;
            std::uint64_t offset = 0;
            std::uint8_t id3[10];

            // An ID3v2 tag in front, as some taggers leave it (with cover art, often
            // larger than any header): its size is "sync-safe", 7 bits a byte.
            if (file.get (0, id3, 10) && std::memcmp (id3, "ID3", 3) == 0)
                offset = 10 + (((std::uint64_t) (id3[6] & 0x7f) << 21) | ((std::uint64_t) (id3[7] & 0x7f) << 14) | ((std::uint64_t) (id3[8] & 0x7f) << 7) | (std::uint64_t) (id3[9] & 0x7f));

            std::uint8_t magic[4 + 4 + 18];

            if (! file.get (offset, magic, sizeof (magic)) || std::memcmp (magic, "fLaC", 4) != 0 || (magic[4] & 0x7f) != 0)
                return layout;

            const auto* info = magic + 8;
            const auto total = ((std::uint64_t) (info[13] & 0x0f) << 32) | bigEndian32 (info + 14);
            layout.announcedFrames = total == 0 ? -1 : (std::int64_t) total;

            // libsndfile stops at the header's total, so a file holding more (an encoder
            // that wrote the total before it knew it all) would be cut off there. The
            // total is shown to it as 0, "not known", and it decodes to the real end;
            // the announced total still judges a file cut short.
            if (total != 0)
            {
                layout.mends.push_back ({ offset + 8 + 13, (std::uint64_t) (info[13] & 0xf0), 1, true });
                layout.mends.push_back ({ offset + 8 + 14, 0, 4, true });
            }

            return layout;
        }

        /** Ogg (Vorbis, Opus): pages, the last flagged end-of-stream. A copy cut short
            ends inside a page or without that flag; libsndfile, looking for the last
            page's position, calls it malformed. Its end is moved back to the last
            whole page, from which every page present decodes.
        */
        Layout layoutOfOgg (const FileBytes& file)
        {
            Layout layout;
            std::uint64_t offset = 0, wholePages = 0;
            auto ended = false;
            std::uint8_t page[27 + 255];
            int streams = 0;

            while (file.get (offset, page, 27) && std::memcmp (page, "OggS", 4) == 0)
            {
                const auto numSegments = (size_t) page[26];

                if (! file.get (offset + 27, page + 27, numSegments))
                    break;

                std::uint64_t size = 27 + numSegments;

                for (size_t i = 0; i < numSegments; ++i)
                    size += page[27 + i];

                if (size > file.size - offset)
                    break;

                // A stream beginning after one has ended: the next link of a chain.
                // (Streams multiplexed side by side all begin before any ends.)
                if ((page[5] & 0x02) != 0 && (streams == 0 || ended))
                    ++streams;

                ended = (page[5] & 0x04) != 0;
                offset += size;
                wholePages = offset;
            }

            if (wholePages > 0 && ! ended)
                layout.usableSize = (std::int64_t) wholePages;

            layout.chainedStreams = streams;

            return layout;
        }

        /** Counts an MP3's frames by their headers, from the first to where the stream
            stops (a tag, the end of the file, a frame cut short): what the decoder
            guesses instead for a VBR stream without a Xing count (from the first
            frame's bitrate), and stops at for MP3s joined behind a counted one.
        */
        void walkMpegFrames (const FileBytes& file, std::uint64_t offset, bool skipFirst, Layout& layout)
        {
            static constexpr int mpeg1Rates[16] = { 0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0 };
            static constexpr int mpeg2Rates[16] = { 0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0 };
            static constexpr int sampleRates[3] = { 44100, 48000, 32000 };
            std::int64_t frames = 0, samplesPerFrame = 0;

            for (std::uint8_t header[4]; file.get (offset, header, 4);)
            {
                const auto version = (header[1] >> 3) & 3;  // 3: MPEG 1, 2: MPEG 2, 0: MPEG 2.5
                const auto bitrateIndex = header[2] >> 4, rateIndex = (header[2] >> 2) & 3;

                if (header[0] != 0xff || (header[1] & 0xe0) != 0xe0 || ((header[1] >> 1) & 3) != 1 || version == 1
                    || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
                    break;

                const auto mpeg1 = version == 3;
                const auto rate = sampleRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1
                                                                                      : 2);
                const auto bitrate = (std::uint64_t) (mpeg1 ? mpeg1Rates : mpeg2Rates)[bitrateIndex] * 1000;
                const auto length = (mpeg1 ? 144 : 72) * bitrate / (std::uint64_t) rate + ((header[2] >> 1) & 1);

                if (length < 4 || length > file.size - offset)
                    break;

                samplesPerFrame = mpeg1 ? 1152 : 576;
                frames += skipFirst ? 0 : 1;
                skipFirst = false;
                offset += length;
            }

            layout.streamFrames = frames * samplesPerFrame;
            layout.framesPerPacket = samplesPerFrame;
        }

        /** MP3: no container, but an encoder that knows the length puts a Xing or Info
            tag (or Fraunhofer's VBRI) in the first frame, counting the frames.
        */
        Layout layoutOfMpeg (const FileBytes& file)
        {
            Layout layout;
            std::uint64_t offset = 0;
            std::uint8_t id3[10];

            if (file.get (0, id3, 10) && std::memcmp (id3, "ID3", 3) == 0)
                offset = 10 + ((id3[5] & 0x10) != 0 ? 10 : 0)
                         + (((std::uint64_t) (id3[6] & 0x7f) << 21) | ((std::uint64_t) (id3[7] & 0x7f) << 14)
                            | ((std::uint64_t) (id3[8] & 0x7f) << 7) | (std::uint64_t) (id3[9] & 0x7f));

            std::uint8_t frame[4 + 2 + 32 + 16];

            if (! file.get (offset, frame, sizeof (frame)) || frame[0] != 0xff || (frame[1] & 0xe0) != 0xe0
                || ((frame[1] >> 1) & 3) != 1)  // Layer III only
                return layout;

            const auto mpeg1 = ((frame[1] >> 3) & 3) == 3;
            const auto mono = (frame[3] >> 6) == 3;
            const auto crc = (frame[1] & 1) == 0 ? 2 : 0;
            const auto sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
            const auto* xing = frame + 4 + crc + sideInfo;

            if (std::memcmp (xing, "Xing", 4) == 0 || std::memcmp (xing, "Info", 4) == 0)
            {
                const auto flags = bigEndian32 (xing + 4);
                layout.libraryCountAnnounced = (flags & 1) != 0;

                // The tag's byte count, where it has one, is shown to the decoder as
                // what the file holds: on a cut copy the decoder would otherwise print
                // a warning of its own to the terminal, before our line says the same
                // in the user's terms. The frame count still announces the length.
                if ((flags & 2) != 0)
                {
                    const auto bytesField = offset + (std::uint64_t) (xing - frame) + 8 + ((flags & 1) != 0 ? 4 : 0);
                    layout.mends.push_back ({ bytesField, std::min<std::uint64_t> (file.size - offset, 0xffffffffu), 4, true });
                }
            }

            const auto countingFrame = std::memcmp (xing, "Xing", 4) == 0 || std::memcmp (xing, "Info", 4) == 0
                                       || std::memcmp (frame + 4 + 32, "VBRI", 4) == 0;

            if (std::memcmp (frame + 4 + 32, "VBRI", 4) == 0)
                layout.libraryCountAnnounced = true;

            walkMpegFrames (file, offset, countingFrame, layout);
            return layout;
        }
    }

    /** Reads the file as the pieces put it (in their order; none: as it is), up to
        count bytes from offset; how many it got.
    */
    std::int64_t readInOrder (int fd, const std::vector<Piece>& order, std::uint8_t* out, std::uint64_t count, std::uint64_t offset) noexcept
    {
        if (order.empty())
            return (std::int64_t)::pread (fd, out, (size_t) count, (off_t) offset);

        std::uint64_t done = 0, pieceStart = 0;

        for (const auto& piece : order)
        {
            const auto at = offset + done;

            if (done < count && at >= pieceStart && at < pieceStart + piece.length)
            {
                const auto wanted = std::min (count - done, pieceStart + piece.length - at);
                const auto got = ::pread (fd, out + done, (size_t) wanted, (off_t) (piece.start + at - pieceStart));

                if (got <= 0)
                    break;

                done += (std::uint64_t) got;

                if ((std::uint64_t) got < wanted)
                    break;
            }

            pieceStart += piece.length;
        }

        return (std::int64_t) done;
    }

    /** libsndfile reads a WAV only where its fmt chunk comes before the data, and
        calls one with fmt behind the data "No 'data' chunk marker". Such a file
        is shown to it with the fmt chunk moved in front of the data chunk (after
        RF64's ds64, which must stay first); the bytes stay where they are. RIFX
        has its sizes big-endian, RF64 its data size in ds64.
    */
    std::vector<Piece> fmtBeforeData (const FileBytes& file)
    {
        std::uint8_t riff[12];

        if (! file.get (0, riff, 12) || std::memcmp (riff + 8, "WAVE", 4) != 0)
            return {};

        const auto isRifx = std::memcmp (riff, "RIFX", 4) == 0;
        const auto isRf64 = std::memcmp (riff, "RF64", 4) == 0 || std::memcmp (riff, "BW64", 4) == 0;

        if (! isRifx && ! isRf64 && std::memcmp (riff, "RIFF", 4) != 0)
            return {};

        const auto number32 = isRifx ? bigEndian32 : littleEndian32;
        std::uint64_t dataOffset = 0, ds64DataSize = 0;

        for (std::uint64_t offset = 12, count = 0; count < maximumChunks; ++count)
        {
            std::uint8_t chunk[8];

            if (! file.get (offset, chunk, 8))
                return {};

            auto size = (std::uint64_t) number32 (chunk + 4);

            if (isRf64 && std::memcmp (chunk, "ds64", 4) == 0)
            {
                std::uint8_t sizes[16];

                if (size >= 16 && file.get (offset + 8, sizes, 16))
                    ds64DataSize = littleEndian64 (sizes + 8);
            }

            if (std::memcmp (chunk, "fmt ", 4) == 0)
            {
                if (dataOffset == 0)
                    return {};

                const auto length = std::min (8 + size + (size & 1), file.size - offset);
                return { { 0, dataOffset }, { offset, length }, { dataOffset, offset - dataOffset }, { offset + length, file.size - offset - length } };
            }

            if (std::memcmp (chunk, "data", 4) == 0)
            {
                if (isRf64 && size == 0xffffffffu)
                    size = ds64DataSize;

                // Behind a data chunk of a placeholder size there is only audio.
                if (size == 0 || size > file.size - offset - 8)
                    return {};

                dataOffset = offset;
            }

            offset += 8 + size + (size & 1);
        }

        return {};
    }

    Layout layoutOf (const FileBytes& file)
    {
        for (auto* walk : { layoutOfWav, layoutOfW64, layoutOfAu, layoutOfCaf, layoutOfAiff, layoutOfFlac, layoutOfOgg, layoutOfMpeg })
            if (auto layout = walk (file); layout.announcedFrames >= 0 || layout.presentBytes >= 0 || ! layout.mends.empty()
                                           || layout.usableSize >= 0 || layout.libraryCountAnnounced || layout.chainedStreams > 1
                                           || layout.streamFrames > 0)
                return layout;

        return {};
    }
}
