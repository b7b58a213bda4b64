#include "AudioFile.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brask::audiofile
{
    namespace
    {
        constexpr int containerMask = SF_FORMAT_TYPEMASK;
        constexpr int encodingMask = SF_FORMAT_SUBMASK;

        // A compressed encoding can describe many frames in a few bytes (a FLAC frame
        // of 65535 equal samples takes about ten), but never more than this.
        constexpr std::int64_t compressedFramesPerByte = 8192;

        // Size fields at or above this are what recorders write while the length is
        // still unknown (sox on a pipe writes 0x7ffff000, others all ones); no
        // finished recording announces 2 GiB of data with a 32-bit field near its limit.
        constexpr std::uint64_t streamingPlaceholder = 0x7fff0000u;

        //==============================================================================
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

        /** Rounds to the nearest whole number, ties to even, as std::nearbyint does in
            the default rounding mode, for |value| <= 2^51, without a library call.
        */
        double roundToEven (double value) noexcept
        {
            // Adding 1.5 * 2^52 leaves no bits below the units, so the sum is rounded
            // there; strict floating-point rules keep the compiler from undoing it.
            constexpr double shifter = 0x1.8p52;
            return (value + shifter) - shifter;
        }

        bool isStreamingSize (std::uint64_t size) noexcept
        {
            return size == 0 || size >= streamingPlaceholder;
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

        /** A run of the file's bytes, as the reader is shown them. */
        struct Piece
        {
            std::uint64_t start, length;
        };

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

        /** The file's bytes, read where a header walk needs them: chunks before the
            audio can be of any size (a broadcast WAV's bext or iXML runs to hundreds
            of kilobytes), so no fixed window at the start would do.
        */
        struct FileBytes
        {
            int fd;
            std::uint64_t size;
            std::vector<Piece> order = {};

            bool get (std::uint64_t offset, std::uint8_t* out, size_t length) const noexcept
            {
                return offset <= size && length <= size - offset
                       && readInOrder (fd, order, out, length, offset) == (std::int64_t) length;
            }
        };

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

        /** A size field rewritten as libsndfile reads it: a header never completed, or
            one whose container size disagrees with its chunks, made to say what the
            chunks themselves say.
        */
        struct Mend
        {
            std::uint64_t offset;
            std::uint64_t value;
            int width;  // 1, 4 or 8 bytes
            bool bigEndian;

            std::uint8_t byte (int i) const noexcept
            {
                return (std::uint8_t) (value >> (8 * (bigEndian ? width - 1 - i : i)));
            }
        };

        /** Where a file's audio lies and how long its header says it is. */
        struct Layout
        {
            std::int64_t announcedFrames = -1;  // given as frames (AIFF, FLAC)
            std::int64_t announcedBytes = -1;   // given as the audio's bytes (WAV, RF64, W64, AU, CAF)
            std::int64_t presentBytes = -1;     // of the audio's bytes, those the file holds
            std::int64_t frameBytes = 0;        // the header's own frame size; 0 unknown
            std::int64_t factFrames = -1;       // a compressed WAV's fact chunk: its frames

            // An MP3 whose first frame counts the stream's frames (Xing, Info, VBRI):
            // the library's length is then what the file announces.
            bool libraryCountAnnounced = false;

            // Ogg streams one after another in the file (chained, as recorders and
            // radio streams write them); 0 for anything but Ogg.
            int chainedStreams = 0;
            std::vector<Mend> mends;

            // What a WAV's fmt chunk says, for a message of ours where libsndfile
            // refuses the file with one of its own; -1 where not read.
            std::int64_t headerChannels = -1, headerRate = -1;

            // The data's size field is a recorder's placeholder, and the audio runs to
            // the end of the file.
            bool lengthNeverWritten = false;

            // A stream cut off with no length announced (Ogg): where its last whole
            // piece ends, for libsndfile to take as the file's end; -1 when whole.
            std::int64_t usableSize = -1;
        };

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

            layout.presentBytes = (std::int64_t) held;
            layout.announcedBytes = streaming ? -1 : (std::int64_t) size;
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
                    std::uint8_t fmt[14];

                    if (file.get (offset + 8, fmt, 14))
                    {
                        layout.frameBytes = isRifx ? ((std::int64_t) fmt[12] << 8) | (std::int64_t) fmt[13]
                                                   : (std::int64_t) fmt[12] | ((std::int64_t) fmt[13] << 8);
                        layout.headerChannels = isRifx ? ((std::int64_t) fmt[2] << 8) | (std::int64_t) fmt[3]
                                                       : (std::int64_t) fmt[2] | ((std::int64_t) fmt[3] << 8);
                        layout.headerRate = (std::int64_t) number32 (fmt + 4);
                    }
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

            const auto streamingForm = isStreamingSize (bigEndian32 (form + 4));
            std::uint64_t offset = 12;

            for (int count = 0; count < maximumChunks; ++count)
            {
                std::uint8_t chunk[8];

                if (! file.get (offset, chunk, 8))
                    break;

                const auto size = (std::uint64_t) bigEndian32 (chunk + 4);

                if (std::memcmp (chunk, "COMM", 4) == 0 && ! streamingForm)
                {
                    std::uint8_t comm[8];

                    if (file.get (offset + 8, comm, 8))
                    {
                        const auto channels = (std::uint64_t) ((comm[0] << 8) | comm[1]);
                        const auto frames = (std::uint64_t) bigEndian32 (comm + 2);
                        const auto bits = (std::uint64_t) ((comm[6] << 8) | comm[7]);

                        if (frames != 0 && ! isStreamingSize (frames * channels * ((bits + 7) / 8)))
                            layout.announcedFrames = (std::int64_t) frames;
                    }
                }

                if (std::memcmp (chunk, "SSND", 4) == 0)
                {
                    std::uint8_t ssnd[4];

                    // The audio starts after the chunk's offset and block size fields.
                    if (! isStreamingSize (size) && size >= 8 && file.get (offset + 8, ssnd, 4))
                    {
                        const auto skip = (std::uint64_t) bigEndian32 (ssnd);
                        placeData (layout, file.size, offset + 16 + skip, size - 8 - std::min (size - 8, skip), false);
                        layout.announcedBytes = -1;  // COMM says how long
                    }
                    else if (isStreamingSize (size) && file.get (offset + 8, ssnd, 4))
                    {
                        // A recorder that never came back to the SSND size: the audio
                        // runs to the end of the file, or only to COMM's frame count
                        // where COMM gives one (a tagger may have put an ID3 chunk
                        // behind it, which is no audio).
                        placeData (layout, file.size, offset + 16 + (std::uint64_t) bigEndian32 (ssnd), 0, true);
                    }

                    layout.lengthNeverWritten = isStreamingSize (size) && layout.announcedFrames < 0;

                    // COMM may come after the audio.
                    if (layout.announcedFrames >= 0 || streamingForm || isStreamingSize (size))
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

            if (std::memcmp (frame + 4 + 32, "VBRI", 4) == 0)
                layout.libraryCountAnnounced = true;

            return layout;
        }

        Layout layoutOf (const FileBytes& file)
        {
            for (auto* walk : { layoutOfWav, layoutOfW64, layoutOfAu, layoutOfCaf, layoutOfAiff, layoutOfFlac, layoutOfOgg, layoutOfMpeg })
                if (auto layout = walk (file); layout.announcedFrames >= 0 || layout.presentBytes >= 0 || ! layout.mends.empty()
                                               || layout.usableSize >= 0 || layout.libraryCountAnnounced || layout.chainedStreams > 1)
                    return layout;

            return {};
        }

        //==============================================================================
        /** Why libsndfile would not open a file, in words of ours: its own lines
            ("Internal error : SF_INFO struct incomplete.", "Format not recognised.")
            speak of its insides, not of the file, nor of what the user can do.
        */
        std::string whyNotReadable (int libraryError, const Layout& layout)
        {
            if (layout.headerRate == 0)
                return "its header gives a sample rate of 0 Hz: export it again from the program that made it";

            if (layout.headerChannels == 0)
                return "its header gives 0 channels: export it again from the program that made it";

            switch (libraryError)
            {
                case SF_ERR_UNRECOGNISED_FORMAT:
                    return "it is none of WAV, RF64, Wave64, AIFF, CAF, AU, FLAC, Ogg Vorbis, Opus or MP3";
                case SF_ERR_SYSTEM:
                    return "reading it failed";
                case SF_ERR_UNSUPPORTED_ENCODING:
                    return "its encoding is not one brask-render decodes: convert it to WAV or FLAC first";
                default:
                    return "its header is damaged or names an encoding brask-render does not decode: convert it to WAV or FLAC first";
            }
        }

        /** The file as libsndfile reads it: its bytes, with a streaming header's size
            fields mended.
        */
        struct MendedSource
        {
            int fd;
            std::int64_t size;
            std::int64_t position = 0;
            std::vector<Mend> mends;
            std::vector<Piece> order;  // the file's bytes in the order it is shown them

            // libsndfile asks for a few kilobytes at a time; a system call for each
            // costs more than the copy, so the bytes come from here in large reads.
            static constexpr std::int64_t bufferSize = 1 << 18;
            std::unique_ptr<std::uint8_t[]> buffer;
            std::int64_t bufferStart = 0, bufferEnd = 0;  // the file's bytes the buffer holds

            static sf_count_t length (void* self)
            {
                return static_cast<MendedSource*> (self)->size;
            }

            static sf_count_t seek (sf_count_t offset, int whence, void* self)
            {
                auto& file = *static_cast<MendedSource*> (self);
                const auto base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.position
                                                                              : file.size;
                const auto target = base + offset;

                if (target < 0)
                    return -1;

                file.position = target;
                return target;
            }

            /** The file's bytes from offset on, with the mends applied; 0 at the end. */
            std::int64_t readAt (std::uint8_t* destination, std::int64_t count, std::int64_t offset)
            {
                const auto got = readInOrder (fd, order, destination, (std::uint64_t) std::min (count, size - offset), (std::uint64_t) offset);

                if (got <= 0)
                    return 0;

                for (const auto& mend : mends)
                    for (int i = 0; i < mend.width; ++i)
                        if (const auto at = mend.offset + (std::uint64_t) i; at >= (std::uint64_t) offset && at < (std::uint64_t) (offset + got))
                            destination[at - (std::uint64_t) offset] = mend.byte (i);

                return got;
            }

            static sf_count_t read (void* destination, sf_count_t count, void* self)
            {
                auto& file = *static_cast<MendedSource*> (self);

                if (count <= 0 || file.position >= file.size)
                    return 0;

                auto* bytes = static_cast<std::uint8_t*> (destination);

                if (count >= bufferSize)
                {
                    const auto got = file.readAt (bytes, count, file.position);
                    file.position += got;
                    return got;
                }

                if (file.position < file.bufferStart || file.position + count > file.bufferEnd)
                {
                    // No larger than the file, and not cleared first: a short file
                    // touches no more memory than it has bytes.
                    const auto capacity = std::min (bufferSize, file.size);

                    if (file.buffer == nullptr)
                        file.buffer.reset (new std::uint8_t[(size_t) capacity]);

                    file.bufferStart = file.position;
                    file.bufferEnd = file.position + file.readAt (file.buffer.get(), capacity, file.position);
                }

                const auto got = std::min<std::int64_t> (count, file.bufferEnd - file.position);

                if (got <= 0)
                    return 0;

                std::memcpy (bytes, file.buffer.get() + (file.position - file.bufferStart), (size_t) got);
                file.position += got;
                return got;
            }

            static sf_count_t write (const void*, sf_count_t, void*)
            {
                return 0;
            }

            static sf_count_t tell (void* self)
            {
                return static_cast<MendedSource*> (self)->position;
            }
        };

        std::string libraryFormatName (int format, int command)
        {
            SF_FORMAT_INFO info {};
            info.format = format;

            if (sf_command (nullptr, command, &info, sizeof (info)) == 0 && info.name != nullptr)
                return info.name;

            return "unknown";
        }

        bool canWrite (Format format, int numChannels, int sampleRate)
        {
            SF_INFO info {};
            info.format = format;
            info.channels = numChannels;
            info.samplerate = sampleRate;
            return sf_format_check (&info) == SF_TRUE;
        }

        Format encodingForBits (int bits)
        {
            switch (bits)
            {
                case 8: return SF_FORMAT_PCM_S8;
                case 16: return SF_FORMAT_PCM_16;
                case 24: return SF_FORMAT_PCM_24;
                case 32: return SF_FORMAT_PCM_32;
                case -32: return SF_FORMAT_FLOAT;
                case -64: return SF_FORMAT_DOUBLE;
                default: return 0;
            }
        }

        /** The only rates an encoder takes; empty where it takes any libsndfile allows. */
        std::vector<int> codecRates (Format format)
        {
            switch (format & encodingMask)
            {
                case SF_FORMAT_OPUS: return { 8000, 12000, 16000, 24000, 48000 };
                case SF_FORMAT_MPEG_LAYER_III: return { 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000 };
                default: return {};
            }
        }

        /** The container with this encoding, or with the other 8-bit flavour (WAV's 8 bits are unsigned). */
        Format writableWith (Format container, Format encoding, int numChannels, int sampleRate)
        {
            const auto major = container & containerMask;

            if (canWrite (major | encoding, numChannels, sampleRate))
                return major | encoding;

            if (integerBits (encoding) == 8)
            {
                const auto other = encoding == SF_FORMAT_PCM_S8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8;

                if (canWrite (major | other, numChannels, sampleRate))
                    return major | other;
            }

            return 0;
        }
    }

    struct Reader::MendedFile final : MendedSource
    {
    };

    /** The file libsndfile writes, gathered into large writes: the library hands
        over a few kilobytes at a time, and on ext4 every write call also journals
        the file's new times, which costs more than the bytes.
    */
    struct Writer::BufferedFile final
    {
        int fd = -1;
        std::int64_t position = 0, size = 0;
        std::vector<std::uint8_t> pending;  // bytes from pendingStart on, not yet written
        std::int64_t pendingStart = 0;
        bool failed = false;
        int failure = 0;  // errno of the first write the system refused

        static constexpr size_t capacity = 1 << 18;

        bool flush()
        {
            for (size_t done = 0; done < pending.size() && ! failed;)
            {
                const auto wrote = ::pwrite (fd, pending.data() + done, pending.size() - done, (off_t) (pendingStart + (std::int64_t) done));

                if (wrote < 0 && errno == EINTR)
                    continue;

                if (wrote <= 0)
                {
                    failed = true;
                    failure = wrote < 0 ? errno : ENOSPC;
                }
                else
                    done += (size_t) wrote;
            }

            pending.clear();
            return ! failed;
        }

        static sf_count_t length (void* self)
        {
            return static_cast<BufferedFile*> (self)->size;
        }

        static sf_count_t seek (sf_count_t offset, int whence, void* self)
        {
            auto& file = *static_cast<BufferedFile*> (self);
            const auto base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.position
                                                                          : file.size;

            if (base + offset < 0)
                return -1;

            file.position = base + offset;
            return file.position;
        }

        static sf_count_t read (void* destination, sf_count_t count, void* self)
        {
            auto& file = *static_cast<BufferedFile*> (self);

            if (count <= 0 || ! file.flush())
                return 0;

            const auto got = ::pread (file.fd, destination, (size_t) count, (off_t) file.position);

            if (got <= 0)
                return 0;

            file.position += got;
            return got;
        }

        static sf_count_t write (const void* source, sf_count_t count, void* self)
        {
            auto& file = *static_cast<BufferedFile*> (self);

            if (count <= 0)
                return 0;

            // Only bytes that continue the pending ones join them.
            if (! file.pending.empty() && file.position != file.pendingStart + (std::int64_t) file.pending.size())
                file.flush();

            if (file.pending.empty())
            {
                file.pending.reserve (capacity);
                file.pendingStart = file.position;
            }

            const auto* bytes = static_cast<const std::uint8_t*> (source);
            file.pending.insert (file.pending.end(), bytes, bytes + count);
            file.position += count;
            file.size = std::max (file.size, file.position);

            if (file.pending.size() >= capacity)
                file.flush();

            return file.failed ? 0 : count;
        }

        static sf_count_t tell (void* self)
        {
            return static_cast<BufferedFile*> (self)->position;
        }
    };

    //==============================================================================
    std::string containerName (Format format)
    {
        switch (format & containerMask)
        {
            case SF_FORMAT_WAV: return "WAV";
            case SF_FORMAT_WAVEX: return "WAV (extensible)";
            case SF_FORMAT_RF64: return "RF64";
            case SF_FORMAT_W64: return "Wave64";
            case SF_FORMAT_AIFF: return "AIFF";
            case SF_FORMAT_CAF: return "CAF";
            case SF_FORMAT_FLAC: return "FLAC";
            case SF_FORMAT_OGG: return "Ogg";
            case SF_FORMAT_MPEG: return "MPEG";
            default: return libraryFormatName (format & containerMask, SFC_GET_FORMAT_INFO);
        }
    }

    std::string encodingName (Format format)
    {
        if (const auto bits = integerBits (format); bits > 0)
            return std::to_string (bits) + "-bit";

        switch (format & encodingMask)
        {
            case SF_FORMAT_FLOAT: return "32-bit float";
            case SF_FORMAT_DOUBLE: return "64-bit float";
            case SF_FORMAT_VORBIS: return "Vorbis";
            case SF_FORMAT_OPUS: return "Opus";
            case SF_FORMAT_MPEG_LAYER_III: return "MP3";
            case SF_FORMAT_ULAW: return "u-law";
            case SF_FORMAT_ALAW: return "A-law";
            default: return libraryFormatName (format & encodingMask, SFC_GET_FORMAT_INFO);
        }
    }

    int integerBits (Format format)
    {
        switch (format & encodingMask)
        {
            case SF_FORMAT_PCM_S8:
            case SF_FORMAT_PCM_U8: return 8;
            case SF_FORMAT_PCM_16: return 16;
            case SF_FORMAT_PCM_24: return 24;
            case SF_FORMAT_PCM_32: return 32;
            default: return 0;
        }
    }

    bool isFloatEncoding (Format format)
    {
        const auto encoding = format & encodingMask;
        return encoding == SF_FORMAT_FLOAT || encoding == SF_FORMAT_DOUBLE;
    }

    int bytesPerStoredSample (Format format)
    {
        // FLAC keeps integers too, but compressed.
        if ((format & containerMask) == SF_FORMAT_FLAC)
            return 0;

        if (const auto bits = integerBits (format); bits > 0)
            return bits / 8;

        switch (format & encodingMask)
        {
            case SF_FORMAT_FLOAT: return 4;
            case SF_FORMAT_DOUBLE: return 8;
            case SF_FORMAT_ULAW:
            case SF_FORMAT_ALAW: return 1;
            default: return 0;
        }
    }

    namespace
    {
        struct Extension
        {
            const char* name;
            Format format;
        };

        const std::array<Extension, 13> writableContainers { {
            { ".wav", SF_FORMAT_WAV },
            { ".rf64", SF_FORMAT_RF64 },
            { ".w64", SF_FORMAT_W64 },
            { ".aiff", SF_FORMAT_AIFF },
            { ".aif", SF_FORMAT_AIFF },
            { ".aifc", SF_FORMAT_AIFF },
            { ".caf", SF_FORMAT_CAF },
            { ".flac", SF_FORMAT_FLAC },
            { ".ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS },
            { ".oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS },
            { ".opus", SF_FORMAT_OGG | SF_FORMAT_OPUS },
            { ".mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III },
            { ".au", SF_FORMAT_AU },
        } };
    }

    Format containerForFileName (const std::string& fileName)
    {
        const auto dot = fileName.find_last_of ('.');

        if (dot == std::string::npos || fileName.find ('/', dot) != std::string::npos)
            return 0;

        auto extension = fileName.substr (dot);
        std::transform (extension.begin(), extension.end(), extension.begin(), [] (unsigned char c) { return (char) std::tolower (c); });

        for (const auto& known : writableContainers)
            if (extension == known.name)
                return known.format;

        return 0;
    }

    std::string writableExtensions()
    {
        std::string list;

        for (const auto& known : writableContainers)
            list += (list.empty() ? "" : ", ") + std::string (known.name);

        return list;
    }

    OutputChoice chooseOutputFormat (Format input, Format container, int numChannels, int sampleRate, int requestedBits)
    {
        const auto shownContainer = containerName (container);

        // libsndfile's format check passes Vorbis at any rate; the encoder has no setup
        // above this one, and would refuse the file only once the module had loaded.
        constexpr int vorbisMaximumRate = 200000;

        if ((container & encodingMask) == SF_FORMAT_VORBIS && sampleRate > vorbisMaximumRate)
            return { 0, "Vorbis holds at most " + std::to_string (vorbisMaximumRate) + " Hz, not " + std::to_string (sampleRate) + " Hz: name a .flac or .wav output" };

        // Lossy containers come with their one encoding.
        if ((container & encodingMask) != 0)
        {
            if (requestedBits != 0)
                return { 0, "--bits applies to WAV, AIFF, CAF, FLAC and the like, not to " + encodingName (container) };

            // The encoders take only their own rates, which libsndfile's format check
            // does not know: said here, before anything is rendered.
            if (const auto rates = codecRates (container); ! rates.empty()
                                                           && std::find (rates.begin(), rates.end(), sampleRate) == rates.end())
            {
                std::string list;

                for (size_t i = 0; i < rates.size(); ++i)
                    list += (i == 0 ? "" : i + 1 == rates.size() ? " or "
                                                                 : ", ")
                            + std::to_string (rates[i]);

                return { 0, encodingName (container) + " holds " + list + " Hz, not " + std::to_string (sampleRate) + " Hz" };
            }

            if (! canWrite (container, numChannels, sampleRate))
                return { 0, "cannot write " + encodingName (container) + " at " + std::to_string (sampleRate) + " Hz" };

            return { container, (input & encodingMask) == (container & encodingMask) ? "" : "as " + encodingName (container) };
        }

        // libsndfile's format check passes FLAC at any rate; its encoder stops at this one.
        constexpr int flacMaximumRate = 655350;

        if ((container & containerMask) == SF_FORMAT_FLAC && sampleRate > flacMaximumRate)
            return { 0, "FLAC holds at most " + std::to_string (flacMaximumRate) + " Hz, not " + std::to_string (sampleRate) + " Hz" };

        if (requestedBits != 0)
        {
            const auto encoding = encodingForBits (requestedBits);

            if (const auto format = writableWith (container, encoding, numChannels, sampleRate); format != 0)
            {
                const auto same = encodingName (format) == encodingName (input);
                return { format, same ? "" : "as --bits asks" };
            }

            return { 0, shownContainer + " cannot hold " + encodingName (encoding) + " samples" };
        }

        // Stored samples keep their encoding in any container that holds it; a
        // compressed one only in its own (libsndfile accepts MP3 inside a WAV as a
        // format, but has no encoder to write it with).
        const auto keepsEncoding = bytesPerStoredSample (input & encodingMask) > 0 || (input & containerMask) == (container & containerMask);

        // A lossy codec inside WAV, AIFF or AU would be encoded a second time: its
        // losses again, and --off no longer sample for sample. Its decoded samples
        // fit 24-bit integers exactly.
        if (isLossyCodecInPlainContainer (input))
            for (const auto fallback : { SF_FORMAT_PCM_24, SF_FORMAT_PCM_16 })
                if (const auto format = writableWith (container, fallback, numChannels, sampleRate); format != 0)
                    return { format, "the input's " + encodingName (input) + " is lossy" };

        if (keepsEncoding)
            if (const auto format = writableWith (container, input & encodingMask, numChannels, sampleRate); format != 0)
                return { format, "" };

        // The closest the container holds: float stays float where it can, and 24-bit
        // integers carry more than any lossy or compressed input had.
        for (const auto fallback : { isFloatEncoding (input) ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_24, SF_FORMAT_PCM_24, SF_FORMAT_PCM_16 })
            if (const auto format = writableWith (container, fallback, numChannels, sampleRate); format != 0)
                return { format, shownContainer + " cannot hold the input's " + encodingName (input) };

        return { 0, shownContainer + " cannot hold " + std::to_string (numChannels) + " channels at " + std::to_string (sampleRate) + " Hz" };
    }

    bool isLossyCodecInPlainContainer (Format format)
    {
        switch (format & encodingMask)
        {
            case SF_FORMAT_IMA_ADPCM:
            case SF_FORMAT_MS_ADPCM:
            case SF_FORMAT_GSM610:
            case SF_FORMAT_VOX_ADPCM:
            case SF_FORMAT_G721_32:
            case SF_FORMAT_G723_24:
            case SF_FORMAT_G723_40:
            case SF_FORMAT_NMS_ADPCM_16:
            case SF_FORMAT_NMS_ADPCM_24:
            case SF_FORMAT_NMS_ADPCM_32:
                return true;
            default:
                return false;
        }
    }

    OutputChoice largeEnoughFor (const OutputChoice& choice, std::int64_t numFrames, int numChannels)
    {
        const auto sampleBytes = std::max (1, bytesPerStoredSample (choice.format));

        if ((choice.format & containerMask) != SF_FORMAT_WAV || numFrames * numChannels * sampleBytes < 0xffff0000ll)
            return choice;

        return { SF_FORMAT_RF64 | (choice.format & encodingMask),
                 (choice.reason.empty() ? std::string() : choice.reason + "; ") + "as RF64: a WAV holds at most 4 GiB" };
    }

    //==============================================================================
    std::unique_ptr<Reader> Reader::open (const std::string& path, std::string& error)
    {
        // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come;
        // openDescriptor refuses anything but a regular file and clears the flag.
        const auto fd = ::open (path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);

        if (fd < 0)
        {
            error = std::strerror (errno);
            return nullptr;
        }

        return openDescriptor (fd, error);
    }

    std::unique_ptr<Reader> Reader::openDescriptor (int fd, std::string& error)
    {
        struct stat status
        {
        };

        if (::fstat (fd, &status) != 0 || ! S_ISREG (status.st_mode))
        {
            error = "not a regular file";
            ::close (fd);
            return nullptr;
        }

        if (const auto flags = ::fcntl (fd, F_GETFL); flags >= 0 && (flags & O_NONBLOCK) != 0)
            ::fcntl (fd, F_SETFL, flags & ~O_NONBLOCK);

        auto source = std::make_unique<MendedFile>();
        source->fd = fd;
        source->size = (std::int64_t) status.st_size;

        FileBytes bytesSeen { fd, (std::uint64_t) status.st_size };
        bytesSeen.order = fmtBeforeData (bytesSeen);

        auto layout = layoutOf (bytesSeen);
        source->mends = std::move (layout.mends);
        source->order = std::move (bytesSeen.order);

        if (layout.usableSize >= 0)
            source->size = layout.usableSize;

        SF_VIRTUAL_IO io { &MendedSource::length, &MendedSource::seek, &MendedSource::read, &MendedSource::write, &MendedSource::tell };
        SF_INFO info {};
        auto* file = sf_open_virtual (&io, SFM_READ, &info, static_cast<MendedSource*> (source.get()));

        if (file == nullptr)
        {
            error = whyNotReadable (sf_error (nullptr), layout);
            ::close (fd);
            return nullptr;
        }

        if (info.channels < 1 || info.samplerate < 1)
        {
            error = "the header gives " + std::to_string (info.channels) + " channels at " + std::to_string (info.samplerate) + " Hz";
            sf_close (file);
            ::close (fd);
            return nullptr;
        }

        FileInfo fileInfo;
        fileInfo.format = info.format;
        fileInfo.numChannels = info.channels;
        fileInfo.sampleRate = (double) info.samplerate;

        const auto bytes = (std::int64_t) status.st_size;
        const auto sampleBytes = bytesPerStoredSample (info.format);
        const auto frameBytes = (std::int64_t) sampleBytes * info.channels;

        // Stored samples: the frames are the data's bytes, by the data chunk's own
        // size, never a byte beyond it (a tag after the audio is no audio).
        if (sampleBytes > 0)
        {
            fileInfo.maximumFrames = (layout.presentBytes >= 0 ? layout.presentBytes : bytes) / frameBytes;

            if (layout.announcedFrames < 0 && layout.announcedBytes >= 0)
                layout.announcedFrames = layout.announcedBytes / frameBytes;

            // Nor a frame beyond what the header counts: an AIFF whose SSND size
            // was never written says in COMM where its audio stops.
            if (layout.announcedFrames >= 0)
                fileInfo.maximumFrames = std::min (fileInfo.maximumFrames, layout.announcedFrames);
        }
        else
        {
            fileInfo.maximumFrames = bytes * compressedFramesPerByte;

            // A compressed WAV's data size (ADPCM, GSM) is a length as much as a PCM
            // one's: a file holding fewer of those bytes was cut. What it announces in
            // frames is its fact chunk's count, or else judged from the frames its whole
            // blocks give, at the same rate.
            if (layout.announcedFrames < 0 && layout.presentBytes >= 0 && layout.announcedBytes > layout.presentBytes)
            {
                const auto scale = (double) layout.announcedBytes / (double) std::max<std::int64_t> (1, layout.presentBytes);
                const auto judged = info.frames > 0 ? (std::int64_t) std::ceil ((double) info.frames * scale) : info.frames + 1;
                layout.announcedFrames = layout.factFrames > info.frames ? layout.factFrames : judged;
            }
        }

        // A counted MP3 cut short still reports the count: that is its announcement.
        if (layout.libraryCountAnnounced && layout.announcedFrames < 0 && info.frames > 0
            && (info.format & containerMask) == SF_FORMAT_MPEG)
            layout.announcedFrames = (std::int64_t) info.frames;

        fileInfo.expectedFrames = std::clamp<std::int64_t> (info.frames, 0, fileInfo.maximumFrames);

        // A FLAC shown with its total unknown: the header's total is still the best guess.
        if ((info.format & containerMask) == SF_FORMAT_FLAC && layout.announcedFrames >= 0)
            fileInfo.expectedFrames = std::min (layout.announcedFrames, fileInfo.maximumFrames);
        fileInfo.announcedFrames = layout.announcedFrames;
        fileInfo.endsMidStream = layout.usableSize >= 0;
        fileInfo.lengthNeverWritten = layout.lengthNeverWritten && layout.announcedFrames < 0;
        fileInfo.chainedStreams = layout.chainedStreams;

        // Floats and integers arrive as doubles at full scale 1.0: exact for every encoding.
        sf_command (file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);

        return std::unique_ptr<Reader> (new Reader (file, std::move (source), fileInfo));
    }

    Reader::Reader (SNDFILE* openedFile, std::unique_ptr<MendedFile> fileSource, FileInfo info)
        : file (openedFile)
        , source (std::move (fileSource))
        , fileInfo (info)
    {
    }

    Reader::~Reader()
    {
        sf_close (file);
        ::close (source->fd);
    }

    int Reader::read (double* const* channels, int numFrames)
    {
        const auto wanted = (int) std::min<std::int64_t> (numFrames, fileInfo.maximumFrames - position);

        if (wanted <= 0)
            return 0;

        const auto numChannels = (size_t) fileInfo.numChannels;
        interleaved.resize ((size_t) wanted * numChannels);
        const auto got = (int) std::max<sf_count_t> (0, sf_readf_double (file, interleaved.data(), wanted));

        for (size_t channel = 0; channel < numChannels; ++channel)
        {
            auto* out = channels[channel];
            const auto* in = interleaved.data() + channel;

            for (int i = 0; i < got; ++i)
                out[i] = in[(size_t) i * numChannels];
        }

        position += got;
        return got;
    }

    //==============================================================================
    std::unique_ptr<Writer> Writer::create (const std::string& path, Format format, int numChannels, double sampleRate, std::string& error,
                                            bool* refusedByFormat)
    {
        if (refusedByFormat != nullptr)
            *refusedByFormat = false;

        const auto fd = ::open (path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);

        if (fd < 0)
        {
            error = std::strerror (errno);
            return nullptr;
        }

        return createOnDescriptor (fd, format, numChannels, sampleRate, error, refusedByFormat);
    }

    std::unique_ptr<Writer> Writer::createOnDescriptor (int fd, Format format, int numChannels, double sampleRate, std::string& error,
                                                        bool* refusedByFormat)
    {
        if (refusedByFormat != nullptr)
            *refusedByFormat = false;

        auto target = std::make_unique<BufferedFile>();
        target->fd = fd;

        SF_INFO info {};
        info.format = format;
        info.channels = numChannels;
        info.samplerate = (int) std::lround (sampleRate);

        SF_VIRTUAL_IO io { &BufferedFile::length, &BufferedFile::seek, &BufferedFile::read, &BufferedFile::write, &BufferedFile::tell };
        auto* file = sf_open_virtual (&io, SFM_WRITE, &info, target.get());

        if (file == nullptr)
        {
            error = "the encoder does not take " + std::to_string (numChannels) + (numChannels == 1 ? " channel" : " channels")
                    + " at " + std::to_string (info.samplerate) + " Hz: choose another output format";

            // The folder took the file: it is the format the library refused.
            if (refusedByFormat != nullptr)
                *refusedByFormat = true;

            ::close (target->fd);
            return nullptr;
        }

        return std::unique_ptr<Writer> (new Writer (file, std::move (target), format, numChannels));
    }

    Writer::Writer (SNDFILE* openedFile, std::unique_ptr<BufferedFile> fileTarget, Format fileFormat, int channels)
        : file (openedFile)
        , target (std::move (fileTarget))
        , numChannels (channels)
        , integerScale (integerBits (fileFormat) > 0 ? std::ldexp (1.0, integerBits (fileFormat) - 1) : 0.0)
        , wordScale (integerBits (fileFormat) > 0 ? std::ldexp (1.0, 32 - integerBits (fileFormat)) : 0.0)
    {
    }

    Writer::~Writer()
    {
        if (file != nullptr)
            sf_close (file);

        if (target->fd >= 0)
            ::close (target->fd);
    }

    bool Writer::write (const double* const* channels, int numFrames)
    {
        if (failed || numFrames <= 0)
            return ! failed;

        const auto count = (size_t) numChannels;

        if (integerScale > 0.0)
        {
            // Integers go to the library as 32-bit words, which it stores by dropping
            // the low bits: the rounded sample, moved to the top of the word, is
            // stored exactly. The bounds are whole numbers, so clamping before
            // rounding gives what rounding before clamping would.
            words.resize ((size_t) numFrames * count);

            for (size_t channel = 0; channel < count; ++channel)
            {
                const auto* in = channels[channel];
                auto* out = words.data() + channel;

                for (int i = 0; i < numFrames; ++i)
                {
                    const auto scaled = std::clamp (in[i] * integerScale, -integerScale, integerScale - 1.0);
                    out[(size_t) i * count] = (std::int32_t) (roundToEven (scaled) * wordScale);
                }
            }

            failed = sf_writef_int (file, words.data(), numFrames) != numFrames;

            if (failed && encoderError.empty() && ! target->failed)
                encoderError = "the encoder refused the audio (libsndfile error " + std::to_string (sf_error (file)) + ")";
            return ! failed;
        }

        interleaved.resize ((size_t) numFrames * count);

        for (size_t channel = 0; channel < count; ++channel)
        {
            const auto* in = channels[channel];
            auto* out = interleaved.data() + channel;

            for (int i = 0; i < numFrames; ++i)
                out[(size_t) i * count] = in[i];
        }

        failed = sf_writef_double (file, interleaved.data(), numFrames) != numFrames;

        if (failed && encoderError.empty() && ! target->failed)
            encoderError = "the encoder refused the audio (libsndfile error " + std::to_string (sf_error (file)) + ")";
        return ! failed;
    }

    bool Writer::close (std::string& error)
    {
        // libsndfile writes the final header on closing; an error there is reported.
        // The file is not forced to the disk first: that waits for the device (about
        // as long again as a whole render of a minute), and a full disk already fails
        // the writes themselves.
        const auto closeError = sf_close (file);
        file = nullptr;

        const auto flushed = target->flush();
        const auto closed = ::close (target->fd) == 0;
        target->fd = -1;

        if (failed || closeError != 0 || ! flushed || ! closed)
        {
            // The bytes that did not reach the file are the disk's doing; a write the
            // encoder refused is the format's.
            const auto diskFailed = target->failed || ! flushed || ! closed;
            const auto failure = target->failure != 0 ? target->failure : errno;
            error = ! diskFailed        ? std::string()
                    : failure == ENOSPC ? "the disk is full"
                    : failure == EDQUOT ? "the disk quota is used up"
                    : failure == EFBIG  ? "the file reached the largest size this process may write (ulimit -f)"
                                        : "a write failed: " + std::string (std::strerror (failure));
            error = diskFailed               ? error
                    : ! encoderError.empty() ? encoderError
                    : closeError != 0        ? "the encoder could not finish the file (libsndfile error " + std::to_string (closeError) + ")"
                                             : "the encoder failed";
            refusedByFormat = ! diskFailed;
            return false;
        }

        return true;
    }
}
