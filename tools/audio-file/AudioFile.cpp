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

        /** The first bytes of a file, where its header lives. */
        struct HeaderBytes
        {
            std::vector<std::uint8_t> bytes;

            const std::uint8_t* at (std::uint64_t offset, std::uint64_t length) const noexcept
            {
                return offset + length <= bytes.size() ? bytes.data() + offset : nullptr;
            }
        };

        /** Size fields of a header that was never completed, and what they should say:
            the data reaches to the end of the file.
        */
        struct Mend
        {
            std::uint64_t offset;
            std::uint32_t value;
        };

        /** RIFF/WAVE: the data chunk's size over the frame size the fmt chunk gives.
            A streaming header gets its sizes mended to what the file holds, as a reader
            that knows no better would otherwise take "0" at its word.
        */
        std::int64_t announcedByWav (const HeaderBytes& header, std::uint64_t fileSize, std::vector<Mend>& mends)
        {
            const auto* riff = header.at (0, 12);

            if (riff == nullptr || std::memcmp (riff, "RIFF", 4) != 0 || std::memcmp (riff + 8, "WAVE", 4) != 0)
                return -1;

            const auto riffSize = littleEndian32 (riff + 4);
            std::uint64_t blockAlign = 0;

            for (std::uint64_t offset = 12; const auto* chunk = header.at (offset, 8);)
            {
                const auto size = (std::uint64_t) littleEndian32 (chunk + 4);

                if (std::memcmp (chunk, "fmt ", 4) == 0)
                    if (const auto* fmt = header.at (offset + 8, 14))
                        blockAlign = (std::uint64_t) fmt[12] | ((std::uint64_t) fmt[13] << 8);

                if (std::memcmp (chunk, "data", 4) == 0)
                {
                    // A header that was never completed: placeholder sizes, or a data
                    // chunk reaching past the end the RIFF size gives the whole file.
                    if (blockAlign == 0 || isStreamingSize (size) || isStreamingSize (riffSize)
                        || offset + 8 + size > (std::uint64_t) riffSize + 8)
                    {
                        const auto present = fileSize > offset + 8 ? fileSize - (offset + 8) : 0;
                        auto dataSize = std::min<std::uint64_t> (present, 0xffffffffu);

                        if (blockAlign > 0)
                            dataSize -= dataSize % blockAlign;

                        mends.push_back ({ 4, (std::uint32_t) std::min<std::uint64_t> (offset + dataSize, 0xffffffffu) });
                        mends.push_back ({ offset + 4, (std::uint32_t) dataSize });
                        return -1;
                    }

                    return (std::int64_t) (size / blockAlign);
                }

                offset += 8 + size + (size & 1);
            }

            return -1;
        }

        /** AIFF and AIFF-C: the frame count in the COMM chunk. */
        std::int64_t announcedByAiff (const HeaderBytes& header)
        {
            const auto* form = header.at (0, 12);

            if (form == nullptr || std::memcmp (form, "FORM", 4) != 0
                || (std::memcmp (form + 8, "AIFF", 4) != 0 && std::memcmp (form + 8, "AIFC", 4) != 0))
                return -1;

            if (isStreamingSize (bigEndian32 (form + 4)))
                return -1;

            for (std::uint64_t offset = 12; const auto* chunk = header.at (offset, 8);)
            {
                const auto size = (std::uint64_t) bigEndian32 (chunk + 4);

                if (std::memcmp (chunk, "COMM", 4) == 0)
                {
                    const auto* comm = header.at (offset + 8, 8);

                    if (comm == nullptr)
                        return -1;

                    const auto channels = (std::uint64_t) ((comm[0] << 8) | comm[1]);
                    const auto frames = (std::uint64_t) bigEndian32 (comm + 2);
                    const auto bits = (std::uint64_t) ((comm[6] << 8) | comm[7]);

                    if (frames == 0 || isStreamingSize (frames * channels * ((bits + 7) / 8)))
                        return -1;

                    return (std::int64_t) frames;
                }

                offset += 8 + size + (size & 1);
            }

            return -1;
        }

        /** FLAC: the total in STREAMINFO (0 there means "not known"). */
        std::int64_t announcedByFlac (const HeaderBytes& header)
        {
            std::uint64_t offset = 0;

            // An ID3v2 tag in front, as some taggers leave it: its size is "sync-safe", 7 bits a byte.
            if (const auto* id3 = header.at (0, 10); id3 != nullptr && std::memcmp (id3, "ID3", 3) == 0)
                offset = 10 + (((std::uint64_t) (id3[6] & 0x7f) << 21) | ((std::uint64_t) (id3[7] & 0x7f) << 14)
                               | ((std::uint64_t) (id3[8] & 0x7f) << 7) | (std::uint64_t) (id3[9] & 0x7f));

            const auto* magic = header.at (offset, 4 + 4 + 18);

            if (magic == nullptr || std::memcmp (magic, "fLaC", 4) != 0 || (magic[4] & 0x7f) != 0)
                return -1;

            const auto* info = magic + 8;
            const auto total = ((std::uint64_t) (info[13] & 0x0f) << 32) | bigEndian32 (info + 14);
            return total == 0 ? -1 : (std::int64_t) total;
        }

        HeaderBytes headerOf (int fd, std::int64_t fileSize)
        {
            HeaderBytes header;
            header.bytes.resize ((size_t) std::clamp<std::int64_t> (fileSize, 0, 65536));
            const auto got = ::pread (fd, header.bytes.data(), header.bytes.size(), 0);
            header.bytes.resize (got > 0 ? (size_t) got : 0);
            return header;
        }

        //==============================================================================
        /** The file as libsndfile reads it: its bytes, with a streaming header's size
            fields mended.
        */
        struct MendedSource
        {
            int fd;
            std::int64_t size;
            std::int64_t position = 0;
            std::vector<Mend> mends;

            // libsndfile asks for a few kilobytes at a time; a system call for each
            // costs more than the copy, so the bytes come from here in large reads.
            static constexpr std::int64_t bufferSize = 1 << 18;
            std::unique_ptr<std::uint8_t[]> buffer;
            std::int64_t bufferStart = 0, bufferEnd = 0;     // the file's bytes the buffer holds

            static sf_count_t length (void* self)
            {
                return static_cast<MendedSource*> (self)->size;
            }

            static sf_count_t seek (sf_count_t offset, int whence, void* self)
            {
                auto& file = *static_cast<MendedSource*> (self);
                const auto base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.position : file.size;
                const auto target = base + offset;

                if (target < 0)
                    return -1;

                file.position = target;
                return target;
            }

            /** The file's bytes from offset on, with the mends applied; 0 at the end. */
            std::int64_t readAt (std::uint8_t* destination, std::int64_t count, std::int64_t offset)
            {
                const auto got = ::pread (fd, destination, (size_t) std::min (count, size - offset), offset);

                if (got <= 0)
                    return 0;

                for (const auto& mend : mends)
                    for (std::uint64_t i = 0; i < 4; ++i)
                        if (mend.offset + i >= (std::uint64_t) offset && mend.offset + i < (std::uint64_t) (offset + got))
                            destination[mend.offset + i - (std::uint64_t) offset] = (std::uint8_t) (mend.value >> (8 * i));

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
                case 8:     return SF_FORMAT_PCM_S8;
                case 16:    return SF_FORMAT_PCM_16;
                case 24:    return SF_FORMAT_PCM_24;
                case 32:    return SF_FORMAT_PCM_32;
                case -32:   return SF_FORMAT_FLOAT;
                case -64:   return SF_FORMAT_DOUBLE;
                default:    return 0;
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
        std::vector<std::uint8_t> pending;          // bytes from pendingStart on, not yet written
        std::int64_t pendingStart = 0;
        bool failed = false;

        static constexpr size_t capacity = 1 << 18;

        bool flush()
        {
            for (size_t done = 0; done < pending.size() && ! failed;)
            {
                const auto wrote = ::pwrite (fd, pending.data() + done, pending.size() - done, (off_t) (pendingStart + (std::int64_t) done));

                if (wrote < 0 && errno == EINTR)
                    continue;

                if (wrote <= 0)
                    failed = true;
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
            const auto base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.position : file.size;

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
            case SF_FORMAT_WAV:     return "WAV";
            case SF_FORMAT_WAVEX:   return "WAV (extensible)";
            case SF_FORMAT_RF64:    return "RF64";
            case SF_FORMAT_W64:     return "Wave64";
            case SF_FORMAT_AIFF:    return "AIFF";
            case SF_FORMAT_CAF:     return "CAF";
            case SF_FORMAT_FLAC:    return "FLAC";
            case SF_FORMAT_OGG:     return "Ogg";
            case SF_FORMAT_MPEG:    return "MPEG";
            default:                return libraryFormatName (format & containerMask, SFC_GET_FORMAT_INFO);
        }
    }

    std::string encodingName (Format format)
    {
        if (const auto bits = integerBits (format); bits > 0)
            return std::to_string (bits) + "-bit";

        switch (format & encodingMask)
        {
            case SF_FORMAT_FLOAT:           return "32-bit float";
            case SF_FORMAT_DOUBLE:          return "64-bit float";
            case SF_FORMAT_VORBIS:          return "Vorbis";
            case SF_FORMAT_OPUS:            return "Opus";
            case SF_FORMAT_MPEG_LAYER_III:  return "MP3";
            case SF_FORMAT_ULAW:            return "u-law";
            case SF_FORMAT_ALAW:            return "A-law";
            default:                        return libraryFormatName (format & encodingMask, SFC_GET_FORMAT_INFO);
        }
    }

    int integerBits (Format format)
    {
        switch (format & encodingMask)
        {
            case SF_FORMAT_PCM_S8:
            case SF_FORMAT_PCM_U8:  return 8;
            case SF_FORMAT_PCM_16:  return 16;
            case SF_FORMAT_PCM_24:  return 24;
            case SF_FORMAT_PCM_32:  return 32;
            default:                return 0;
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
            case SF_FORMAT_FLOAT:   return 4;
            case SF_FORMAT_DOUBLE:  return 8;
            case SF_FORMAT_ULAW:
            case SF_FORMAT_ALAW:    return 1;
            default:                return 0;
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
            { ".wav",  SF_FORMAT_WAV },
            { ".rf64", SF_FORMAT_RF64 },
            { ".w64",  SF_FORMAT_W64 },
            { ".aiff", SF_FORMAT_AIFF },
            { ".aif",  SF_FORMAT_AIFF },
            { ".aifc", SF_FORMAT_AIFF },
            { ".caf",  SF_FORMAT_CAF },
            { ".flac", SF_FORMAT_FLAC },
            { ".ogg",  SF_FORMAT_OGG | SF_FORMAT_VORBIS },
            { ".oga",  SF_FORMAT_OGG | SF_FORMAT_VORBIS },
            { ".opus", SF_FORMAT_OGG | SF_FORMAT_OPUS },
            { ".mp3",  SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III },
            { ".au",   SF_FORMAT_AU },
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

        // Lossy containers come with their one encoding.
        if ((container & encodingMask) != 0)
        {
            if (requestedBits != 0)
                return { 0, "--bits applies to WAV, AIFF, CAF, FLAC and the like, not to " + encodingName (container) };

            if (! canWrite (container, numChannels, sampleRate))
                return { 0, "cannot write " + encodingName (container) + " at " + std::to_string (sampleRate) + " Hz" };

            return { container, (input & encodingMask) == (container & encodingMask) ? "" : "as " + encodingName (container) };
        }

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

        if (const auto format = writableWith (container, input & encodingMask, numChannels, sampleRate); format != 0)
            return { format, "" };

        // The closest the container holds: float stays float where it can, and 24-bit
        // integers carry more than any lossy or compressed input had.
        for (const auto fallback : { isFloatEncoding (input) ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_24, SF_FORMAT_PCM_24, SF_FORMAT_PCM_16 })
            if (const auto format = writableWith (container, fallback, numChannels, sampleRate); format != 0)
                return { format, shownContainer + " cannot hold the input's " + encodingName (input) };

        return { 0, shownContainer + " cannot hold " + std::to_string (numChannels) + " channels at " + std::to_string (sampleRate) + " Hz" };
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
        const auto fd = ::open (path.c_str(), O_RDONLY | O_CLOEXEC);

        if (fd < 0)
        {
            error = std::strerror (errno);
            return nullptr;
        }

        return openDescriptor (fd, error);
    }

    std::unique_ptr<Reader> Reader::openDescriptor (int fd, std::string& error)
    {
        struct stat status {};

        if (::fstat (fd, &status) != 0 || ! S_ISREG (status.st_mode))
        {
            error = "not a regular file";
            ::close (fd);
            return nullptr;
        }

        auto source = std::make_unique<MendedFile>();
        source->fd = fd;
        source->size = (std::int64_t) status.st_size;

        const auto header = headerOf (fd, (std::int64_t) status.st_size);
        const auto announcedByRiff = announcedByWav (header, (std::uint64_t) status.st_size, source->mends);

        SF_VIRTUAL_IO io { &MendedSource::length, &MendedSource::seek, &MendedSource::read, &MendedSource::write, &MendedSource::tell };
        SF_INFO info {};
        auto* file = sf_open_virtual (&io, SFM_READ, &info, static_cast<MendedSource*> (source.get()));

        if (file == nullptr)
        {
            error = sf_strerror (nullptr);
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
        fileInfo.maximumFrames = sampleBytes > 0 ? bytes / ((std::int64_t) sampleBytes * info.channels)
                                                 : bytes * compressedFramesPerByte;
        fileInfo.expectedFrames = std::clamp<std::int64_t> (info.frames, 0, fileInfo.maximumFrames);

        switch (info.format & containerMask)
        {
            case SF_FORMAT_WAV:
            case SF_FORMAT_WAVEX:   fileInfo.announcedFrames = announcedByRiff; break;
            case SF_FORMAT_AIFF:    fileInfo.announcedFrames = announcedByAiff (header); break;
            case SF_FORMAT_FLAC:    fileInfo.announcedFrames = announcedByFlac (header); break;
            default:                break;
        }

        // Floats and integers arrive as doubles at full scale 1.0: exact for every encoding.
        sf_command (file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);

        return std::unique_ptr<Reader> (new Reader (file, std::move (source), fileInfo));
    }

    Reader::Reader (SNDFILE* openedFile, std::unique_ptr<MendedFile> fileSource, FileInfo info)
        : file (openedFile), source (std::move (fileSource)), fileInfo (info)
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
    std::unique_ptr<Writer> Writer::create (const std::string& path, Format format, int numChannels, double sampleRate, std::string& error)
    {
        auto target = std::make_unique<BufferedFile>();
        target->fd = ::open (path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);

        if (target->fd < 0)
        {
            error = std::strerror (errno);
            return nullptr;
        }

        SF_INFO info {};
        info.format = format;
        info.channels = numChannels;
        info.samplerate = (int) std::lround (sampleRate);

        SF_VIRTUAL_IO io { &BufferedFile::length, &BufferedFile::seek, &BufferedFile::read, &BufferedFile::write, &BufferedFile::tell };
        auto* file = sf_open_virtual (&io, SFM_WRITE, &info, target.get());

        if (file == nullptr)
        {
            error = sf_strerror (nullptr);
            ::close (target->fd);
            return nullptr;
        }

        return std::unique_ptr<Writer> (new Writer (file, std::move (target), format, numChannels));
    }

    Writer::Writer (SNDFILE* openedFile, std::unique_ptr<BufferedFile> fileTarget, Format fileFormat, int channels)
        : file (openedFile), target (std::move (fileTarget)), numChannels (channels),
          integerScale (integerBits (fileFormat) > 0 ? std::ldexp (1.0, integerBits (fileFormat) - 1) : 0.0),
          wordScale (integerBits (fileFormat) > 0 ? std::ldexp (1.0, 32 - integerBits (fileFormat)) : 0.0)
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
            error = closeError != 0 && ! failed ? sf_error_number (closeError) : "a write failed (is the disk full?)";
            return false;
        }

        return true;
    }
}
