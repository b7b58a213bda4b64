#pragma once

// The project's one way into and out of audio files, on libsndfile: the
// renderer, the demo and the tests all read and write through it. It is plain
// C++ with no framework types, so that programs built against either of the
// project's framework configurations (the plug-in's, the host layer's) and the
// fuzz driver can share it.
//
// Samples travel as doubles, full scale 1.0. Every integer width up to 32 bits
// and every float fits a double exactly, so a sample read and written again
// comes back bit for bit in the same encoding.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace brask::audiofile
{
    //==============================================================================
    /** A container and an encoding, as libsndfile's SF_FORMAT_* bits (container | encoding). */
    using Format = int;

    std::string containerName (Format format);  // "WAV", "FLAC", "Ogg" ...
    std::string encodingName (Format format);   // "24-bit", "32-bit float", "Vorbis" ...

    /** Bits of an integer encoding (8, 16, 24, 32); 0 for anything else. */
    int integerBits (Format format);

    /** Float or double samples. */
    bool isFloatEncoding (Format format);

    /** Samples stored as they are, each in a fixed number of bytes (integers, floats,
        A-law, u-law): those come back exactly, and their count follows from the bytes.
    */
    int bytesPerStoredSample (Format format);  // 0 for compressed encodings

    /** The container an output file name asks for, with its natural encoding for
        lossy containers; 0 when the extension names nothing this layer writes.
    */
    Format containerForFileName (const std::string& fileName);

    /** The extensions containerForFileName knows, for messages: ".wav, .flac, ...". */
    std::string writableExtensions();

    //==============================================================================
    /** What the output of a render of `input` into `container` is stored as, and
        why when it is not the input's own encoding.
    */
    struct OutputChoice
    {
        Format format = 0;   // 0: nothing fits (reason says why)
        std::string reason;  // empty when the input's encoding is kept
    };

    /** requestedBits: 0 keeps the input's encoding where the container can hold it;
        8, 16, 24, 32 ask for integers of that width; -32 for float, -64 for double.
    */
    OutputChoice chooseOutputFormat (Format input, Format container, int numChannels, int sampleRate, int requestedBits);

    /** ADPCM, GSM and G.72x: lossy codecs that plain containers carry. µ-law and
        A-law are not among them: a render written back in them is exact.
    */
    bool isLossyCodecInPlainContainer (Format format);

    /** A WAV holds at most 4 GiB; a longer render goes into its 64-bit sibling, RF64. */
    OutputChoice largeEnoughFor (const OutputChoice& choice, std::int64_t numFrames, int numChannels);

    //==============================================================================
    struct FileInfo
    {
        Format format = 0;
        int numChannels = 0;
        double sampleRate = 0.0;

        /** What the header announces; -1 when it announces nothing definite: a
            streaming header (size fields 0, all ones, or a placeholder beyond what
            any file holds), or a container that keeps no length.
        */
        std::int64_t announcedFrames = -1;

        /** The header's data size is a placeholder a recorder writes before it knows
            the length (0, all ones, sox's 0x7ffff000 ...): the audio was read to the
            end of the file, which is worth a note to whoever rendered it.
        */
        bool lengthNeverWritten = false;

        /** Cut short where no length is announced: an Ogg stream that stops inside a
            page or without its end-of-stream page. Read up to its last whole page.
        */
        bool endsMidStream = false;

        /** Ogg streams chained one after another; libsndfile decodes only the first,
            so a file with more is one the caller must refuse or say it cut.
        */
        int chainedStreams = 0;

        /** An MP3 whose frames hold more than the decoder will give (it guesses a VBR
            stream's length from its first frame, and stops at the count of the first
            of MP3s joined end to end): the frames its stream holds; -1 otherwise.
        */
        std::int64_t undecodedStreamFrames = -1;

        /** The decoder could give no length for the stream (an MP3 whose LAME tag pads
            away more than its counted frames hold): it stops wherever it stops.
        */
        bool decoderGivesNoLength = false;

        /** The most frames the file's audio bytes can hold, whatever its header says. */
        std::int64_t maximumFrames = 0;

        /** The best guess before reading, for a progress display: the library's
            count, never more than the bytes can hold.
        */
        std::int64_t expectedFrames = 0;
    };

    /** Reads a file to its real end, trusting no length field: it stops where the
        data stops, and never returns more frames than the bytes can hold.
    */
    class Reader final
    {
    public:
        /** nullptr with a one-line reason when the file is no audio this layer reads. */
        static std::unique_ptr<Reader> open (const std::string& path, std::string& error);

        /** As open(), from a descriptor it takes over (closed with the reader). */
        static std::unique_ptr<Reader> openDescriptor (int fd, std::string& error);

        ~Reader();

        const FileInfo& info() const noexcept { return fileInfo; }

        /** Up to numFrames frames, one array per channel; returns how many, 0 at the end. */
        int read (double* const* channels, int numFrames);

        std::int64_t framesRead() const noexcept { return position; }

        /** True when the file ended before the header said it would. */
        bool endedShort() const noexcept { return fileInfo.announcedFrames > position || fileInfo.endsMidStream; }

    private:
        struct MendedFile;
        Reader (SNDFILE*, std::unique_ptr<MendedFile>, FileInfo);

        SNDFILE* file;
        std::unique_ptr<MendedFile> source;
        FileInfo fileInfo;
        std::int64_t position = 0;
        std::vector<double> interleaved;

        Reader (const Reader&) = delete;
        Reader& operator= (const Reader&) = delete;
    };

    //==============================================================================
    /** Writes a file in the format given. Integer encodings get each sample rounded
        to the nearest step of full scale 2^(bits-1) (ties to even) and clamped, so
        that a sample read by Reader comes back as the same integer; libsndfile's
        own conversion scales writes by 2^(bits-1) - 1, which would not.
    */
    class Writer final
    {
    public:
        /** refusedByFormat, when given, tells a format the library cannot write (at this
            rate, with these channels) from a file the folder would not take.
        */
        static std::unique_ptr<Writer> create (const std::string& path, Format format, int numChannels,
                                               double sampleRate, std::string& error, bool* refusedByFormat = nullptr);

        /** As create(), into a file already open for writing, which it takes over
            (closed with the writer, also on failure).
        */
        static std::unique_ptr<Writer> createOnDescriptor (int fd, Format format, int numChannels, double sampleRate,
                                                           std::string& error, bool* refusedByFormat = nullptr);
        ~Writer();

        /** One array per channel; non-finite samples must not be passed. */
        bool write (const double* const* channels, int numFrames);

        /** Completes the header and flushes; false (with the reason) when any write failed. */
        bool close (std::string& error);

        /** After a failed close(): the encoder refused the audio, not the disk its bytes. */
        bool failedInTheFormat() const noexcept { return refusedByFormat; }

    private:
        struct BufferedFile;
        Writer (SNDFILE*, std::unique_ptr<BufferedFile>, Format, int numChannels);

        SNDFILE* file;
        std::unique_ptr<BufferedFile> target;
        int numChannels;
        double integerScale;  // 2^(bits-1), or 0 for non-integer encodings
        double wordScale;     // 2^(32-bits): from a sample's integer to a 32-bit word
        bool failed = false;
        bool refusedByFormat = false;
        std::string encoderError;
        std::vector<double> interleaved;
        std::vector<std::int32_t> words;

        Writer (const Writer&) = delete;
        Writer& operator= (const Writer&) = delete;
    };
}
