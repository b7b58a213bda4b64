#include "PendingOutputFile.h"

#include "FilePath.h"

#include <array>
#include <cerrno>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
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

        // The shell's convention for "ended by a signal".
        ::_exit (128 + signalNumber);
    }

    void installSignalHandlersOnce()
    {
        static const bool installed = []
        {
            struct sigaction action {};
            action.sa_handler = removePendingFilesAndExit;
            sigemptyset (&action.sa_mask);

            for (auto signalNumber : { SIGINT, SIGTERM, SIGHUP })
                sigaction (signalNumber, &action, nullptr);

            return true;
        }();

        (void) installed;
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
    temporary = filepath::join (filepath::parent (target), "." + filepath::fileName (target) + ".brask-render-"
                                                               + std::to_string ((int) ::getpid()) + ".part");
    signalSlot = registerPendingPath (temporary);
}

PendingOutputFile::~PendingOutputFile()
{
    discard();
}

std::string PendingOutputFile::commit()
{
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
