#pragma once

#include <juce_core/juce_core.h>

//==============================================================================
/** The pedal's four settings as a user sets them: three knobs from 0 to 1 and
    the footswitch. A new pedal sits with every knob at half travel, switched on.
*/
struct PedalSettings
{
    float drive = 0.5f;
    float tone = 0.5f;
    float level = 0.5f;
    bool effectOn = true;

    /** The module's saved state: four little-endian float32 values (drive, tone,
        level, footswitch as 1.0 or 0.0). It is the only way a host can hand a
        VST3 module settings it has no parameters for.
    */
    juce::MemoryBlock toStateBlob() const;
};

//==============================================================================
/** Everything brask-render was asked to do, as read from its command line. */
struct RenderOptions
{
    PedalSettings settings;
    int blockSize = 512;

    juce::File input;
    juce::File output;
    juce::File plot;        // juce::File() when no plot was asked for
    juce::File module;

    bool showHelp = false;

    static constexpr int maximumBlockSize = 65536;

    /** Where to look for the pedal when no --plugin is given, first to last: the
        lib/vst3 folder of the prefix this program is installed in, then the
        user's ~/.vst3, where Linux hosts look.
    */
    static juce::Array<juce::File> moduleCandidates();

    /** The first of moduleCandidates() that is there, else the last of them. */
    static juce::File installedModule();

    /** Reads the arguments (without the program name). Relative paths are taken
        from the current folder. On failure the result carries a one-line message.
    */
    static juce::Result parse (const juce::StringArray& arguments, RenderOptions& options);

    static juce::String usage();
};
