#pragma once

#include <string>

//==============================================================================
/**
    Paths as brask-render handles them: plain UTF-8 strings, absolute once read
    from the command line, and shown to the user as they would type them.
*/
namespace filepath
{
    /** An argument taken from the current folder (unless absolute), with "." and
        ".." resolved by name and no trailing separator.
    */
    std::string absolute (const std::string& argument);

    std::string fileName (const std::string& path);

    /** From the last dot of the file name, dot included ("take.wav" -> ".wav",
        ".hidden" -> ".hidden"); empty when the name has no dot.
    */
    std::string extension (const std::string& path);

    std::string withoutExtension (const std::string& name);

    /** The folder a path is in ("/" for a file at the root). */
    std::string parent (const std::string& path);

    std::string join (const std::string& folder, const std::string& name);

    bool isDirectory (const std::string& path);
    bool isFile (const std::string& path);

    /** True when both names lead to one file, through links, "..", or hard links. */
    bool sameFile (const std::string& a, const std::string& b);

    /** Relative to the current folder when inside it, else in full. */
    std::string shown (const std::string& path);

    /** The running program's own file. */
    std::string executable();

    std::string homeFolder();
}
