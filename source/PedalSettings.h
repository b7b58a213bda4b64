#pragma once

#include <juce_core/juce_core.h>

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

    /** Appends the 16 bytes behind whatever the block already holds (hosts may
        collect several states in one block).
    */
    void appendTo (juce::MemoryBlock& block) const
    {
        juce::MemoryOutputStream stream (block, true);
        stream.writeFloat (drive);
        stream.writeFloat (tone);
        stream.writeFloat (level);
        stream.writeFloat (effectOn ? 1.0f : 0.0f);
    }

    juce::MemoryBlock toBlob() const
    {
        juce::MemoryBlock block;
        appendTo (block);
        return block;
    }

    /** Reads the fields as stored, unchecked: a knob may come back NaN or out of
        range, for the reader to decide what to make of it. Fields cut off by the
        end of a short blob read as 0; bytes after the 16th are ignored. Any
        footswitch value but 0 counts as on.
    */
    static PedalSettings fromBlob (const void* data, size_t size)
    {
        juce::MemoryInputStream stream (data, data != nullptr ? size : 0, false);
        PedalSettings settings;
        settings.drive = stream.readFloat();
        settings.tone = stream.readFloat();
        settings.level = stream.readFloat();
        settings.effectOn = stream.readFloat() != 0.0f;
        return settings;
    }
};
