// The renderer's own handling of paths: what it resolves, what it calls an
// extension, and how it names files back to the user.

#include "FilePath.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace
{
    /** Runs the test inside a scratch folder of its own and goes back afterwards. */
    struct InScratchFolder
    {
        InScratchFolder()
        {
            char pattern[] = "/tmp/brask-filepath-XXXXXX";
            folder = ::mkdtemp (pattern);
            previous = std::filesystem::current_path();
            std::filesystem::current_path (folder);
            folder = std::filesystem::current_path().string();  // as the system spells it
        }

        ~InScratchFolder()
        {
            std::filesystem::current_path (previous);
            std::filesystem::remove_all (folder);
        }

        std::string folder;
        std::filesystem::path previous;
    };
}

TEST (FilePath, ArgumentsResolveFromTheCurrentFolder)
{
    InScratchFolder here;

    const std::pair<const char*, std::string> cases[] {
        { "take.wav", here.folder + "/take.wav" },
        { "./take.wav", here.folder + "/take.wav" },
        // ".." stays for the kernel: after a link it leads beside the link's target.
        { "out/../take.wav", here.folder + "/out/../take.wav" },
        { "out/", here.folder + "/out" },
        { "/abs/./x/../y.flac", "/abs/x/../y.flac" },
        { "//abs//y.flac", "/abs/y.flac" },
        { "/", "/" },
    };

    for (const auto& [argument, expected] : cases)
        EXPECT_EQ (filepath::absolute (argument), expected) << argument;
}

TEST (FilePath, ExtensionIsFromTheLastDotOfTheName)
{
    const std::tuple<const char*, const char*, const char*> cases[] {
        // path                    extension   name without it
        { "/a/take.wav", ".wav", "take" },
        { "/a/take.tar.FLAC", ".FLAC", "take.tar" },
        { "/a.d/take", "", "take" },
        { "/a/.hidden", ".hidden", "" },
        { "/a/take.", ".", "take" },
    };

    for (const auto& [path, extension, stem] : cases)
    {
        EXPECT_EQ (filepath::extension (path), extension) << path;
        EXPECT_EQ (filepath::withoutExtension (filepath::fileName (path)), stem) << path;
    }

    EXPECT_EQ (filepath::parent ("/a/take.wav"), "/a");
    EXPECT_EQ (filepath::parent ("/take.wav"), "/");
    EXPECT_EQ (filepath::join ("/a", "b.wav"), "/a/b.wav");
    EXPECT_EQ (filepath::join ("/", "b.wav"), "/b.wav");
}

TEST (FilePath, ShownRelativeOnlyInsideTheCurrentFolder)
{
    InScratchFolder here;

    EXPECT_EQ (filepath::shown (here.folder + "/take.wav"), "take.wav");
    EXPECT_EQ (filepath::shown (here.folder + "/out/take.wav"), "out/take.wav");
    EXPECT_EQ (filepath::shown (here.folder + "-other/take.wav"), here.folder + "-other/take.wav");  // same prefix, another folder
    EXPECT_EQ (filepath::shown (here.folder), here.folder);
    EXPECT_EQ (filepath::shown ("/elsewhere/take.wav"), "/elsewhere/take.wav");
}

TEST (FilePath, SameFileThroughDotsAndHardLinks)
{
    InScratchFolder here;
    std::filesystem::create_directory ("sub");
    std::ofstream ("take.wav") << "x";
    std::filesystem::create_hard_link ("take.wav", "linked.wav");
    std::ofstream ("other.wav") << "x";

    EXPECT_TRUE (filepath::sameFile (here.folder + "/take.wav", here.folder + "/sub/../take.wav"));
    EXPECT_TRUE (filepath::sameFile (here.folder + "/take.wav", here.folder + "/linked.wav"));
    EXPECT_FALSE (filepath::sameFile (here.folder + "/take.wav", here.folder + "/other.wav"));
    EXPECT_FALSE (filepath::sameFile (here.folder + "/take.wav", here.folder + "/missing.wav"));

    EXPECT_TRUE (filepath::isDirectory (here.folder + "/sub"));
    EXPECT_FALSE (filepath::isFile (here.folder + "/sub"));
    EXPECT_TRUE (filepath::isFile (here.folder + "/take.wav"));
    EXPECT_FALSE (filepath::isFile (here.folder + "/missing.wav"));
}
