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
        repeated separators dropped and no trailing separator. ".." is kept: only
        the kernel knows where it leads once a symbolic link is on the way.
        Empty when the argument is relative and the current folder is gone.
    */
    std::string absolute (const std::string& argument);

    /** The current folder as the kernel has it; empty when it was deleted. */
    std::string currentFolder();

    /** Where an output named `path` (from absolute()) is really written, resolved
        as the kernel resolves it: the folder through realpath(), then the name,
        followed when it is a symbolic link. The file need not exist.
    */
    struct ResolvedOutput
    {
        std::string file;     // the real path to write; empty when refused
        std::string problem;  // why it is refused, naming the path as given
    };

    /** what: "output" or "plot", for the messages. */
    ResolvedOutput resolveOutput (const std::string& path, const std::string& what);

    /** Why a command-line output name can never name a file ("", ".", "..", "x/");
        empty when it can.
    */
    std::string badOutputName (const std::string& argument);

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
