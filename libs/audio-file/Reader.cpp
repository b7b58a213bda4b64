#include "AudioFile.h"
#include "ContainerLayout.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The reader: a file's layout walked first, then libsndfile reading it through a
// virtual file that shows it the mended bytes.
namespace brask::audiofile
{
    using namespace detail;

    namespace
    {
        // A compressed encoding can describe many frames in a few bytes (a FLAC frame
        // of 65535 equal samples takes about ten), but never more than this.
        constexpr std::int64_t compressedFramesPerByte = 8192;

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
    }

    struct Reader::MendedFile final : MendedSource
    {
    };

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

            // A block codec of WAV decodes its whole blocks only: libsndfile makes a
            // block of a few bytes left over (or none) into a full-scale burst. The fact
            // chunk, where it ends inside the last block, is the audio's real length and
            // leaves out the encoder's padding.
            if (layout.blockFrames > 0 && layout.frameBytes > 0 && layout.presentBytes >= 0)
            {
                const auto wholeBlocks = layout.presentBytes / layout.frameBytes * layout.blockFrames;
                const auto inLastBlock = layout.factFrames > wholeBlocks - layout.blockFrames && layout.factFrames <= wholeBlocks;
                fileInfo.maximumFrames = inLastBlock ? layout.factFrames : wholeBlocks;
            }

            // A compressed WAV's data size (ADPCM, GSM) is a length as much as a PCM
            // one's: a file holding fewer of those bytes was cut. What it announces in
            // frames is its fact chunk's count, or else judged from the frames its whole
            // blocks give, at the same rate.
            if (layout.announcedFrames < 0 && layout.presentBytes >= 0 && layout.announcedBytes > layout.presentBytes)
            {
                const auto scale = (double) layout.announcedBytes / (double) std::max<std::int64_t> (1, layout.presentBytes);
                const auto judged = info.frames > 0 ? (std::int64_t) std::min (std::ceil ((double) info.frames * scale), 0x1p62)
                                                    : info.frames + 1;
                layout.announcedFrames = layout.factFrames > info.frames ? layout.factFrames : judged;
            }
        }

        // The decoder's count, unless it had none to give (it then says the largest
        // count there is).
        const auto isMpeg = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
        const auto decoderCounted = info.frames >= 0 && info.frames < SF_COUNT_MAX;
        fileInfo.decoderGivesNoLength = isMpeg && ! decoderCounted;

        // A counted MP3 cut short still reports the count: that is its announcement.
        if (layout.libraryCountAnnounced && layout.announcedFrames < 0 && decoderCounted && info.frames > 0 && isMpeg)
            layout.announcedFrames = (std::int64_t) info.frames;

        // The decoder stops at its own count; beyond the encoder's delay and padding
        // (a few frames), frames past it would be dropped without a word. Without a
        // count, every frame of the stream is in doubt.
        if (isMpeg && layout.streamFrames > 0
            && (! decoderCounted || (layout.streamFrames > info.frames && layout.streamFrames - info.frames > 4 * layout.framesPerPacket)))
            fileInfo.undecodedStreamFrames = layout.streamFrames;

        fileInfo.expectedFrames = std::clamp<std::int64_t> (info.frames, 0, fileInfo.maximumFrames);

        if (fileInfo.decoderGivesNoLength && layout.streamFrames > 0)
            fileInfo.expectedFrames = std::min (layout.streamFrames, fileInfo.maximumFrames);

        // A FLAC shown with its total unknown: the header's total is still the best guess.
        if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC && layout.announcedFrames >= 0)
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
}
