#include "PendingOutputFile.h"

#include "FilePath.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
    // The temporary files a signal must sweep away. The handler may only use
    // async-signal-safe calls, so the paths sit in fixed buffers, ready for unlink().
    constexpr int maximumPendingFiles = 64;     // two for each of --jobs' workers, and room to spare
    constexpr size_t maximumPathLength = 4096;

    std::array<char[maximumPathLength], maximumPendingFiles> pendingPaths {};
    std::array<std::atomic<bool>, maximumPendingFiles> pendingInUse {};

    extern "C" void removePendingFilesAndExit (int signalNumber)
    {
        for (int i = 0; i < maximumPendingFiles; ++i)
            if (pendingInUse[(size_t) i].load())
                ::unlink (pendingPaths[(size_t) i]);

        // The shell's convention for "ended by a signal" where the signal's own end
        // would leave a core file beside the user's audio.
        if (signalNumber == SIGQUIT || signalNumber == SIGXCPU)
            ::_exit (128 + signalNumber);

        // Otherwise ended by the signal itself, as the shell expects (a loop in a
        // script stops on Ctrl-C), now that nothing half-written is left.
        ::signal (signalNumber, SIG_DFL);
        sigset_t unblocked;
        sigemptyset (&unblocked);
        sigaddset (&unblocked, signalNumber);
        ::sigprocmask (SIG_UNBLOCK, &unblocked, nullptr);
        ::raise (signalNumber);
        ::_exit (128 + signalNumber);
    }

    void installSignalHandlersOnce()
    {
        static const bool installed = []
        {
            struct sigaction action {};
            action.sa_handler = removePendingFilesAndExit;
            sigemptyset (&action.sa_mask);

            // Every signal whose default ends the program and that can be caught:
            // Ctrl-C and Ctrl-\, a closed terminal, kill, and the timers and limits
            // a batch system sets.
            for (auto signalNumber : { SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU })
                sigaction (signalNumber, &action, nullptr);

            // A file grown past its limit fails its write (reported as any failed
            // write) instead of ending the program.
            ::signal (SIGXFSZ, SIG_IGN);
            return true;
        }();

        (void) installed;
    }

    //==============================================================================
    // The hidden temporary name: "." + the target's name + this suffix.
    const std::string temporaryMark = ".brask-render-";
    const std::string temporaryEnd = ".part";

    /** The target's name, shortened (at a character's boundary) where the hidden name
        would pass the file system's limit on a name; the target keeps its own.
    */
    std::string temporaryName (const std::string& folder, const std::string& targetName)
    {
        const auto limit = ::pathconf (folder.c_str(), _PC_NAME_MAX);
        const auto nameMax = limit > 0 ? (size_t) limit : (size_t) 255;
        const auto suffix = temporaryMark + std::to_string ((long) ::getpid()) + temporaryEnd;
        auto keep = std::min (targetName.size(), nameMax - 1 - suffix.size());

        while (keep > 0 && keep < targetName.size() && (static_cast<unsigned char> (targetName[keep]) & 0xc0) == 0x80)
            --keep;

        return "." + targetName.substr (0, keep) + suffix;
    }

    /** The process a temporary name of ours was made by; 0 when the name is not ours. */
    long writerOf (const std::string& name)
    {
        if (name.size() < 1 + temporaryMark.size() + 1 + temporaryEnd.size() || name[0] != '.'
            || name.compare (name.size() - temporaryEnd.size(), temporaryEnd.size(), temporaryEnd) != 0)
            return 0;

        const auto digitsEnd = name.size() - temporaryEnd.size();
        auto digitsStart = digitsEnd;

        while (digitsStart > 0 && std::isdigit (static_cast<unsigned char> (name[digitsStart - 1])))
            --digitsStart;

        if (digitsStart == digitsEnd || digitsEnd - digitsStart > 9 || digitsStart < temporaryMark.size()
            || name.compare (digitsStart - temporaryMark.size(), temporaryMark.size(), temporaryMark) != 0)
            return 0;

        return std::stol (name.substr (digitsStart, digitsEnd - digitsStart));
    }

    // A render writes its temporary file all the time; one untouched this long,
    // whose process is gone, was left by a run that was killed or a machine that
    // lost its power.
    constexpr time_t staleAfterSeconds = 60 * 60;

    /** Removes the temporary files earlier runs left in a folder, once per folder:
        only ours by name, the user's own, untouched for long, and whose process no
        longer runs here.
    */
    void removeStaleTemporaryFiles (const std::string& folder)
    {
        static std::mutex lock;
        static std::set<std::string> swept;
        const std::lock_guard<std::mutex> guard (lock);

        if (! swept.insert (folder).second)
            return;

        auto* directory = ::opendir (folder.c_str());

        if (directory == nullptr)
            return;

        const auto now = ::time (nullptr);

        while (const auto* entry = ::readdir (directory))
        {
            const std::string name = entry->d_name;
            const auto writer = writerOf (name);

            if (writer <= 0 || writer == (long) ::getpid())
                continue;

            const auto path = filepath::join (folder, name);
            struct stat status {};

            if (::lstat (path.c_str(), &status) != 0 || ! S_ISREG (status.st_mode) || status.st_uid != ::geteuid()
                || now - status.st_mtime < staleAfterSeconds)
                continue;

            if (::kill ((pid_t) writer, 0) == 0 || errno == EPERM)
                continue;

            ::unlink (path.c_str());
        }

        ::closedir (directory);
    }

    int registerPendingPath (const std::string& path)
    {
        const auto* utf8 = path.c_str();

        if (path.size() >= maximumPathLength)
            return -1;

        // Workers claim slots side by side: taking one is a single atomic step. The
        // handler may see the flag before the path is complete; unlinking half a
        // name fails harmlessly.
        for (int i = 0; i < maximumPendingFiles; ++i)
        {
            auto expected = false;

            if (pendingInUse[(size_t) i].compare_exchange_strong (expected, true))
            {
                std::strcpy (pendingPaths[(size_t) i], utf8);
                return i;
            }
        }

        return -1;
    }

    void unregisterPendingPath (int slot)
    {
        if (slot >= 0)
            pendingInUse[(size_t) slot].store (false);
    }
}

//==============================================================================
PendingOutputFile::PendingOutputFile (const std::string& targetFile)
    : target (targetFile)
{
    installSignalHandlersOnce();

    // Hidden, and named after both the target and this process, so that two
    // renders into one folder never share a temporary file.
    const auto folder = filepath::parent (target);
    removeStaleTemporaryFiles (folder);
    temporary = filepath::join (folder, temporaryName (folder, filepath::fileName (target)));
    signalSlot = registerPendingPath (temporary);
}

PendingOutputFile::~PendingOutputFile()
{
    discard();
}

std::string PendingOutputFile::commit()
{
    // A replaced file keeps its mode and group, as the user set them (a private
    // take stays private); a group the user is not in is left as it comes.
    struct stat existing {};

    if (::stat (target.c_str(), &existing) == 0 && S_ISREG (existing.st_mode))
    {
        ::chmod (temporary.c_str(), existing.st_mode & 07777);

        if (::chown (temporary.c_str(), (uid_t) -1, existing.st_gid) != 0)
            ::chmod (temporary.c_str(), existing.st_mode & 0777);
    }

    // rename() replaces an existing target in one step: a reader sees either
    // the old file or the new one, never half of either.
    if (std::rename (temporary.c_str(), target.c_str()) != 0)
    {
        const std::string reason = std::strerror (errno);
        discard();
        return "cannot write '" + target + "': " + reason;
    }

    unregisterPendingPath (signalSlot);
    signalSlot = -1;
    temporary.clear();      // it is the target now
    return {};
}

void PendingOutputFile::discard()
{
    unregisterPendingPath (signalSlot);
    signalSlot = -1;

    if (! temporary.empty())
        ::unlink (temporary.c_str());
}
