// Many files at once: each lands in the output folder under its own name, the
// same as a render of that file alone; a file that fails is named and does not
// stop the others; nothing half-written is ever left in the folder.

#include "RenderTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace RenderTest;

TEST (RenderBatch, EachFileAsAloneTheBadOneNamed)
{
    ScratchFolder scratch;
    const auto rate = 44100.0;
    const auto inputs = scratch / "in";
    const auto alone = scratch / "alone";
    const auto batch = scratch / "batch";

    for (const auto& folder : { inputs, alone, batch })
        ASSERT_TRUE (folder.createDirectory());

    const std::vector<std::pair<juce::String, FileFormat>> files {
        { "riff.wav", { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24 } },
        { "lick.flac", { ".flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16 } },
        { "chord.aiff", { ".aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT } },
    };

    for (size_t i = 0; i < files.size(); ++i)
        writeAudioFile (inputs.getChildFile (files[i].first), makeTestSignal ((int) i % 2 + 1, rate, 20000 + 999 * (int) i, (int) i), rate, files[i].second);

    inputs.getChildFile ("broken.wav").replaceWithText ("RIFF, but nothing of a WAV behind it\n");

    const std::vector<juce::String> settings { "--plugin", builtModule().getFullPathName(), "--drive", "0.8", "--tone", "0.3" };

    for (const auto& [name, format] : files)
    {
        auto arguments = settings;
        arguments.insert (arguments.end(), { inputs.getChildFile (name).getFullPathName(), alone.getChildFile (name).getFullPathName() });
        const auto result = runRender (arguments);
        ASSERT_EQ (result.exitStatus, 0) << result.err;
    }

    auto arguments = settings;

    for (const auto& name : { "riff.wav", "lick.flac", "broken.wav", "chord.aiff" })
        arguments.push_back (inputs.getChildFile (name).getFullPathName());

    arguments.insert (arguments.end(), { "--out-dir", batch.getFullPathName(), "--jobs", "2" });
    const auto result = runRender (arguments);

    EXPECT_EQ (result.exitStatus, 1);

    // A line for each good file, and the bad one named, on its own and in the last word.
    const auto out = juce::StringArray::fromLines (juce::String (result.out).trim());
    EXPECT_EQ (out.size(), 3) << result.out;

    for (const auto& line : out)
        EXPECT_TRUE (line.startsWith ("brask-render: wrote ")) << line;

    const auto err = juce::StringArray::fromLines (juce::String (result.err).trim());
    ASSERT_EQ (err.size(), 2) << result.err;
    EXPECT_TRUE (err[0].contains ("broken.wav") && err[0].contains ("is not an audio file")) << err[0];
    EXPECT_TRUE (err[1].contains ("1 of 4 files failed") && err[1].endsWith ("broken.wav")) << err[1];

    // Exactly the three outputs: no partial, hidden or temporary file, nothing for the bad input.
    const auto left = batch.findChildFiles (juce::File::findFilesAndDirectories | juce::File::ignoreHiddenFiles, false);
    const auto everything = batch.findChildFiles (juce::File::findFilesAndDirectories, false);
    EXPECT_EQ (everything.size(), left.size()) << "hidden files left behind";
    EXPECT_EQ (left.size(), 3);

    for (const auto& [name, format] : files)
    {
        const auto one = readAudioFile (alone.getChildFile (name));
        const auto many = readAudioFile (batch.getChildFile (name));
        ASSERT_GT (one.exact.getNumSamples(), 0) << name;
        EXPECT_EQ (many.format, one.format) << name;
        EXPECT_EQ (firstDifference (many.exact, one.exact), juce::String()) << name;
    }
}

TEST (RenderBatch, FormatNamesTheOutputs)
{
    ScratchFolder scratch;
    const auto rate = 48000.0;
    writeAudioFile (scratch / "a.wav", makeTestSignal (2, rate, 4800, 1), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 });
    writeAudioFile (scratch / "b.aiff", makeTestSignal (1, rate, 4800, 2), rate, { ".aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24 });
    const auto out = scratch / "out";
    ASSERT_TRUE (out.createDirectory());

    const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), (scratch / "a.wav").getFullPathName(),
                                     (scratch / "b.aiff").getFullPathName(), "--out-dir", out.getFullPathName(), "--format", "flac" });
    ASSERT_EQ (result.exitStatus, 0) << result.err;

    EXPECT_EQ (readAudioFile (out.getChildFile ("a.flac")).format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ (readAudioFile (out.getChildFile ("b.flac")).format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
}

// "brask-render ... --out-dir o | head -1": the reader of the lines goes after the
// first; the files are the job, and every one of them is still rendered.
TEST (RenderBatch, StdoutClosedEarlyStillRendersEveryFile)
{
    ScratchFolder scratch;
    const auto rate = 48000.0;
    const auto out = scratch / "out";
    ASSERT_TRUE (out.createDirectory());

    std::vector<std::string> storage { brask::built::renderExecutable, "--plugin", builtModule().getFullPathName().toStdString() };

    for (int i = 0; i < 4; ++i)
    {
        const auto input = scratch / ("take" + juce::String (i) + ".wav");
        writeAudioFile (input, makeTestSignal (1, rate, 9600, i), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 });
        storage.push_back (input.getFullPathName().toStdString());
    }

    for (const auto* argument : { "--out-dir", "--jobs", "2" })
        storage.push_back (argument);

    storage.insert (storage.end() - 2, out.getFullPathName().toStdString());

    std::vector<char*> argv;

    for (auto& s : storage)
        argv.push_back (s.data());

    argv.push_back (nullptr);

    // stdout is a pipe whose reader has already gone.
    int pipeEnds[2];
    ASSERT_EQ (::pipe (pipeEnds), 0);
    ::close (pipeEnds[0]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2 (&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    pid_t pid = -1;
    const auto spawned = posix_spawn (&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy (&actions);
    ::close (pipeEnds[1]);
    ASSERT_EQ (spawned, 0);

    EXPECT_EQ (waitForRender ((int) pid), 0);

    const auto everything = out.findChildFiles (juce::File::findFilesAndDirectories, false);
    EXPECT_EQ (everything.size(), 4) << "a file missing or a temporary file left";

    for (int i = 0; i < 4; ++i)
        EXPECT_EQ (readAudioFile (out.getChildFile ("take" + juce::String (i) + ".wav")).exact.getNumSamples(), 9600);
}
