#pragma once

#include <juce_graphics/juce_graphics.h>

#include <map>
#include <memory>
#include <mutex>

//==============================================================================
/**
    The pedal's decoded pictures, one copy for every pedal in the process.

    Every pedal holds the set from construction, so a picture decoded for the
    first editor stays decoded for as long as any pedal lives, and the set with
    all its pixels goes when the last holder does: a later editor, opened after
    any pause, decodes nothing. Nothing is decoded until an editor asks.

    Pictures are found by the address of their embedded bytes, as BinaryData
    gives them. Safe to use from any thread.
*/
class PedalPictures final
{
public:
    //==============================================================================
    struct Embedded
    {
        const char* data;
        int size;
    };

    /** The set the pedals in this process share, made afresh when none is held. */
    static std::shared_ptr<PedalPictures> getShared();

    PedalPictures();
    ~PedalPictures();

    //==============================================================================
    /** The decoded picture, decoded on the first request; null if it does not decode. */
    juce::Image get (Embedded picture);

    /** Decodes those of the pictures not decoded yet, spread over the cores; the
        helper threads end before this returns.
    */
    void decodeAll (const Embedded* pictures, size_t count);

    /** How many pictures this process has decoded so far, in any set: shows whether
        an opening found its pictures decoded.
    */
    static int getNumDecodedInProcess() noexcept;

private:
    //==============================================================================
    std::mutex lock;
    std::map<const char*, juce::Image> decoded;

    JUCE_DECLARE_NON_COPYABLE (PedalPictures)
};
