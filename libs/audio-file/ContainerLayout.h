#pragma once

// Where a file's audio lies, read from its own bytes before libsndfile sees them:
// one walker per container (WAV, RIFX and RF64, Wave64, AU, CAF, AIFF, FLAC, Ogg,
// MP3), how long the header says the audio is, and the size fields libsndfile
// must be shown mended. Internal to the audio-file layer; the reader uses it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brask::audiofile::detail
{
    /** A run of the file's bytes, as the reader is shown them. */
    struct Piece
    {
        std::uint64_t start, length;
    };

    /** Reads the file as the pieces put it (in their order; none: as it is), up to
        count bytes from offset; how many it got.
    */
    std::int64_t readInOrder (int fd, const std::vector<Piece>& order, std::uint8_t* out, std::uint64_t count, std::uint64_t offset) noexcept;

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
        std::int64_t blockFrames = 0;       // a compressed WAV's frames per block (fmt); 0 unknown

        // An MP3 whose first frame counts the stream's frames (Xing, Info, VBRI):
        // the library's length is then what the file announces.
        bool libraryCountAnnounced = false;

        // An MP3's frames, walked by their headers to the end of the stream: the
        // samples they hold, and how many one frame holds; -1 where not walked.
        std::int64_t streamFrames = -1;
        std::int64_t framesPerPacket = 0;

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

    /** The fmt chunk shown in front of the data where a WAV (RIFF, RIFX, RF64) has it
        behind; empty when the file needs no reordering.
    */
    std::vector<Piece> fmtBeforeData (const FileBytes& file);

    /** The layout of the first walker that recognises the file; an empty one when
        none does (libsndfile then reads the file as it is).
    */
    Layout layoutOf (const FileBytes& file);
}
