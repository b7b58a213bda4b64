#pragma once

#include <juce_core/juce_core.h>

//==============================================================================
/**
    A file that only appears under its real name once it is complete.

    It is written as a hidden temporary file in the target's own folder (so the
    final rename stays on one file system and replaces the target in one step)
    and renamed over the target by commit(). Until then an existing target is
    left as it was, and the temporary file is removed when this object goes,
    when the program fails, or when it is interrupted (SIGINT, SIGTERM, SIGHUP).
*/
class PendingOutputFile final
{
public:
    explicit PendingOutputFile (const juce::File& target);
    ~PendingOutputFile();

    const juce::File& getTemporaryFile() const noexcept    { return temporary; }
    const juce::File& getTarget() const noexcept           { return target; }

    /** Renames the temporary file over the target. */
    juce::Result commit();

    /** Removes the temporary file, if it is still there. */
    void discard();

private:
    juce::File target;
    juce::File temporary;
    int signalSlot = -1;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PendingOutputFile)
};
