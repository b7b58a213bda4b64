#pragma once

#include "plugin/PedalSettings.h"

#include <string>
#include <vector>

//==============================================================================
/** Everything brask-render was asked to do, as read from its command line.
    Paths are absolute (see filepath::absolute).
*/
struct RenderOptions
{
    PedalSettings settings;
    int blockSize = 512;

    /** One INPUT and OUTPUT, or several INPUTs into outputFolder. */
    std::vector<std::string> inputs;
    std::string output;           // the single-file form
    std::string outputFolder;     // the batch form (--out-dir); empty otherwise
    std::string outputExtension;  // --format, with its dot; empty keeps each input's own
    int jobs = 0;                 // --jobs; 0: as many as the machine has cores

    std::string plot;  // empty when no plot was asked for
    std::string module;

    /** 0 keeps the input's encoding; 8, 16, 24, 32 for integers; -32 float, -64 double. */
    int bits = 0;
    bool acceptShort = false;
    bool showHelp = false;
    bool showVersion = false;

    static constexpr int maximumBlockSize = 65536;
    static constexpr int maximumJobs = 16;

    bool isBatch() const noexcept { return ! outputFolder.empty(); }

    /** Where the output of this input goes in the batch form. */
    std::string outputFor (const std::string& input) const;

    /** Where to look for the pedal when no --plugin is given, first to last: the
        lib/vst3 folder of the prefix this program is installed in, then the
        user's ~/.vst3, where Linux hosts look.
    */
    static std::vector<std::string> moduleCandidates();

    /** The first of moduleCandidates() that is there, else the last of them. */
    static std::string installedModule();

    /** Reads the arguments (without the program name). Relative paths are taken
        from the current folder. On failure returns the one-line message; an
        empty string when all is well.
    */
    static std::string parse (const std::vector<std::string>& arguments, RenderOptions& options);

    static const char* usage();
};
