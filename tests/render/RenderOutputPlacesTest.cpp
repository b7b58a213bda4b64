// Where an output lands when the folders are the user's real ones: links in the
// middle and at the end of a path, long names that share their start, files the
// user protected, shared with other names or owned by someone else, a working
// folder that is gone, and hidden files left by runs that were killed. The
// rules follow what coreutils' cp writes through (links, protected files, files
// with other names) and what the kernel resolves (the folder of a name).

#include "RenderTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

using namespace RenderTest;

namespace
{
    constexpr int failed = 1;
    constexpr int badCommandLine = 2;
    constexpr uid_t nobody = 65534;
    const auto inputRate = 44100.0;

    juce::String moduleArgument() { return builtModule().getFullPathName(); }

    void writeInput (const juce::File& file, int numSamples, juce::int64 seed = 1)
    {
        writeAudioFile (file, makeTestSignal (2, inputRate, numSamples, seed), inputRate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 });
    }

    juce::MemoryBlock bytesOfFile (const juce::File& file)
    {
        juce::MemoryBlock block;
        file.loadFileAsData (block);
        return block;
    }

    int lengthOf (const juce::File& file)
    {
        return readAudioFile (file).exact.getNumSamples();
    }

    std::vector<juce::String> hiddenFiles (const juce::File& folder)
    {
        std::vector<juce::String> names;

        for (const auto& file : folder.findChildFiles (juce::File::findFilesAndDirectories, true, ".*"))
            names.push_back (file.getFileName());

        return names;
    }

    /** brask-render as an unprivileged user: root writes through protected files
        and into every folder, so permissions only show as someone else.
    */
    ProcessResult runRenderAsNobody (const std::vector<juce::String>& arguments)
    {
        if (::geteuid() != 0)
            return runRender (arguments);

        std::vector<juce::String> wrapped { "--reuid=65534", "--regid=65534", "--clear-groups", "--", brask::built::renderExecutable };
        wrapped.insert (wrapped.end(), arguments.begin(), arguments.end());
        return runRender (juce::File ("/usr/bin/setpriv"), wrapped);
    }

    /** A folder the unprivileged user owns, inside the scratch folder. */
    juce::File folderForNobody (const ScratchFolder& scratch)
    {
        const auto folder = scratch / "nobody";
        folder.createDirectory();
        ::chmod (scratch.get().getFullPathName().toRawUTF8(), 0755);

        if (::geteuid() == 0 && ::chown (folder.getFullPathName().toRawUTF8(), nobody, nobody) != 0)
            ADD_FAILURE() << "cannot give the folder away: " << std::strerror (errno);

        return folder;
    }

    void giveToNobody (const juce::File& file)
    {
        if (::geteuid() == 0 && ::chown (file.getFullPathName().toRawUTF8(), nobody, nobody) != 0)
            ADD_FAILURE() << "cannot give " << file.getFullPathName() << " away: " << std::strerror (errno);
    }
}

//==============================================================================
// Names the kernel resolves: ".." after a link leads beside the link's target,
// a linked output is written through onto its target, a link to nowhere and a
// name that cannot be a file are refused, and nothing is made anywhere else.
TEST (RenderOutputPlaces, PathsResolvedAsTheKernelResolvesThem)
{
    ScratchFolder scratch;
    writeInput (scratch / "in.wav", 4410, 1);
    (scratch / "elsewhere/sub").createDirectory();
    writeInput (scratch / "elsewhere/in.wav", 2205, 2);
    (scratch / "elsewhere/sub").createSymbolicLink (scratch / "L", true);
    (scratch / "precious.wav").replaceWithText ("the user's own file\n", false, false, "\n");
    (scratch / "elsewhere/take.wav").replaceWithText ("an earlier take\n");
    (scratch / "elsewhere/take.wav").createSymbolicLink (scratch / "linked.wav", true);
    (scratch / "elsewhere/nowhere.wav").createSymbolicLink (scratch / "dangling.wav", true);

    struct Case
    {
        const char* name;
        juce::String input, output;
        int exitStatus;
        juce::String message;  // in the error line; empty when it renders
        juce::File written;    // where the audio must land
        int length;
    };

    const auto at = [&] (const char* name) { return (scratch / name).getFullPathName(); };
    const auto root = scratch.get().getFullPathName();

    const Case cases[] {
        { "dotdot after a link", at ("in.wav"), root + "/L/../precious.wav", 0, {}, scratch / "elsewhere/precious.wav", 4410 },
        { "input through a link", root + "/L/../in.wav", at ("from-link.wav"), 0, {}, scratch / "from-link.wav", 2205 },
        { "link at the end", at ("in.wav"), at ("linked.wav"), 0, {}, scratch / "elsewhere/take.wav", 4410 },
        { "dangling link", at ("in.wav"), at ("dangling.wav"), failed, "dangling symlink", {}, 0 },
        { "trailing slash", at ("in.wav"), at ("new.wav") + "/", badCommandLine, "ends in '/'", {}, 0 },
        { "dot dot as the name", at ("in.wav"), root + "/elsewhere/..", badCommandLine, "names a folder", {}, 0 },
        { "folder through a file", at ("in.wav"), at ("precious.wav") + "/x.wav", failed, "is not a folder", {}, 0 },
        { "device", at ("in.wav"), "/dev/null", failed, "not a regular file", {}, 0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto result = runRender ({ "--plugin", moduleArgument(), c.input, c.output });
        ASSERT_EQ (result.exitStatus, c.exitStatus) << result.err;

        if (c.exitStatus == 0)
        {
            EXPECT_EQ (lengthOf (c.written), c.length);
            continue;
        }

        EXPECT_TRUE (juce::String (result.err).contains (c.message)) << result.err;
        EXPECT_EQ (juce::StringArray::fromLines (juce::String (result.err).trimEnd()).size(), 1) << result.err;
    }

    // Nothing written where the text of the names alone would have led, links still links.
    EXPECT_EQ ((scratch / "precious.wav").loadFileAsString(), "the user's own file\n");
    EXPECT_TRUE ((scratch / "linked.wav").isSymbolicLink());
    EXPECT_TRUE ((scratch / "dangling.wav").isSymbolicLink());
    EXPECT_FALSE ((scratch / "elsewhere/nowhere.wav").exists());
    EXPECT_FALSE ((scratch / "new.wav").exists());
    EXPECT_TRUE ((juce::File ("/dev/null")).exists());
    EXPECT_TRUE (hiddenFiles (scratch.get()).empty());
}

//==============================================================================
// Outputs whose names share their first 234 bytes (78 Japanese characters) each
// get their own hidden file: in a batch on two workers, and with a plot.
TEST (RenderOutputPlaces, LongNamesWithOneStartNeverShareAHiddenFile)
{
    ScratchFolder scratch;
    juce::String start;

    for (int i = 0; i < 78; ++i)
        start += juce::String::fromUTF8 ("\xe9\x8c\xb2");  // 録, three bytes

    const auto first = start + "-1.wav", second = start + "-2.wav";
    (scratch / "in").createDirectory();
    (scratch / "out").createDirectory();
    writeInput ((scratch / "in").getChildFile (first), 44100, 1);
    writeInput ((scratch / "in").getChildFile (second), 22050, 2);

    const auto batch = runRender ({ "--plugin", moduleArgument(), "--jobs", "2", "--out-dir", (scratch / "out").getFullPathName(),
                                    (scratch / "in").getChildFile (first).getFullPathName(), (scratch / "in").getChildFile (second).getFullPathName() });
    ASSERT_EQ (batch.exitStatus, 0) << batch.err;
    EXPECT_EQ (lengthOf ((scratch / "out").getChildFile (first)), 44100);
    EXPECT_EQ (lengthOf ((scratch / "out").getChildFile (second)), 22050);

    // The plot beside the output, named alike: neither replaces the other.
    const auto plot = (scratch / "out").getChildFile (start + "-1.png");
    const auto withPlot = runRender ({ "--plugin", moduleArgument(), "--plot", plot.getFullPathName(),
                                       (scratch / "in").getChildFile (second).getFullPathName(), (scratch / "out").getChildFile (first).getFullPathName() });
    ASSERT_EQ (withPlot.exitStatus, 0) << withPlot.err;
    EXPECT_EQ (lengthOf ((scratch / "out").getChildFile (first)), 22050);
    juce::MemoryBlock picture;
    ASSERT_TRUE (plot.loadFileAsData (picture));
    EXPECT_TRUE (picture.getSize() > 8 && std::memcmp (picture.getData(), "\x89PNG", 4) == 0);
    EXPECT_TRUE (hiddenFiles (scratch.get()).empty());
}

//==============================================================================
// A file that a new inode would change behind the user's back is written in
// place, as cp writes it: its other names see the new audio, its owner and its
// attributes stay. A plain file of the user's own is replaced in one step and
// keeps its mode.
TEST (RenderOutputPlaces, LinkedForeignAndAttributedFilesKeepTheirInode)
{
    ScratchFolder scratch;
    writeInput (scratch / "in.wav", 4410);

    const auto hardLinked = scratch / "hard.wav", otherName = scratch / "other-name.wav";
    hardLinked.replaceWithText ("old\n");
    ASSERT_EQ (::link (hardLinked.getFullPathName().toRawUTF8(), otherName.getFullPathName().toRawUTF8()), 0);

    const auto foreign = scratch / "foreign.wav";
    foreign.replaceWithText ("someone else's take\n");
    ::chmod (foreign.getFullPathName().toRawUTF8(), 0666);

    const auto attributed = scratch / "tagged.wav";
    attributed.replaceWithText ("old\n");
    const auto canTag = ::setxattr (attributed.getFullPathName().toRawUTF8(), "user.take", "7", 1, 0) == 0;

    struct stat before[3] {};
    const juce::File files[] { hardLinked, foreign, attributed };

    if (::geteuid() == 0)
    {
        ASSERT_EQ (::chown (foreign.getFullPathName().toRawUTF8(), nobody, nobody), 0);
    }

    for (int i = 0; i < 3; ++i)
        ASSERT_EQ (::stat (files[i].getFullPathName().toRawUTF8(), &before[i]), 0);

    for (const auto& file : files)
    {
        const auto result = runRender ({ "--plugin", moduleArgument(), (scratch / "in.wav").getFullPathName(), file.getFullPathName() });
        ASSERT_EQ (result.exitStatus, 0) << result.err;
        EXPECT_EQ (lengthOf (file), 4410) << file.getFileName();
    }

    EXPECT_EQ (lengthOf (otherName), 4410) << "the other hard link was cut loose";

    for (int i = 0; i < 3; ++i)
    {
        struct stat after
        {
        };
        ASSERT_EQ (::stat (files[i].getFullPathName().toRawUTF8(), &after), 0);
        EXPECT_EQ (after.st_ino, before[i].st_ino) << files[i].getFileName();
        EXPECT_EQ (after.st_uid, before[i].st_uid) << files[i].getFileName();
    }

    if (canTag)
    {
        char value[4] {};
        EXPECT_EQ (::getxattr (attributed.getFullPathName().toRawUTF8(), "user.take", value, sizeof (value)), 1);
    }

    EXPECT_TRUE (hiddenFiles (scratch.get()).empty());
}

//==============================================================================
// A hard-linked output is written in place, block by block, at the end of the
// render: a signal that comes during that copy must not leave it half the earlier
// take and half the new one (there is nothing left to bring the earlier back).
// The copy is finished, then the signal ends the program. strace puts the signal
// on the copy's second block, found from a first traced run; skipped without it.
TEST (RenderOutputPlaces, SignalDuringAnInPlaceWriteLeavesTheFileWhole)
{
    const juce::File strace ("/usr/bin/strace");

    if (! strace.existsAsFile())
        GTEST_SKIP() << "strace is not installed";

    ScratchFolder scratch;
    writeInput (scratch / "in.wav", (int) (4 * inputRate), 3);
    const auto output = scratch / "take.wav", otherName = scratch / "take-link.wav", expected = scratch / "expected.wav";
    ASSERT_EQ (runRender ({ "--plugin", moduleArgument(), (scratch / "in.wav").getFullPathName(), expected.getFullPathName() }).exitStatus, 0);

    const auto trace = scratch / "calls.trace";
    const auto renderUnderStrace = [&] (const juce::String& injection) {
        writeInput (output, (int) (4 * inputRate), 9);  // the earlier take
        ::unlink (otherName.getFullPathName().toRawUTF8());
        EXPECT_EQ (::link (output.getFullPathName().toRawUTF8(), otherName.getFullPathName().toRawUTF8()), 0);

        std::vector<juce::String> arguments { "-f", "-o", trace.getFullPathName(), "-e", "trace=pwrite64,fallocate" };

        if (injection.isNotEmpty())
            arguments.insert (arguments.end(), { "-e", injection });

        arguments.insert (arguments.end(), { brask::built::renderExecutable, "--plugin", moduleArgument(),
                                             (scratch / "in.wav").getFullPathName(), output.getFullPathName() });
        return runRender (strace, arguments);
    };

    // Where the in-place copy starts: the pwrite after the one fallocate.
    if (renderUnderStrace ({}).exitStatus != 0)
        GTEST_SKIP() << "strace cannot trace here (ptrace refused?)";

    int writesBeforeCopy = 0;
    auto copyFound = false;

    for (const auto& line : juce::StringArray::fromLines (trace.loadFileAsString()))
    {
        copyFound = copyFound || line.contains ("fallocate(");

        if (! copyFound && line.contains ("pwrite64(") && ! line.contains ("resumed>"))
            ++writesBeforeCopy;
    }

    ASSERT_TRUE (copyFound) << "the hard-linked output was not written in place";

    for (const auto signalNumber : { SIGINT, SIGTERM, SIGHUP })
    {
        SCOPED_TRACE (sigabbrev_np (signalNumber));
        const auto injection = "inject=pwrite64:signal=" + juce::String (signalNumber) + ":when=" + juce::String (writesBeforeCopy + 2);
        const auto result = renderUnderStrace (injection);

        EXPECT_EQ (result.exitStatus, 128 + signalNumber) << result.err;
        EXPECT_TRUE (bytesOfFile (output) == bytesOfFile (expected)) << "the file is not the whole new render";
        EXPECT_TRUE (bytesOfFile (otherName) == bytesOfFile (expected)) << "its other name is not the whole new render";
        EXPECT_TRUE (hiddenFiles (scratch.get()).empty());
    }
}

//==============================================================================
// As a user who is not root: a file the user protected is refused, as cp and sox
// refuse it, and so is a folder the user may not write; the files stay as they were.
TEST (RenderOutputPlaces, ProtectedFilesAndFoldersRefusedAsAnUnprivilegedUser)
{
    ScratchFolder scratch;
    const auto folder = folderForNobody (scratch);
    writeInput (folder.getChildFile ("in.wav"), 4410);
    giveToNobody (folder.getChildFile ("in.wav"));
    ::chmod ((folder.getChildFile ("in.wav")).getFullPathName().toRawUTF8(), 0644);

    const auto protectedFile = folder.getChildFile ("protected.wav");
    protectedFile.replaceWithText ("a take the user protected\n", false, false, "\n");
    giveToNobody (protectedFile);
    ::chmod (protectedFile.getFullPathName().toRawUTF8(), 0444);

    const auto closedFolder = folder.getChildFile ("closed");
    closedFolder.createDirectory();
    giveToNobody (closedFolder);
    ::chmod (closedFolder.getFullPathName().toRawUTF8(), 0555);

    const std::pair<juce::File, const char*> cases[] { std::pair<juce::File, const char*> { protectedFile, "write-protected" },
                                                       std::pair<juce::File, const char*> { closedFolder.getChildFile ("new.wav"), "Permission denied" } };

    for (const auto& [output, message] : cases)
    {
        const auto result = runRenderAsNobody ({ "--plugin", moduleArgument(), (folder.getChildFile ("in.wav")).getFullPathName(), output.getFullPathName() });
        EXPECT_EQ (result.exitStatus, failed) << result.err;
        EXPECT_TRUE (juce::String (result.err).contains (message)) << result.err;
    }

    // A plot that could never be written is found before the render, not after it.
    const auto plotRefused = runRenderAsNobody ({ "--plugin", moduleArgument(), "--plot", closedFolder.getChildFile ("p.png").getFullPathName(),
                                                  folder.getChildFile ("in.wav").getFullPathName(), folder.getChildFile ("out.wav").getFullPathName() });
    EXPECT_EQ (plotRefused.exitStatus, failed) << plotRefused.err;
    EXPECT_TRUE (juce::String (plotRefused.err).contains ("plot")) << plotRefused.err;
    EXPECT_TRUE (plotRefused.out.empty()) << plotRefused.out;
    EXPECT_FALSE (folder.getChildFile ("out.wav").exists());

    EXPECT_EQ (protectedFile.loadFileAsString(), "a take the user protected\n");
    EXPECT_FALSE ((closedFolder.getChildFile ("new.wav")).exists());
    EXPECT_TRUE (hiddenFiles (folder).empty());

    // A private take stays private while it is being replaced: the hidden file has
    // the final mode from its first byte, whatever the umask.
    const auto privateTake = folder.getChildFile ("private.wav");
    privateTake.replaceWithText ("old\n");
    giveToNobody (privateTake);
    ::chmod (privateTake.getFullPathName().toRawUTF8(), 0600);

    const auto result = runRenderAsNobody ({ "--plugin", moduleArgument(), (folder.getChildFile ("in.wav")).getFullPathName(), privateTake.getFullPathName() });
    ASSERT_EQ (result.exitStatus, 0) << result.err;

    struct stat status
    {
    };
    ASSERT_EQ (::stat (privateTake.getFullPathName().toRawUTF8(), &status), 0);
    EXPECT_EQ (status.st_mode & 0777, 0600u);
}

//==============================================================================
// Relative names from a folder deleted under the shell are refused, not taken from "/".
TEST (RenderOutputPlaces, DeletedWorkingFolderIsAnError)
{
    ScratchFolder scratch;
    writeInput (scratch / "in.wav", 4410);
    const auto gone = scratch / "gone";
    gone.createDirectory();

    const auto result = runRender (juce::File ("/bin/sh"),
                                   { "-c", "cd \"$1\" && rmdir \"$1\" && shift && exec \"$@\"", "sh", gone.getFullPathName(),
                                     brask::built::renderExecutable, "--plugin", moduleArgument(), (scratch / "in.wav").getFullPathName(), "out.wav" });

    EXPECT_EQ (result.exitStatus, badCommandLine) << result.err;
    EXPECT_TRUE (juce::String (result.err).contains ("current folder no longer exists")) << result.err;
    EXPECT_FALSE (juce::File ("/out.wav").exists());
}

//==============================================================================
// Hidden files of runs that were killed: removed once their writer is certainly
// gone (another boot, or the process id now another program's), kept while it
// may still write (its process runs, or another machine wrote it).
TEST (RenderOutputPlaces, StaleHiddenFilesJudgedByMachineBootAndProcess)
{
    const auto hex = [] (const char* path) {
        std::ifstream file (path);
        std::string line, digits;
        std::getline (file, line);

        for (auto c : line)
            if (std::isxdigit ((unsigned char) c) && digits.size() < 12)
                digits += (char) std::tolower ((unsigned char) c);

        return juce::String (digits.empty() ? "0" : digits);
    };

    auto machine = hex ("/etc/machine-id");

    if (machine == "0")
        machine = hex ("/var/lib/dbus/machine-id");

    const auto boot = hex ("/proc/sys/kernel/random/boot_id");

    // Process 1 always runs; its real start time, from the 22nd field of its stat.
    std::ifstream stat ("/proc/1/stat");
    std::string line;
    std::getline (stat, line);
    const auto fields = juce::StringArray::fromTokens (juce::String (line.substr (line.rfind (')') + 2)), " ", "");
    const auto initStart = fields[19];

    ScratchFolder scratch;
    writeInput (scratch / "in.wav", 4410);
    const auto name = [] (juce::String m, juce::String b, juce::String pid, juce::String start) {
        return ".brask-render-" + m + "-" + b + "-" + pid + "-" + start + "-0123abcd.part";
    };

    const std::tuple<const char*, juce::String, bool> cases[] {
        { "before the last boot", name (machine, "feedfacecafe", "1", initStart), true },
        { "process id reused", name (machine, boot, "1", initStart + "7"), true },
        { "its writer still runs", name (machine, boot, "1", initStart), false },
        { "another machine's", name ("0badc0ffee00", "feedfacecafe", "1", "5"), false },
        { "old name, before the boot", ".take.wav.brask-render-1.part", true },
    };

    for (const auto& [what, file, _] : cases)
    {
        (scratch / file).replaceWithText ("half a render\n");
        (scratch / file).setLastModificationTime (juce::Time (2001, 0, 1, 0, 0));
    }

    const auto result = runRender ({ "--plugin", moduleArgument(), (scratch / "in.wav").getFullPathName(), (scratch / "out.wav").getFullPathName() });
    ASSERT_EQ (result.exitStatus, 0) << result.err;

    for (const auto& [what, file, removed] : cases)
        EXPECT_EQ ((scratch / file).exists(), ! removed) << what;
}

//==============================================================================
// A disk that fills up, or a file-size limit reached, while an earlier take is
// being replaced: the render fails with the cause named, and the earlier take is
// whole, whether it is replaced by a rename or written in place (another name
// links it). The limit comes from RLIMIT_FSIZE set before brask-render starts
// (prlimit); the full disk from a small tmpfs, mounted in a mount namespace of
// its own so that it leaves with the process, where this user may mount.
TEST (RenderOutputPlaces, FullDiskOrFileSizeLimitLeavesTheOldFileWhole)
{
    ScratchFolder scratch;
    const auto earlier = scratch / "earlier.wav";
    writeInput (earlier, 4410, 3);              // 17.7 kB
    writeInput (scratch / "in.wav", 88200, 4);  // 353 kB
    const auto oldBytes = bytesOfFile (earlier);

    struct Case
    {
        const char* name;
        bool fullDisk;  // else the file-size limit
        bool linked;
        const char* message;
    };

    const Case cases[] {
        { "size limit, replaced", false, false, "the file reached the largest size this process may write (ulimit -f)" },
        { "size limit, written in place", false, true, "the file reached the largest size this process may write (ulimit -f)" },
        { "full disk, replaced", true, false, "the disk is full" },
        { "full disk, written in place", true, true, "the disk is full" },
    };

    // Renders into folder/take.wav, a copy of the earlier take; leaves what the folder
    // then holds in "after.wav" and "listing" beside it.
    const juce::String script = "set -u\n"
                                "folder=$1; shift\n"
                                "if [ \"$MOUNT\" = yes ]; then mount -t tmpfs -o size=128k brask-full \"$folder\" || exit 97; fi\n"
                                "cp \"$EARLIER\" \"$folder/take.wav\"\n"
                                "if [ \"$LINKED\" = yes ]; then ln \"$folder/take.wav\" \"$folder/other-name.wav\"; fi\n"
                                "\"$@\" \"$folder/take.wav\"; status=$?\n"
                                "cat \"$folder/take.wav\" > \"$AFTER\"; ls -A \"$folder\" > \"$LISTING\"\n"
                                "exit $status\n";

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto folder = scratch / (juce::String ("folder-") + (c.fullDisk ? "disk" : "limit") + (c.linked ? "-linked" : ""));
        ASSERT_TRUE (folder.createDirectory());
        const auto after = scratch / "after.wav", listing = scratch / "listing";
        after.deleteFile();

        const auto environment = "MOUNT=" + juce::String (c.fullDisk ? "yes" : "no") + " LINKED=" + (c.linked ? "yes" : "no")
                                 + " EARLIER='" + earlier.getFullPathName() + "' AFTER='" + after.getFullPathName()
                                 + "' LISTING='" + listing.getFullPathName() + "'";

        std::vector<juce::String> command;

        if (c.fullDisk)
        {
            if (::geteuid() != 0)
                GTEST_SKIP() << "mounting a small tmpfs needs root; the full-disk cases are skipped";

            command = { "-m", "--", "/bin/sh", "-c", "export " + environment + "\n" + script, "sh" };
        }
        else
        {
            command = { "--fsize=65536", "--", "/bin/sh", "-c", "export " + environment + "\n" + script, "sh" };
        }

        command.insert (command.end(), { folder.getFullPathName(), brask::built::renderExecutable, "--plugin", moduleArgument(), (scratch / "in.wav").getFullPathName() });
        const auto result = runRender (juce::File (c.fullDisk ? "/usr/bin/unshare" : "/usr/bin/prlimit"), command);

        if (result.exitStatus == 97 || (c.fullDisk && result.exitStatus != 1 && juce::String (result.err).contains ("unshare")))
            GTEST_SKIP() << "no tmpfs could be mounted here: " << result.err;

        EXPECT_EQ (result.exitStatus, failed) << result.err << result.out;
        EXPECT_EQ (juce::StringArray::fromLines (juce::String (result.err).trim()).size(), 1) << result.err;
        EXPECT_TRUE (juce::String (result.err).contains ("/take.wav': " + juce::String (c.message))) << result.err;
        EXPECT_TRUE (bytesOfFile (after) == oldBytes) << "the earlier take was not kept whole";
        EXPECT_EQ (listing.loadFileAsString().trim(), c.linked ? "other-name.wav\ntake.wav" : "take.wav") << "a hidden file was left";
    }
}
