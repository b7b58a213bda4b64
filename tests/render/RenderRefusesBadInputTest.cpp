// A render that cannot be done says why in one line, exits non-zero and leaves
// the folder exactly as it was: no output, no half-written or temporary file,
// and an existing output file untouched. Also when it is interrupted.

#include "RenderTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace RenderTest;

namespace
{
    constexpr int failed = 1;
    constexpr int badCommandLine = 2;

    /** The files every case can point at, in one scratch folder. */
    struct Fixture
    {
        Fixture()
        {
            const auto rate = 44100.0;
            writeAudioFile (scratch / "in.wav", makeTestSignal (2, rate, 4410, 1), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 });
            writeAudioFile (scratch / "quad.wav", makeTestSignal (4, rate, 4410, 3), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 });

            // Rates a header can give: one the pedal's filters have no room at, one
            // beyond any converter, a studio rate the lossy codecs do not take, and
            // one past what FLAC holds.
            for (const auto& [name, fileRate] : { std::pair { "5hz.wav", 5.0 }, std::pair { "800k.wav", 800000.0 }, std::pair { "96k.wav", 96000.0 }, std::pair { "705k.wav", 705600.0 } })
                writeAudioFile (scratch / name, makeTestSignal (1, fileRate, 100, 2), fileRate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 });

            juce::MemoryBlock noise (2048);
            juce::Random (4).fillBitsRandomly (noise.getData(), noise.getSize());
            (scratch / "noise.wav").replaceWithData (noise.getData(), noise.getSize());
            (scratch / "notes.txt").replaceWithText ("not audio\n", false, false, "\n");
            (scratch / "folder").createDirectory();
            (scratch / "sub").createDirectory();
            (scratch / "in.wav").createSymbolicLink (scratch / "link.wav", true);
            if (::link ((*this) ("in.wav").toRawUTF8(), (*this) ("hard.wav").toRawUTF8()) != 0)
                ADD_FAILURE() << "cannot make the hard link the refusals need: " << std::strerror (errno);

            // A bundle in the right shape whose shared object is no program at all.
            const auto fakeBinary = scratch / "Fake.vst3/Contents/x86_64-linux/Fake.so";
            fakeBinary.getParentDirectory().createDirectory();
            fakeBinary.replaceWithText ("not a shared object\n");

            // A working module that shows a fault when asked (tests/render/fixtures).
            const auto faultyBinary = scratch / "Faulty.vst3/Contents/x86_64-linux/Faulty.so";
            faultyBinary.getParentDirectory().createDirectory();
            juce::File (brask::built::faultyModuleBinary).copyFileTo (faultyBinary);
        }

        /** The path as typed, not tidied: "sub/../in.wav" stays as it is. */
        juce::String operator() (const juce::String& name) const
        {
            return scratch.get().getFullPathName() + "/" + name;
        }

        ScratchFolder scratch;
    };

    struct BadRender
    {
        const char* name;
        std::vector<juce::String> arguments;  // "@x" stands for the path of x in the scratch folder
        juce::String output;                  // the OUTPUT named, to check it is left alone ("" if none)
        int exitStatus;
        const char* message;          // what the one line must say
        const char* fault = nullptr;  // what the faulty module is asked to do wrong
    };

    // Test names in failure messages, rather than the case's bytes.
    void PrintTo (const BadRender& c, std::ostream* stream)
    {
        *stream << c.name;
    }

    std::vector<juce::String> resolve (const std::vector<juce::String>& arguments, const Fixture& fixture)
    {
        std::vector<juce::String> resolved;

        for (const auto& argument : arguments)
            resolved.push_back (argument.startsWith ("@") ? fixture (argument.substring (1)) : argument);

        return resolved;
    }

    const std::vector<BadRender>& badRenders()
    {
        static const std::vector<BadRender> cases {
            // The command line.
            { "NoFiles", {}, "", badCommandLine, "needs an INPUT and an OUTPUT" },
            { "ThreeFiles", { "@in.wav", "@out.wav", "@more.wav" }, "out.wav", badCommandLine, "takes one INPUT and one OUTPUT" },
            { "UnknownOption", { "--gain", "3", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "unknown option '--gain'" },
            { "DriveAboveOne", { "--drive", "1.5", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--drive takes a number from 0 to 1, not '1.5'" },
            { "ToneBelowZero", { "--tone", "-0.1", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--tone takes a number from 0 to 1, not '-0.1'" },
            { "LevelNotANumber", { "--level", "loud", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--level takes a number from 0 to 1, not 'loud'" },
            { "DriveNaN", { "--drive=nan", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--drive takes a number from 0 to 1, not 'nan'" },
            { "DriveTrailingText", { "--drive", "0.5x", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--drive takes a number from 0 to 1, not '0.5x'" },
            { "KnobWithoutValue", { "@in.wav", "@out.wav", "--tone" }, "out.wav", badCommandLine, "--tone needs a value" },
            { "BlockZero", { "--block", "0", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--block takes a whole number" },
            { "BlockFraction", { "--block", "2.5", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--block takes a whole number" },
            { "PlotNotPng", { "--plot", "@p.jpg", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--plot writes a PNG picture" },
            { "BitsUnknown", { "--bits", "12", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--bits takes 8, 16, 24, 32, float or double, not '12'" },
            { "JobsWithoutOutDir", { "--jobs", "2", "@in.wav", "@out.wav" }, "out.wav", badCommandLine, "--format and --jobs go with --out-dir" },
            { "JobsZero", { "--jobs", "0", "@in.wav", "--out-dir", "@sub" }, "", badCommandLine, "--jobs takes a whole number from 1 to 16" },
            { "OutDirWithoutInput", { "--out-dir", "@sub" }, "", badCommandLine, "--out-dir needs at least one INPUT" },
            { "PlotWithOutDir", { "--plot", "@p.png", "@in.wav", "--out-dir", "@sub" }, "", badCommandLine, "--plot draws one render" },
            { "FormatUnknown", { "@in.wav", "--out-dir", "@sub", "--format", "xyz" }, "", badCommandLine, "--format cannot write 'xyz' files: give one of .wav, " },
            { "OutDirTwoInputsOneName", { "@in.wav", "@sub/../in.wav", "--out-dir", "@folder" }, "", badCommandLine, "two inputs would both be written to" },

            // The input.
            { "InputMissing", { "@missing.wav", "@out.wav" }, "out.wav", failed, "missing.wav': no such file" },
            { "InputIsAFolder", { "@folder", "@out.wav" }, "out.wav", failed, "is a folder, not an audio file" },
            { "InputIsNoise", { "@noise.wav", "@out.wav" }, "out.wav", failed, "is not an audio file brask-render can read" },
            { "InputIsText", { "@notes.txt", "@out.wav" }, "out.wav", failed, "is not an audio file brask-render can read" },
            { "InputHasFourChannels", { "@quad.wav", "@out.wav" }, "out.wav", failed, "has 4 channels; the pedal takes mono or stereo" },
            { "InputRateTooLow", { "@5hz.wav", "@out.wav" }, "out.wav", failed, "5hz.wav' is at 5 Hz; brask-render takes 8000 Hz to 768000 Hz" },
            { "InputRateTooHigh", { "@800k.wav", "@out.wav" }, "out.wav", failed, "is at 800000 Hz; brask-render takes 8000 Hz to 768000 Hz" },

            // The output.
            { "OutputIsInput", { "@in.wav", "@in.wav" }, "in.wav", failed, "is the input file" },
            { "OutputIsInputViaDots", { "@in.wav", "@sub/../in.wav" }, "in.wav", failed, "is the input file" },
            { "OutputIsLinkToInput", { "@in.wav", "@link.wav" }, "link.wav", failed, "is the input file" },
            { "OutputIsHardLinkToInput", { "@in.wav", "@hard.wav" }, "hard.wav", failed, "is the input file" },
            { "OutputFolderMissing", { "@in.wav", "@nowhere/out.wav" }, "", failed, "does not exist" },
            { "OutputIsAFolder", { "@in.wav", "@folder" }, "", failed, "is a folder" },
            { "OutputFormatUnknown", { "@in.wav", "@out.xyz" }, "out.xyz", failed, "cannot write '.xyz' files: name the output .wav, " },
            { "OutputWithoutExtension", { "@in.wav", "@out" }, "out", failed, "the output needs an extension" },
            { "FloatAskedOfFlac", { "--bits", "float", "@in.wav", "@out.flac" }, "out.flac", failed, "FLAC cannot hold 32-bit float samples" },
            { "BitsAskedOfVorbis", { "--bits", "16", "@in.wav", "@out.ogg" }, "out.ogg", failed, "--bits applies to WAV, AIFF, CAF, FLAC and the like, not to Vorbis" },
            { "OpusAtCdRate", { "@in.wav", "@out.opus" }, "out.opus", failed, "Opus holds 8000, 12000, 16000, 24000 or 48000 Hz, not 44100 Hz" },
            { "Mp3AtStudioRate", { "@96k.wav", "@out.mp3" }, "out.mp3", failed, "MP3 holds 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100 or 48000 Hz, not 96000 Hz" },
            { "FlacAboveItsRate", { "@705k.wav", "@out.flac" }, "out.flac", failed, "FLAC holds at most 655350 Hz, not 705600 Hz" },
            { "OutDirMissing", { "@in.wav", "--out-dir", "@nowhere" }, "", failed, "the output folder" },
            { "OutDirIsAFile", { "@in.wav", "--out-dir", "@notes.txt" }, "", failed, "notes.txt' is a file, not a folder" },
            { "PlotFolderMissing", { "--plot", "@nowhere/p.png", "@in.wav", "@out.wav" }, "out.wav", failed, "does not exist" },

            // The module.
            { "ModuleMissing", { "--plugin", "@Gone.vst3", "@in.wav", "@out.wav" }, "out.wav", failed, "cannot find the pedal's module" },
            { "ModuleNotABundle", { "--plugin", "@notes.txt", "@in.wav", "@out.wav" }, "out.wav", failed, "is not a VST3 module" },
            { "ModuleUnloadable", { "--plugin", "@Fake.vst3", "@in.wav", "@out.wav" }, "out.wav", failed, "cannot load the VST3 module" },

            // A module that loads but misbehaves.
            { "ModuleRefusesStereo", { "--plugin", "@Faulty.vst3", "@in.wav", "@out.wav" }, "out.wav", failed, "the module refuses a stereo layout", "refuse-stereo" },
            { "ModuleStateTooShort", { "--plugin", "@Faulty.vst3", "@in.wav", "@out.wav" }, "out.wav", failed, "the module's saved state is not the pedal's (is this Brask Overdrive?)", "short-state" },
            { "ModuleIgnoresSettings", { "--plugin", "@Faulty.vst3", "@in.wav", "@out.wav" }, "out.wav", failed, "the module did not take the settings", "ignore-state" },
            { "ModuleRefusesABlock", { "--plugin", "@Faulty.vst3", "--block", "1000", "@in.wav", "@out.wav" }, "out.wav", failed, "the module failed to process the audio at 0.05 s", "refuse-block" },
        };

        return cases;
    }

    // Every case names the built module unless it names its own.
    std::vector<juce::String> withBuiltModule (std::vector<juce::String> arguments)
    {
        if (std::find (arguments.begin(), arguments.end(), "--plugin") == arguments.end())
            arguments.insert (arguments.begin(), { "--plugin", builtModule().getFullPathName() });

        return arguments;
    }
}

//==============================================================================
class RenderRefuses : public ::testing::TestWithParam<BadRender>
{
protected:
    void expectRefusedAndFolderUntouched (const BadRender& c)
    {
        const auto before = fixture.scratch.snapshot();

        if (c.fault != nullptr)
            ::setenv ("BRASK_FAULTY_MODULE", c.fault, 1);

        const auto result = runRender (withBuiltModule (resolve (c.arguments, fixture)));
        ::unsetenv ("BRASK_FAULTY_MODULE");

        EXPECT_EQ (result.exitStatus, c.exitStatus) << result.err;
        EXPECT_TRUE (result.out.empty()) << result.out;

        // One line, which names the program and says what is wrong.
        const auto message = juce::String (result.err);
        EXPECT_TRUE (message.endsWith ("\n") && message.indexOf ("\n") == message.length() - 1) << message;
        EXPECT_TRUE (message.startsWith ("brask-render: ")) << message;
        EXPECT_TRUE (message.contains (c.message)) << "expected \"" << c.message << "\" in: " << message;

        // Nothing new, nothing gone, nothing changed: no output, no temporary file.
        const auto after = fixture.scratch.snapshot();
        EXPECT_EQ (after.size(), before.size());

        for (const auto& [name, contents] : after)
        {
            const auto was = before.find (name);
            EXPECT_TRUE (was != before.end()) << "left behind: " << name;

            if (was != before.end())
            {
                EXPECT_TRUE (was->second == contents) << "changed: " << name;
            }
        }
    }

    Fixture fixture;
};

TEST_P (RenderRefuses, WithOneLineAndTheFolderAsItWas)
{
    const auto& c = GetParam();

    {
        SCOPED_TRACE ("no OUTPUT yet");
        expectRefusedAndFolderUntouched (c);
    }

    // Again over an earlier render, where an ordinary file can stand as OUTPUT
    // (the cases naming the input as OUTPUT have just checked that it survives).
    const auto output = fixture.scratch / c.output;

    if (c.output.isNotEmpty() && ! output.exists() && output.getParentDirectory().isDirectory())
    {
        SCOPED_TRACE ("an earlier OUTPUT in place");
        output.replaceWithText ("an earlier render the user wants to keep\n", false, false, "\n");
        expectRefusedAndFolderUntouched (c);
        EXPECT_EQ (output.loadFileAsString(), "an earlier render the user wants to keep\n");
    }
}

INSTANTIATE_TEST_SUITE_P (Cases, RenderRefuses, ::testing::ValuesIn (badRenders()),
                          [] (const ::testing::TestParamInfo<BadRender>& testCase) { return std::string (testCase.param.name); });

// The faulty module's refusals above are its faults, not a module the renderer cannot host:
// asked for none, it renders, passing every sample through as it came.
TEST (RenderFaultyModule, WithoutAFaultRendersItsInputThrough)
{
    Fixture fixture;
    const auto result = runRender ({ "--plugin", fixture ("Faulty.vst3"), "--block", "1000", fixture ("in.wav"), fixture ("out.wav") });

    ASSERT_EQ (result.exitStatus, 0) << result.err;
    const auto input = readAudioFile (fixture.scratch / "in.wav");
    const auto output = readAudioFile (fixture.scratch / "out.wav");
    EXPECT_EQ (input.exact.getNumSamples(), 4410);
    EXPECT_EQ (firstDifference (output.exact, input.exact), juce::String());
}

//==============================================================================
// Ctrl-C, kill, Ctrl-\, and every other signal whose default ends the program:
// timers, power and I/O notices, real-time signals, and faults (which end it by
// their own default action, core file and all, once the hidden file is gone).
class RenderInterrupted : public ::testing::TestWithParam<int>
{
};

TEST_P (RenderInterrupted, LeavesNeitherOutputNorTemporaryFile)
{
    const auto signalNumber = GetParam();
    Fixture fixture;

    // A fault ends the render by its default action: no core file from it in the
    // folder the tests run in.
    struct rlimit coreLimit
    {
    };
    ::getrlimit (RLIMIT_CORE, &coreLimit);
    coreLimit.rlim_cur = 0;
    ::setrlimit (RLIMIT_CORE, &coreLimit);
    const auto output = fixture.scratch / "long-out.wav";
    output.replaceWithText ("an earlier render the user wants to keep\n", false, false, "\n");

    // Long enough, in one-sample blocks, that the render is still running when the signal comes.
    const auto rate = 48000.0;
    writeAudioFile (fixture.scratch / "long.wav", makeTestSignal (2, rate, (int) (30 * rate), 5), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24 });
    const auto before = fixture.scratch.snapshot();

    const juce::TemporaryFile outCapture (".out"), errCapture (".err");
    const auto pid = startRender ({ "--plugin", builtModule().getFullPathName(), "--block", "1", fixture ("long.wav"), output.getFullPathName() },
                                  outCapture.getFile(), errCapture.getFile());
    ASSERT_GT (pid, 0);

    // Wait until the render is writing (its hidden temporary file appears), then interrupt it.
    auto writing = false;

    for (int attempt = 0; attempt < 30000 && ! writing; ++attempt)
    {
        for (const auto& file : fixture.scratch.get().findChildFiles (juce::File::findFiles, false, ".brask-render-*.part"))
            writing = writing || file.existsAsFile();

        if (! writing)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }

    if (! writing)
    {
        ::kill ((pid_t) pid, SIGKILL);
        waitForRender (pid);
        FAIL() << "the render never started writing";
    }

    ::kill ((pid_t) pid, signalNumber);
    const auto exitStatus = waitForRender (pid);

    if (exitStatus == 0)
        GTEST_SKIP() << "the render finished before the signal arrived";

    EXPECT_EQ (exitStatus, 128 + signalNumber);
    EXPECT_EQ (output.loadFileAsString(), "an earlier render the user wants to keep\n");

    const auto after = fixture.scratch.snapshot();
    EXPECT_EQ (after.size(), before.size());

    for (const auto& [name, contents] : after)
        EXPECT_TRUE (before.count (name) == 1) << "left behind: " << name;
}

INSTANTIATE_TEST_SUITE_P (Signals, RenderInterrupted, ::testing::Values (SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGUSR1, SIGALRM, SIGPWR, SIGIO, SIGSTKFLT, SIGRTMIN + 2, SIGRTMAX, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS),
                          [] (const ::testing::TestParamInfo<int>& signalCase) {
                              const auto* name = sigabbrev_np (signalCase.param);
                              return name != nullptr ? std::string (name) : "RT" + std::to_string (signalCase.param);
                          });

//==============================================================================
// A FIFO nobody writes to would hold an open() forever: it is refused before that.
TEST (RenderRefusesFifo, AtOnceWithoutWaitingForAWriter)
{
    Fixture fixture;
    ASSERT_EQ (::mkfifo (fixture ("pipe.wav").toRawUTF8(), 0600), 0);

    const juce::TemporaryFile outCapture (".out"), errCapture (".err");
    const auto pid = startRender ({ "--plugin", builtModule().getFullPathName(), fixture ("pipe.wav"), fixture ("out.wav") },
                                  outCapture.getFile(), errCapture.getFile());
    ASSERT_GT (pid, 0);

    // A refusal takes milliseconds; a blocked open never ends. The bound leaves room
    // for a machine busy with other builds.
    int status = 0;
    auto ended = false;

    for (int waited = 0; waited < 5000 && ! ended; ++waited)
    {
        ended = ::waitpid ((pid_t) pid, &status, WNOHANG) == pid;

        if (! ended)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }

    if (! ended)
    {
        ::kill ((pid_t) pid, SIGKILL);
        waitForRender (pid);
        FAIL() << "the render waited for a writer to the FIFO";
    }

    EXPECT_TRUE (WIFEXITED (status) && WEXITSTATUS (status) == failed);
    EXPECT_TRUE (errCapture.getFile().loadFileAsString().contains ("not a regular file")) << errCapture.getFile().loadFileAsString();
    EXPECT_FALSE ((fixture.scratch / "out.wav").exists());
}

//==============================================================================
// Where the output goes: any name the file system allows, the mode of the file it
// replaces, and no temporary file of an earlier, killed run left beside it.
TEST (RenderOutputFile, LongestNameAllowed)
{
    Fixture fixture;
    const auto name = juce::String::repeatedString ("a", 251) + ".wav";  // 255 bytes, the limit
    const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), fixture ("in.wav"), fixture (name) });

    ASSERT_EQ (result.exitStatus, 0) << result.err;
    EXPECT_EQ (readAudioFile (fixture.scratch / name).exact.getNumSamples(), 4410);
    EXPECT_EQ (fixture.scratch.get().findChildFiles (juce::File::findFiles, false, ".*").size(), 0) << "a temporary file left";
}

TEST (RenderOutputFile, ReplacedFileKeepsItsMode)
{
    Fixture fixture;
    const auto output = fixture ("private.wav");
    (fixture.scratch / "private.wav").replaceWithText ("an earlier take\n");
    ASSERT_EQ (::chmod (output.toRawUTF8(), 0600), 0);

    const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), fixture ("in.wav"), output });
    ASSERT_EQ (result.exitStatus, 0) << result.err;

    struct stat status
    {
    };
    ASSERT_EQ (::stat (output.toRawUTF8(), &status), 0);
    EXPECT_EQ (status.st_mode & 07777, 0600u);
    EXPECT_EQ (readAudioFile (fixture.scratch / "private.wav").exact.getNumSamples(), 4410);
}

TEST (RenderOutputFile, StaleTemporaryFileOfOursIsRemoved)
{
    Fixture fixture;

    // The process id of a run that is over.
    const juce::TemporaryFile outCapture (".out"), errCapture (".err");
    const auto gone = startRender ({ "--help" }, outCapture.getFile(), errCapture.getFile());
    ASSERT_EQ (waitForRender (gone), 0);

    const auto stale = fixture.scratch / (".take.wav.brask-render-" + juce::String (gone) + ".part");
    const auto recent = fixture.scratch / (".other.wav.brask-render-" + juce::String (gone) + ".part");
    const auto notOurs = fixture.scratch / ".take.wav.part";

    for (const auto& file : { stale, recent, notOurs })
    {
        file.replaceWithText ("half a render\n");
        file.setLastModificationTime (juce::Time::getCurrentTime() - juce::RelativeTime::hours (3));
    }

    // One written to a moment ago may be another machine's run into a shared folder.
    recent.setLastModificationTime (juce::Time::getCurrentTime());

    const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), fixture ("in.wav"), fixture ("out.wav") });
    ASSERT_EQ (result.exitStatus, 0) << result.err;

    EXPECT_FALSE (stale.exists());
    EXPECT_TRUE (recent.exists());
    EXPECT_TRUE (notOurs.exists());
}
