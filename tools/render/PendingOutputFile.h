#pragma once

#include <memory>
#include <string>

//==============================================================================
/**
    A file that only appears under its real name once it is complete.

    It is written as a hidden file of a unique name, made with O_EXCL in the
    target's own folder (so the final rename stays on one file system and
    replaces the target in one step), and carries the final file's mode and
    group from the start, so that a private take is never readable by others
    while it is being written. commit() renames it over the target; until then
    an existing target is left as it was.

    A target that a rename would change in ways the user did not ask for (one
    with other hard links, one owned by someone else, one with ACLs or extended
    attributes) is instead written in place at commit(), as cp writes it: same
    inode, owner, links and attributes.

    The hidden file is removed when this object goes, when the program fails,
    and when a signal ends the program. One that a SIGKILL or a power cut left
    behind is removed by a later run into the same folder, once it is certain
    that its writer is gone.
*/
class PendingOutputFile final
{
public:
    /** target: the real path to write (filepath::resolveOutput). nullptr with the
        reason when the hidden file cannot be made.
    */
    static std::unique_ptr<PendingOutputFile> create (const std::string& target, std::string& error);

    ~PendingOutputFile();

    PendingOutputFile (const PendingOutputFile&) = delete;
    PendingOutputFile& operator= (const PendingOutputFile&) = delete;

    const std::string& getTemporaryFile() const noexcept { return temporary; }
    const std::string& getTarget() const noexcept { return target; }

    /** The open hidden file, handed over to whoever writes it (who closes it). */
    int takeDescriptor() noexcept;

    /** True when commit() will write into the existing target rather than replace it. */
    bool writesInPlace() const noexcept { return inPlace; }

    /** Puts the hidden file's contents under the target's name; on failure returns
        the reason (the hidden file is then removed, an existing target kept).
    */
    std::string commit();

    /** Removes the hidden file, if it is still there. */
    void discard();

    /** Installs the handlers that remove every hidden file when a signal ends the
        program. Called once by the program before any job starts; the handlers
        only read a table set aside for them.
    */
    static void removeOnSignals();

private:
    PendingOutputFile() = default;

    std::string target;
    std::string temporary;
    int descriptor = -1;
    bool inPlace = false;
    int signalSlot = -1;
};
