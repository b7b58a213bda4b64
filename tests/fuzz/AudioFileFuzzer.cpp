// Any bytes as an audio file, read through the project's file layer the way
// brask-render reads its inputs: whichever container the bytes look like (WAV,
// RF64, Wave64, AIFF, CAF, FLAC, Ogg, MP3 ...), the layer must not crash, must
// not hang, and must never hand out more frames than the bytes can hold.

#include "AudioFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{
    // The least a frame can take: one byte a sample for stored samples (8-bit,
    // A-law, u-law), and for compressed encodings this many frames a byte at most
    // (a FLAC frame of 65535 equal samples fits in about ten bytes).
    constexpr std::int64_t compressedFramesPerByte = 8192;

    std::int64_t framesTheBytesCanHold (std::int64_t size, brask::audiofile::Format format, int numChannels)
    {
        const auto sampleBytes = brask::audiofile::bytesPerStoredSample (format);
        return sampleBytes > 0 ? size / (sampleBytes * numChannels) : size * compressedFramesPerByte;
    }

    void fail (const char* what, long long a, long long b)
    {
        std::fprintf (stderr, "broken promise: %s (%lld vs %lld)\n", what, a, b);
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
    const auto fd = ::memfd_create ("brask-fuzz-input", MFD_CLOEXEC);

    if (fd < 0 || ::write (fd, data, size) != (ssize_t) size || ::lseek (fd, 0, SEEK_SET) != 0)
    {
        std::perror ("memfd");
        std::abort();
    }

    std::string error;
    auto reader = brask::audiofile::Reader::openDescriptor (fd, error);

    if (reader == nullptr)
        return 0;

    const auto& info = reader->info();

    if (info.numChannels < 1 || info.sampleRate <= 0.0)
        fail ("opened a file with no channels or no rate", info.numChannels, (long long) info.sampleRate);

    // Ask what a render would write, for every output container.
    for (const auto* name : { "x.wav", "x.flac", "x.aiff", "x.caf", "x.ogg", "x.mp3" })
        brask::audiofile::chooseOutputFormat (info.format, brask::audiofile::containerForFileName (name),
                                              info.numChannels, (int) info.sampleRate, 0);

    if (info.numChannels > 8)
        return 0;  // the renderer refuses these before reading a sample

    constexpr int chunk = 4096;
    std::vector<std::vector<double>> channels ((size_t) info.numChannels, std::vector<double> (chunk));
    std::vector<double*> pointers;

    for (auto& channel : channels)
        pointers.push_back (channel.data());

    const auto bound = framesTheBytesCanHold ((std::int64_t) size, info.format, info.numChannels);
    std::int64_t total = 0;

    for (int got; (got = reader->read (pointers.data(), chunk)) > 0;)
    {
        if (got > chunk)
            fail ("read more frames than asked", got, chunk);

        total += got;

        if (total > bound)
            fail ("read more frames than the bytes can hold", total, bound);
    }

    if (total != reader->framesRead())
        fail ("the reader's count differs from the frames it gave", reader->framesRead(), total);

    return 0;
}
