#pragma once

#include "PedalSettings.h"

#include <juce_core/juce_core.h>

//==============================================================================
/** Everything brask-render was asked to do, as read from its command line. */
struct RenderOptions
{
    PedalSettings settings;
    int blockSize = 512;

    /** One INPUT and OUTPUT, or several INPUTs into outputFolder. */
    juce::Array<juce::File> inputs;
    juce::File output;              // the single-file form
    juce::File outputFolder;        // the batch form (--out-dir); juce::File() otherwise
    juce::String outputExtension;   // --format, with its dot; empty keeps each input's own
    int jobs = 0;                   // --jobs; 0: as many as the machine has cores

    juce::File plot;                // juce::File() when no plot was asked for
    juce::File module;

    /** 0 keeps the input's encoding; 8, 16, 24, 32 for integers; -32 float, -64 double. */
    int bits = 0;
    bool acceptShort = false;

    bool showHelp = false;

    static constexpr int maximumBlockSize = 65536;
    static constexpr int maximumJobs = 16;

    bool isBatch() const noexcept       { return outputFolder != juce::File(); }

    /** Where the output of this input goes in the batch form. */
    juce::File outputFor (const juce::File& input) const;

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
