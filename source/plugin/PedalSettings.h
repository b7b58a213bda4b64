#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

//==============================================================================
/**
    The pedal's four settings as the user makes them, and their saved form: the
    16 bytes a host keeps with a project. Only the processor, the tools and the
    tests read and write those bytes, all through this one definition.

    The bytes are four little-endian float32 values: drive, tone, level, and the
    footswitch as 1.0 (on) or 0.0 (off).
*/
struct PedalSettings
{
    /** A new pedal: every knob at half travel, switched on. */
    float drive = 0.5f;
    float tone = 0.5f;
    float level = 0.5f;
    bool effectOn = true;

    static constexpr size_t blobSize = 16;

    using Bytes = std::array<unsigned char, blobSize>;

    /** The 16 bytes as a host keeps them. */
    Bytes toBytes() const noexcept
    {
        Bytes bytes {};
        const float fields[] { drive, tone, level, effectOn ? 1.0f : 0.0f };

        for (size_t field = 0; field < 4; ++field)
        {
            std::uint32_t bits;
            std::memcpy (&bits, &fields[field], sizeof (bits));

            for (size_t byte = 0; byte < 4; ++byte)
                bytes[field * 4 + byte] = (unsigned char) (bits >> (8 * byte));
        }

        return bytes;
    }

    /** Appends the 16 bytes behind whatever the block already holds (hosts may
        collect several states in one block). Any block with append (data, size).
    */
    template <typename Block>
    void appendTo (Block& block) const
    {
        const auto bytes = toBytes();
        block.append (bytes.data(), bytes.size());
    }

    /** Reads the fields as stored, unchecked: a knob may come back NaN or out of
        range, for the reader to decide what to make of it. Fields cut off by the
        end of a short blob read as 0; bytes after the 16th are ignored. Any
        footswitch value but 0 counts as on.
    */
    static PedalSettings fromBlob (const void* data, size_t size) noexcept
    {
        const auto* bytes = static_cast<const unsigned char*> (data);
        const auto available = data != nullptr ? size : 0;

        const auto field = [&] (size_t index) {
            if (available < (index + 1) * 4)
                return 0.0f;

            std::uint32_t bits = 0;

            for (size_t byte = 0; byte < 4; ++byte)
                bits |= (std::uint32_t) bytes[index * 4 + byte] << (8 * byte);

            float value;
            std::memcpy (&value, &bits, sizeof (value));
            return value;
        };

        PedalSettings settings;
        settings.drive = field (0);
        settings.tone = field (1);
        settings.level = field (2);
        settings.effectOn = field (3) != 0.0f;
        return settings;
    }
};
