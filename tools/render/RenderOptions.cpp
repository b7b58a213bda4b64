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

    juce::File fileFromArgument (const juce::String& argument)
    {
        return juce::File::getCurrentWorkingDirectory().getChildFile (argument);
    }
}

//==============================================================================
juce::MemoryBlock PedalSettings::toStateBlob() const
{
    juce::MemoryBlock blob;
    juce::MemoryOutputStream stream (blob, false);
    stream.writeFloat (drive);
    stream.writeFloat (tone);
    stream.writeFloat (level);
    stream.writeFloat (effectOn ? 1.0f : 0.0f);
    stream.flush();
    return blob;
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

juce::String RenderOptions::usage()
{
    return "Usage: brask-render [--drive X] [--tone X] [--level X] [--off] [--block N]\n"
           "                    [--plot FILE.png] [--plugin PATH] INPUT OUTPUT\n"
           "\n"
           "Renders INPUT (WAV, AIFF or FLAC, mono or stereo) through the Brask Overdrive\n"
           "VST3 module and writes OUTPUT in the format its extension names, with the\n"
           "input's sample rate, channels and bit depth.\n"
           "\n"
           "  --drive X, --tone X, --level X   knob positions from 0 to 1 (default 0.5)\n"
           "  --off                            footswitch off: the signal passes untouched\n"
           "  --block N                        samples per processing block (default 512)\n"
           "  --plot FILE.png                  also draw input and output as a picture\n"
           "  --plugin PATH                    the .vst3 bundle to load (default: the one\n"
           "                                   installed beside this program in ../lib/vst3,\n"
           "                                   else ~/.vst3/Brask Overdrive.vst3)\n";
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

        // "--drive 0.7" and "--drive=0.7" alike.
        auto name = argument.upToFirstOccurrenceOf ("=", false, false);
        juce::String value;

        const auto takesValue = name == "--drive" || name == "--tone" || name == "--level"
                                || name == "--block" || name == "--plot" || name == "--plugin";

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
        else
        {
            if (value.isEmpty())
                return juce::Result::fail ("--plugin needs the path of a .vst3 bundle");

            options.module = fileFromArgument (value);
        }
    }

    if (positional.size() != 2)
        return juce::Result::fail (positional.size() < 2 ? "needs an INPUT and an OUTPUT file (try --help)"
                                                         : "takes one INPUT and one OUTPUT file, not "
                                                               + juce::String (positional.size()) + " (try --help)");

    if (positional[0].isEmpty() || positional[1].isEmpty())
        return juce::Result::fail ("INPUT and OUTPUT must not be empty");

    options.input = fileFromArgument (positional[0]);
    options.output = fileFromArgument (positional[1]);

    if (options.module == juce::File())
        options.module = installedModule();

    return juce::Result::ok();
}
