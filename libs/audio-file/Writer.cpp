#include "AudioFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The writer: samples rounded as the reader gives them back, through libsndfile
// into a virtual file that gathers its small writes.
namespace brask::audiofile
{
    namespace
    {
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
    }

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
