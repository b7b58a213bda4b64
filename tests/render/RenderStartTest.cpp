// brask-render never shows the pedal, and tells the module so: in its process the
// module starts without loading the X libraries (which the framework's wrapper
// would otherwise load, probe a display with and unload again, for most of a short
// render's time). The output is the same either way: the format table checks it.

#include "RenderTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdlib>

using namespace RenderTest;

TEST (RenderStart, LoadsTheModuleWithoutTheXLibraries)
{
    ScratchFolder scratch;
    const auto rate = 48000.0;
    writeAudioFile (scratch / "in.wav", makeTestSignal (2, rate, 480, 7), rate, { ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24 });

    // The dynamic loader lists every library it loads, in the child's stderr.
    ::setenv ("LD_DEBUG", "files", 1);
    const auto result = runRender ({ "--plugin", builtModule().getFullPathName(), (scratch / "in.wav").getFullPathName(),
                                     (scratch / "out.wav").getFullPathName() });
    ::unsetenv ("LD_DEBUG");

    ASSERT_EQ (result.exitStatus, 0) << result.err;
    ASSERT_TRUE ((scratch / "out.wav").existsAsFile());

    // The list is there, and the module is in it...
    ASSERT_NE (result.err.find (BRASK_PRODUCT_NAME ".so"), std::string::npos) << result.err;
    ASSERT_NE (result.err.find ("libsndfile.so"), std::string::npos);

    // ...but no X library.
    for (const auto* library : { "libX11.so", "libXext.so", "libXrandr.so", "libXinerama.so", "libXcursor.so", "libXrender.so", "libxcb.so" })
        EXPECT_EQ (result.err.find (library), std::string::npos) << library << " was loaded";
}

// What --help offers, the manual page explains: every option, each under its own name.
TEST (RenderStart, ManualPageHasEveryOptionOfTheHelp)
{
    const auto help = runRender ({ "--help" });
    ASSERT_EQ (help.exitStatus, 0);

    const auto manual = juce::File (brask::built::renderManPage).loadFileAsString().replace ("\\-", "-");
    ASSERT_TRUE (manual.isNotEmpty());

    juce::StringArray options;

    for (auto& word : juce::StringArray::fromTokens (juce::String (help.out), " ,:\n", ""))
        if (word.startsWith ("--") && word.length() > 2)
            options.addIfNotAlreadyThere (word);

    // The list was read: the first option and the last are in it.
    EXPECT_TRUE (options.contains ("--drive") && options.contains ("--version")) << help.out;

    for (const auto& option : options)
        EXPECT_TRUE (manual.contains (option)) << option << " is not in the manual page";

    const auto version = runRender ({ "--version" });
    EXPECT_EQ (version.exitStatus, 0);
    EXPECT_EQ (version.out, "brask-render " BRASK_PROJECT_VERSION "\n");
}
