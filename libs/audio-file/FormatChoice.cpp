#include "AudioFile.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>

// The audio-file layer's format policy: names of containers and encodings, the
// container an output name asks for, and what a render is stored as.
namespace brask::audiofile
{
    namespace
    {
        constexpr int containerMask = SF_FORMAT_TYPEMASK;
        constexpr int encodingMask = SF_FORMAT_SUBMASK;

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
}
