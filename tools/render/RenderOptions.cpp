#include "RenderOptions.h"

#include <cmath>
#include <cstdlib>

namespace
{
    // Only a plain decimal number will do: "0.5" and "1" but not "", "0.5x", "nan" or "inf".
    bool parseKnobValue (const juce::String& text, float& value)
    {
        const auto trimmed = text.trim();

        if (trimmed.isEmpty())
            return false;

        const auto* start = trimmed.toRawUTF8();
        char* end = nullptr;
        const auto parsed = std::strtod (start, &end);

        if (end == start || *end != '\0' || ! std::isfinite (parsed))
            return false;

        if (parsed < 0.0 || parsed > 1.0)
            return false;

        value = (float) parsed;
        return true;
    }

    bool parseBlockSize (const juce::String& text, int& value)
    {
        const auto trimmed = text.trim();

        if (trimmed.isEmpty() || trimmed.length() > 6 || ! trimmed.containsOnly ("0123456789"))
            return false;

        const auto parsed = trimmed.getIntValue();

        if (parsed < 1 || parsed > RenderOptions::maximumBlockSize)
            return false;

        value = parsed;
        return true;
    }

    bool parseBits (const juce::String& text, int& value)
    {
        const auto trimmed = text.trim().toLowerCase();
        const std::pair<const char*, int> choices[] = { { "8", 8 }, { "16", 16 }, { "24", 24 }, { "32", 32 },
                                                        { "float", -32 }, { "double", -64 } };

        for (const auto& [name, bits] : choices)
        {
            if (trimmed == name)
            {
                value = bits;
                return true;
            }
        }

        return false;
    }

    bool parseJobs (const juce::String& text, int& value)
    {
        const auto trimmed = text.trim();

        if (trimmed.isEmpty() || trimmed.length() > 3 || ! trimmed.containsOnly ("0123456789"))
            return false;

        const auto parsed = trimmed.getIntValue();

        if (parsed < 1 || parsed > RenderOptions::maximumJobs)
            return false;

        value = parsed;
        return true;
    }

    juce::File fileFromArgument (const juce::String& argument)
    {
        return juce::File::getCurrentWorkingDirectory().getChildFile (argument);
    }
}

//==============================================================================
juce::Array<juce::File> RenderOptions::moduleCandidates()
{
    // Installed as <prefix>/bin/brask-render, the module of the same install is in
    // <prefix>/lib/vst3: a system-wide or packaged copy then works as it stands.
    const auto prefix = juce::File::getSpecialLocation (juce::File::currentExecutableFile)
                            .getParentDirectory()
                            .getParentDirectory();

    return { prefix.getChildFile ("lib/vst3/Brask Overdrive.vst3"),
             juce::File::getSpecialLocation (juce::File::userHomeDirectory)
                 .getChildFile (".vst3")
                 .getChildFile ("Brask Overdrive.vst3") };
}

juce::File RenderOptions::installedModule()
{
    const auto candidates = moduleCandidates();

    for (const auto& candidate : candidates)
        if (candidate.isDirectory())
            return candidate;

    // None is there: name the place a user is most likely to put it.
    return candidates.getLast();
}

juce::File RenderOptions::outputFor (const juce::File& input) const
{
    const auto name = outputExtension.isEmpty() ? input.getFileName()
                                                : input.getFileNameWithoutExtension() + outputExtension;
    return outputFolder.getChildFile (name);
}

juce::String RenderOptions::usage()
{
    return "Usage: brask-render [options] INPUT OUTPUT\n"
           "       brask-render [options] INPUT... --out-dir DIR [--format EXT] [--jobs N]\n"
           "\n"
           "Renders audio files (WAV, RF64, Wave64, AIFF, CAF, FLAC, Ogg Vorbis, Opus, MP3;\n"
           "mono or stereo) through the Brask Overdrive VST3 module. Each output is written\n"
           "in the format its extension names, with the input's sample rate, channels and\n"
           "sample format where that format can hold it.\n"
           "\n"
           "  --drive X, --tone X, --level X   knob positions from 0 to 1 (default 0.5)\n"
           "  --off                            footswitch off: the signal passes untouched\n"
           "  --bits B                         write 8, 16, 24 or 32-bit integers, float or double\n"
           "  --accept-short                   render a file that ends before its header says\n"
           "  --block N                        samples per processing block (default 512)\n"
           "  --plot FILE.png                  also draw input and output (one INPUT only)\n"
           "  --plugin PATH                    the .vst3 bundle to load (default: the one\n"
           "                                   installed beside this program in ../lib/vst3,\n"
           "                                   else ~/.vst3/Brask Overdrive.vst3)\n"
           "  --out-dir DIR                    render every INPUT into DIR under its own name\n"
           "  --format EXT                     with --out-dir: write EXT files (wav, flac, ...)\n"
           "  --jobs N                         with --out-dir: files at once (default: cores)\n";
}

juce::Result RenderOptions::parse (const juce::StringArray& arguments, RenderOptions& options)
{
    juce::StringArray positional;
    auto onlyPositionalFromHere = false;

    for (int i = 0; i < arguments.size(); ++i)
    {
        auto argument = arguments[i];

        if (onlyPositionalFromHere || ! argument.startsWith ("-") || argument == "-")
        {
            positional.add (argument);
            continue;
        }

        if (argument == "--")
        {
            onlyPositionalFromHere = true;
            continue;
        }

        if (argument == "--help" || argument == "-h")
        {
            options.showHelp = true;
            return juce::Result::ok();
        }

        if (argument == "--off")
        {
            options.settings.effectOn = false;
            continue;
        }

        if (argument == "--accept-short")
        {
            options.acceptShort = true;
            continue;
        }

        // "--drive 0.7" and "--drive=0.7" alike.
        auto name = argument.upToFirstOccurrenceOf ("=", false, false);
        juce::String value;

        const auto takesValue = name == "--drive" || name == "--tone" || name == "--level"
                                || name == "--block" || name == "--plot" || name == "--plugin" || name == "--bits"
                                || name == "--out-dir" || name == "--format" || name == "--jobs";

        if (! takesValue)
            return juce::Result::fail ("unknown option '" + argument + "' (try --help)");

        if (argument.contains ("="))
        {
            value = argument.fromFirstOccurrenceOf ("=", false, false);
        }
        else
        {
            if (i + 1 >= arguments.size())
                return juce::Result::fail (name + " needs a value");

            value = arguments[++i];
        }

        if (name == "--drive" || name == "--tone" || name == "--level")
        {
            auto& knob = name == "--drive" ? options.settings.drive
                       : name == "--tone"  ? options.settings.tone
                                           : options.settings.level;

            if (! parseKnobValue (value, knob))
                return juce::Result::fail (name + " takes a number from 0 to 1, not '" + value + "'");
        }
        else if (name == "--block")
        {
            if (! parseBlockSize (value, options.blockSize))
                return juce::Result::fail ("--block takes a whole number of samples from 1 to "
                                           + juce::String (maximumBlockSize) + ", not '" + value + "'");
        }
        else if (name == "--plot")
        {
            if (value.isEmpty())
                return juce::Result::fail ("--plot needs a file name");

            options.plot = fileFromArgument (value);

            if (! options.plot.hasFileExtension ("png"))
                return juce::Result::fail ("--plot writes a PNG picture: give it a name ending in .png");
        }
        else if (name == "--bits")
        {
            if (! parseBits (value, options.bits))
                return juce::Result::fail ("--bits takes 8, 16, 24, 32, float or double, not '" + value + "'");
        }
        else if (name == "--out-dir")
        {
            if (value.isEmpty())
                return juce::Result::fail ("--out-dir needs a folder");

            options.outputFolder = fileFromArgument (value);
        }
        else if (name == "--format")
        {
            const auto extension = value.trim().trimCharactersAtStart (".").toLowerCase();

            if (extension.isEmpty() || ! extension.containsOnly ("abcdefghijklmnopqrstuvwxyz0123456789"))
                return juce::Result::fail ("--format takes a file extension such as wav or flac, not '" + value + "'");

            options.outputExtension = "." + extension;
        }
        else if (name == "--jobs")
        {
            if (! parseJobs (value, options.jobs))
                return juce::Result::fail ("--jobs takes a whole number from 1 to " + juce::String (maximumJobs)
                                           + ", not '" + value + "'");
        }
        else
        {
            if (value.isEmpty())
                return juce::Result::fail ("--plugin needs the path of a .vst3 bundle");

            options.module = fileFromArgument (value);
        }
    }

    for (const auto& argument : positional)
        if (argument.isEmpty())
            return juce::Result::fail ("file names must not be empty");

    if (options.module == juce::File())
        options.module = installedModule();

    if (options.isBatch())
    {
        if (positional.isEmpty())
            return juce::Result::fail ("--out-dir needs at least one INPUT (try --help)");

        if (options.plot != juce::File())
            return juce::Result::fail ("--plot draws one render: use it with one INPUT and OUTPUT, without --out-dir");

        for (const auto& argument : positional)
            options.inputs.add (fileFromArgument (argument));

        // Two inputs of one name would overwrite each other's output.
        juce::StringArray outputs;

        for (const auto& input : options.inputs)
        {
            const auto output = options.outputFor (input).getFullPathName();

            if (outputs.contains (output))
                return juce::Result::fail ("two inputs would both be written to '" + output + "'");

            outputs.add (output);
        }

        return juce::Result::ok();
    }

    if (options.outputExtension.isNotEmpty() || options.jobs != 0)
        return juce::Result::fail ("--format and --jobs go with --out-dir");

    if (positional.size() != 2)
        return juce::Result::fail (positional.size() < 2 ? "needs an INPUT and an OUTPUT file (try --help)"
                                                         : "takes one INPUT and one OUTPUT file, not "
                                                               + juce::String (positional.size()) + " (try --help)");

    options.inputs.add (fileFromArgument (positional[0]));
    options.output = fileFromArgument (positional[1]);
    return juce::Result::ok();
}
