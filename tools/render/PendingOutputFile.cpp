#include "PendingOutputFile.h"

#include <array>
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

        juce::ignoreUnused (installed);
    }

    int registerPendingPath (const juce::String& path)
    {
        const auto* utf8 = path.toRawUTF8();

        if (std::strlen (utf8) >= maximumPathLength)
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
PendingOutputFile::PendingOutputFile (const juce::File& targetFile)
    : target (targetFile)
{
    installSignalHandlersOnce();

    // Hidden, and named after both the target and this process, so that two
    // renders into one folder never share a temporary file.
    temporary = target.getSiblingFile ("." + target.getFileName() + ".brask-render-"
                                       + juce::String ((int) ::getpid()) + ".part");
    signalSlot = registerPendingPath (temporary.getFullPathName());
}

PendingOutputFile::~PendingOutputFile()
{
    discard();
}

juce::Result PendingOutputFile::commit()
{
    // rename() replaces an existing target in one step: a reader sees either
    // the old file or the new one, never half of either.
    if (std::rename (temporary.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) != 0)
    {
        const auto reason = juce::String (std::strerror (errno));
        discard();
        return juce::Result::fail ("cannot write '" + target.getFullPathName() + "': " + reason);
    }

    unregisterPendingPath (signalSlot);
    signalSlot = -1;
    return juce::Result::ok();
}

void PendingOutputFile::discard()
{
    unregisterPendingPath (signalSlot);
    signalSlot = -1;

    if (temporary.existsAsFile())
        temporary.deleteFile();
}
