#include "PendingOutputFile.h"

#include "FilePath.h"

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <set>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace
{
    //==============================================================================
    // The hidden files a signal must sweep away. The handler may only use
    // async-signal-safe calls, so the paths sit in fixed buffers, ready for unlink().
    constexpr int maximumPendingFiles = 64;  // two for each of --jobs' workers, and room to spare
    constexpr size_t maximumPathLength = 4096;

    std::array<char[maximumPathLength], maximumPendingFiles> pendingPaths {};
    std::array<std::atomic<bool>, maximumPendingFiles> pendingInUse {};

    // What each fault signal did before ours took it (a sanitizer's report, say),
    // filled before the handlers go in and only read by them.
    std::array<struct sigaction, 65> previousActions {};

    // A file written in place loses its old contents a block at a time: ended
    // then, it would be left half the earlier take and half the new one, with
    // nothing to bring the earlier back. While such a copy runs, a signal that ends
    // the program is only noted, and the copy ends the program with it once the
    // file is whole.
    std::atomic<int> copiesInPlace { 0 };
    std::atomic<int> signalDuringCopy { 0 };

    static_assert (std::atomic<int>::is_always_lock_free, "touched by the signal handlers");

    void removeEveryPendingFile() noexcept
    {
        for (int i = 0; i < maximumPendingFiles; ++i)
            if (pendingInUse[(size_t) i].load())
                ::unlink (pendingPaths[(size_t) i]);
    }

    void endBySignal (int signalNumber) noexcept
    {
        ::signal (signalNumber, SIG_DFL);
        sigset_t unblocked;
        sigemptyset (&unblocked);
        sigaddset (&unblocked, signalNumber);
        ::sigprocmask (SIG_UNBLOCK, &unblocked, nullptr);
        ::raise (signalNumber);
        ::_exit (128 + signalNumber);
    }

    extern "C" void removePendingFilesAndEnd (int signalNumber)
    {
        if (copiesInPlace.load() > 0)
        {
            signalDuringCopy.store (signalNumber);
            return;
        }

        removeEveryPendingFile();

        // The shell's convention for "ended by a signal" where the signal's own end
        // would leave a core file beside the user's audio.
        if (signalNumber == SIGQUIT || signalNumber == SIGXCPU)
            ::_exit (128 + signalNumber);

        // Otherwise ended by the signal itself, as the shell expects (a loop in a
        // script stops on Ctrl-C), now that nothing half-written is left.
        endBySignal (signalNumber);
    }

    extern "C" void removePendingFilesAndPassOnTheFault (int signalNumber, siginfo_t* info, void*)
    {
        removeEveryPendingFile();

        // Whatever was there before takes the fault: the default action (a core
        // file) or a sanitizer's report.
        ::sigaction (signalNumber, &previousActions[(size_t) signalNumber], nullptr);

        // A fault the processor raised comes back as soon as the instruction runs
        // again, now to the handler restored; one sent by kill() or abort() is sent again.
        if (info != nullptr && info->si_code > 0)
            return;

        sigset_t unblocked;
        sigemptyset (&unblocked);
        sigaddset (&unblocked, signalNumber);
        ::sigprocmask (SIG_UNBLOCK, &unblocked, nullptr);
        ::raise (signalNumber);
    }

    bool isIgnored (int signalNumber)
    {
        struct sigaction current
        {
        };
        return ::sigaction (signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
    }

    //==============================================================================
    /** Reads the first line of a small system file; empty when it is not there. */
    std::string firstLineOf (const char* path)
    {
        std::ifstream file (path);
        std::string line;
        std::getline (file, line);
        return line;
    }

    /** The first hex digits of an identifier, enough to tell machines and boots apart. */
    std::string shortIdentifier (const std::string& text)
    {
        std::string digits;

        for (auto c : text)
            if (std::isxdigit ((unsigned char) c) && digits.size() < 12)
                digits += (char) std::tolower ((unsigned char) c);

        return digits.empty() ? std::string ("0") : digits;
    }

    const std::string& machineIdentifier()
    {
        static const std::string identifier = [] {
            auto line = firstLineOf ("/etc/machine-id");
            return shortIdentifier (line.empty() ? firstLineOf ("/var/lib/dbus/machine-id") : line);
        }();

        return identifier;
    }

    const std::string& bootIdentifier()
    {
        static const std::string identifier = shortIdentifier (firstLineOf ("/proc/sys/kernel/random/boot_id"));
        return identifier;
    }

    /** When a process started, in clock ticks since boot; empty when it is not running. */
    std::string startTimeOf (long processId)
    {
        const auto line = firstLineOf (("/proc/" + std::to_string (processId) + "/stat").c_str());

        // The command name, in parentheses, may hold spaces: count from its end.
        const auto nameEnd = line.rfind (')');

        if (nameEnd == std::string::npos)
            return {};

        size_t position = nameEnd + 2;

        // The fields after the name start at the 3rd; the start time is the 22nd.
        for (int field = 3; field < 22 && position != std::string::npos; ++field)
            position = line.find (' ', position) + 1;

        if (position == 0 || position == std::string::npos || position >= line.size())
            return {};

        return line.substr (position, line.find (' ', position) - position);
    }

    std::time_t bootTime()
    {
        std::ifstream file ("/proc/stat");

        for (std::string line; std::getline (file, line);)
            if (line.compare (0, 6, "btime ") == 0)
                return (std::time_t) std::atoll (line.c_str() + 6);

        return 0;
    }

    //==============================================================================
    // The hidden name: ".brask-render-MACHINE-BOOT-PID-START-RANDOM.part". It says
    // which run wrote it, so that a later run can tell a file whose writer is gone
    // for certain; it owes nothing to the output's name, so that no two outputs can
    // ever share it however long their names.
    const std::string temporaryMark = ".brask-render-";
    const std::string temporaryEnd = ".part";

    std::string randomHex()
    {
        std::uint32_t value = 0;

        if (::getrandom (&value, sizeof (value), 0) != (ssize_t) sizeof (value))
            value = (std::uint32_t) std::clock() ^ (std::uint32_t) (std::uintptr_t) &value;

        char text[9];
        std::snprintf (text, sizeof (text), "%08x", value);
        return text;
    }

    std::string temporaryName()
    {
        static const std::string ownStart = startTimeOf ((long) ::getpid());

        return temporaryMark + machineIdentifier() + "-" + bootIdentifier() + "-" + std::to_string ((long) ::getpid()) + "-"
               + (ownStart.empty() ? std::string ("0") : ownStart) + "-" + randomHex() + temporaryEnd;
    }

    bool endsWith (const std::string& text, const std::string& end)
    {
        return text.size() >= end.size() && text.compare (text.size() - end.size(), end.size(), end) == 0;
    }

    std::vector<std::string> split (const std::string& text, char separator)
    {
        std::vector<std::string> parts;
        size_t start = 0;

        for (auto end = text.find (separator); end != std::string::npos; end = text.find (separator, start))
        {
            parts.push_back (text.substr (start, end - start));
            start = end + 1;
        }

        parts.push_back (text.substr (start));
        return parts;
    }

    bool isNumber (const std::string& text, size_t maximumDigits)
    {
        return ! text.empty() && text.size() <= maximumDigits
               && text.find_first_not_of ("0123456789") == std::string::npos;
    }

    /** The process that wrote a hidden file named the way earlier versions named
        them (".NAME.brask-render-PID.part"); 0 when the name is not such a name.
    */
    long writerOfOldName (const std::string& name)
    {
        if (name.size() < 1 + temporaryMark.size() + 1 + temporaryEnd.size() || name[0] != '.' || ! endsWith (name, temporaryEnd))
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

    // A render writes its hidden file all the time; one untouched this long, whose
    // writer is gone, was left by a run that was killed or a machine that lost its power.
    constexpr time_t staleAfterSeconds = 60 * 60;

    /** True when the hidden file `name` (the user's own, untouched for long) was
        written by a run that is certainly over.
    */
    bool writerIsGone (const std::string& name, const struct stat& status)
    {
        if (name.compare (0, temporaryMark.size(), temporaryMark) == 0 && endsWith (name, temporaryEnd))
        {
            const auto fields = split (name.substr (temporaryMark.size(), name.size() - temporaryMark.size() - temporaryEnd.size()), '-');

            if (fields.size() != 5 || ! isNumber (fields[2], 9))
                return false;

            // Another machine's run into a shared folder: its processes are not ours to judge.
            if (fields[0] != machineIdentifier())
                return false;

            // Written before this machine last started: nothing of that run is left.
            if (fields[1] != bootIdentifier())
                return true;

            // The same process id may since have gone to another program: the start
            // time tells them apart.
            const auto start = startTimeOf (std::stol (fields[2]));
            return start.empty() || start != fields[3];
        }

        const auto writer = writerOfOldName (name);

        if (writer <= 0)
            return false;

        // Old names carry only the process id: untouched since before this boot, its
        // writer is gone whatever now runs under that id.
        if (status.st_mtime < bootTime())
            return true;

        return ! (::kill ((pid_t) writer, 0) == 0 || errno == EPERM);
    }

    /** Removes the hidden files earlier runs left in a folder, once per folder:
        only ours by name, the user's own, untouched for long, and whose writer is gone.
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

            if (name.find (temporaryMark) == std::string::npos || ! endsWith (name, temporaryEnd))
                continue;

            const auto path = filepath::join (folder, name);
            struct stat status
            {
            };

            if (::lstat (path.c_str(), &status) != 0 || ! S_ISREG (status.st_mode) || status.st_uid != ::geteuid()
                || now - status.st_mtime < staleAfterSeconds)
                continue;

            if (writerIsGone (name, status))
                ::unlink (path.c_str());
        }

        ::closedir (directory);
    }

    int registerPendingPath (const std::string& path)
    {
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
                std::strcpy (pendingPaths[(size_t) i], path.c_str());
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

    /** ACLs, a security label, or the user's own attributes: a new inode would lose them. */
    bool hasExtendedAttributes (const std::string& path)
    {
        return ::listxattr (path.c_str(), nullptr, 0) > 0;
    }

    /** Copies the hidden file's bytes over the target's own, keeping its inode. */
    std::string writeInPlace (const std::string& from, const std::string& to)
    {
        const auto in = ::open (from.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status
        {
        };

        if (in < 0 || ::fstat (in, &status) != 0)
        {
            const std::string reason = std::strerror (errno);
            if (in >= 0)
                ::close (in);
            return reason;
        }

        const auto out = ::open (to.c_str(), O_WRONLY | O_CLOEXEC);

        if (out < 0)
        {
            const std::string reason = std::strerror (errno);
            ::close (in);
            return reason;
        }

        // The room the new contents need is claimed before a byte of the old ones is
        // overwritten: a full disk refuses here, with the file still as it was.
        if (::fallocate (out, 0, 0, status.st_size) != 0 && errno != EOPNOTSUPP && errno != ENOSYS)
        {
            const std::string reason = std::strerror (errno);
            ::close (in);
            ::close (out);
            return reason;
        }

        std::vector<char> buffer (1 << 16);
        std::string reason;

        for (off_t done = 0; done < status.st_size && reason.empty();)
        {
            const auto got = ::pread (in, buffer.data(), buffer.size(), done);

            if (got <= 0)
            {
                reason = got < 0 ? std::strerror (errno) : "the render's hidden file ended early";
                break;
            }

            for (ssize_t put = 0; put < got;)
            {
                const auto wrote = ::pwrite (out, buffer.data() + put, (size_t) (got - put), done + put);

                if (wrote <= 0)
                {
                    reason = std::string (std::strerror (errno)) + "; the file may now be incomplete";
                    break;
                }

                put += wrote;
            }

            done += got;
        }

        if (reason.empty() && ::ftruncate (out, status.st_size) != 0)
            reason = std::strerror (errno);

        ::close (in);

        if (::close (out) != 0 && reason.empty())
            reason = std::strerror (errno);

        return reason;
    }
}

//==============================================================================
void PendingOutputFile::removeOnSignals()
{
    static const bool installed = [] {
        // Every catchable signal whose default ends the program, but SIGPIPE and
        // SIGXFSZ: a closed pipe must not stop a batch, and a file grown past its
        // limit must fail its write, to be reported, rather than end the program.
        // One the caller ignores (nohup's SIGHUP) stays ignored.
        std::vector<int> ending { SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                                  SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR };

        // The real-time signals, from the first glibc leaves to programs.
        for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber)
            ending.push_back (signalNumber);

        struct sigaction action
        {
        };
        action.sa_handler = removePendingFilesAndEnd;
        sigemptyset (&action.sa_mask);

        for (auto signalNumber : ending)
            if (! isIgnored (signalNumber))
                ::sigaction (signalNumber, &action, nullptr);

        struct sigaction fault
        {
        };
        fault.sa_sigaction = removePendingFilesAndPassOnTheFault;
        fault.sa_flags = SA_SIGINFO;
        sigemptyset (&fault.sa_mask);

        for (auto signalNumber : { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS })
            ::sigaction (signalNumber, &fault, &previousActions[(size_t) signalNumber]);

        ::signal (SIGXFSZ, SIG_IGN);
        return true;
    }();

    (void) installed;
}

std::unique_ptr<PendingOutputFile> PendingOutputFile::create (const std::string& targetFile, std::string& error)
{
    std::unique_ptr<PendingOutputFile> pending (new PendingOutputFile());
    pending->target = targetFile;

    const auto folder = filepath::parent (targetFile);
    removeStaleTemporaryFiles (folder);

    struct stat existing
    {
    };
    const auto replaces = ::stat (targetFile.c_str(), &existing) == 0 && S_ISREG (existing.st_mode);

    // A new inode would cut the other names of a hard-linked file loose, take a
    // file away from its owner, and drop its ACLs and attributes: such a file is
    // written in place, as cp writes it.
    pending->inPlace = replaces && (existing.st_nlink > 1 || existing.st_uid != ::geteuid() || hasExtendedAttributes (targetFile));

    // A file that replaces another starts private and takes that file's mode once
    // it has its group; a new one gets what the umask leaves of 0666, as cp and
    // sox make theirs.
    const auto creationMode = replaces ? 0600 : 0666;

    for (int attempt = 0; attempt < 100 && pending->descriptor < 0; ++attempt)
    {
        // In the signal handlers' table before it exists: a signal between the
        // open() and the entry would leave it behind. Unlinking a name not made yet
        // does nothing, and the name is this run's alone.
        pending->temporary = filepath::join (folder, temporaryName());
        pending->signalSlot = registerPendingPath (pending->temporary);
        pending->descriptor = ::open (pending->temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, creationMode);

        if (pending->descriptor < 0)
        {
            const auto openError = errno;
            unregisterPendingPath (pending->signalSlot);
            pending->signalSlot = -1;
            errno = openError;

            if (openError != EEXIST)
                break;
        }
    }

    if (pending->descriptor < 0)
    {
        error = std::strerror (errno);
        pending->temporary.clear();
        return nullptr;
    }

    if (replaces && ! pending->inPlace)
    {
        auto mode = existing.st_mode & 0777;

        // A group the user is not in cannot be given: the file then gives its own
        // group no more than it gave everyone.
        if (existing.st_gid != ::getegid() && ::fchown (pending->descriptor, (uid_t) -1, existing.st_gid) != 0)
            mode = (mode & 0707) | ((mode & (mode >> 3) & 07) << 3);

        if (::fchmod (pending->descriptor, mode) != 0)
        {
            error = std::strerror (errno);
            return nullptr;
        }
    }

    return pending;
}

PendingOutputFile::~PendingOutputFile()
{
    discard();
}

int PendingOutputFile::takeDescriptor() noexcept
{
    const auto taken = descriptor;
    descriptor = -1;
    return taken;
}

std::string PendingOutputFile::commit()
{
    if (descriptor >= 0)
    {
        ::close (descriptor);
        descriptor = -1;
    }

    if (inPlace)
    {
        ++copiesInPlace;
        const auto reason = writeInPlace (temporary, target);
        discard();

        // The last copy to finish ends the program for a signal that came meanwhile.
        if (--copiesInPlace == 0)
            if (const auto signalNumber = signalDuringCopy.exchange (0); signalNumber != 0)
                removePendingFilesAndEnd (signalNumber);

        if (! reason.empty())
            return "cannot write '" + filepath::shown (target) + "': " + reason;

        return {};
    }

    // rename() replaces an existing target in one step: a reader sees either
    // the old file or the new one, never half of either.
    if (std::rename (temporary.c_str(), target.c_str()) != 0)
    {
        const std::string reason = std::strerror (errno);
        discard();
        return "cannot write '" + filepath::shown (target) + "': " + reason;
    }

    unregisterPendingPath (signalSlot);
    signalSlot = -1;
    temporary.clear();  // it is the target now
    return {};
}

void PendingOutputFile::discard()
{
    if (descriptor >= 0)
    {
        ::close (descriptor);
        descriptor = -1;
    }

    // Gone before it leaves the handlers' table, so that no signal finds it between.
    if (! temporary.empty())
        ::unlink (temporary.c_str());

    unregisterPendingPath (signalSlot);
    signalSlot = -1;
    temporary.clear();
}
