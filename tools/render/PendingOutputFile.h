#pragma once

#include <string>

//==============================================================================
/**
    A file that only appears under its real name once it is complete.

    It is written as a hidden temporary file in the target's own folder (so the
    final rename stays on one file system and replaces the target in one step)
    and renamed over the target by commit(). Until then an existing target is
    left as it was, and the temporary file is removed when this object goes,
    when the program fails, or when it is ended by any signal that can be caught.
    One that a SIGKILL or a power cut left behind is removed by a later run into
    the same folder.
*/
class PendingOutputFile final
{
public:
    explicit PendingOutputFile (const std::string& target);
    ~PendingOutputFile();

    PendingOutputFile (const PendingOutputFile&) = delete;
    PendingOutputFile& operator= (const PendingOutputFile&) = delete;

    const std::string& getTemporaryFile() const noexcept   { return temporary; }
    const std::string& getTarget() const noexcept          { return target; }

    /** Renames the temporary file over the target; on failure returns the message. */
    std::string commit();

    /** Removes the temporary file, if it is still there. */
    void discard();

private:
    std::string target;
    std::string temporary;
    int signalSlot = -1;
};
