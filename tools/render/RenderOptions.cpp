#include "RenderOptions.h"

#include "AudioFile.h"
#include "FilePath.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace
{
    // The whitespace a user may leave around a value by quoting it.
    std::string trim (const std::string& text)
    {
        const auto isSpace = [] (char c) { return std::isspace ((unsigned char) c) != 0; };
        auto start = std::find_if_not (text.begin(), text.end(), isSpace);
        auto end = std::find_if_not (text.rbegin(), std::string::const_reverse_iterator (start), isSpace).base();
        return std::string (start, end);
    }

    std::string lowerCase (std::string text)
    {
        for (auto& c : text)
            c = (char) std::tolower ((unsigned char) c);

        return text;
    }

    bool containsOnly (const std::string& text, const char* allowed)
    {
        return text.find_first_not_of (allowed) == std::string::npos;
    }

    // Only a plain decimal number will do: "0.5" and "1" but not "", "0.5x", "nan" or "inf".
    bool parseKnobValue (const std::string& text, float& value)
    {
        const auto trimmed = trim (text);

        if (trimmed.empty())
            return false;

        const auto* start = trimmed.c_str();
        char* end = nullptr;
        const auto parsed = std::strtod (start, &end);

        if (end == start || *end != '\0' || ! std::isfinite (parsed))
            return false;

        if (parsed < 0.0 || parsed > 1.0)
            return false;

        value = (float) parsed;
        return true;
    }

    // A whole number of at most maximumDigits digits, from 1 to maximum.
    bool parseCount (const std::string& text, size_t maximumDigits, int maximum, int& value)
    {
        const auto trimmed = trim (text);

        if (trimmed.empty() || trimmed.size() > maximumDigits || ! containsOnly (trimmed, "0123456789"))
            return false;

        const auto parsed = std::atoi (trimmed.c_str());

        if (parsed < 1 || parsed > maximum)
            return false;

        value = parsed;
        return true;
    }

    bool parseBits (const std::string& text, int& value)
    {
        const auto trimmed = lowerCase (trim (text));
        const std::pair<const char*, int> choices[] = { { "8", 8 }, { "16", 16 }, { "24", 24 }, { "32", 32 }, { "float", -32 }, { "double", -64 } };

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

    /** What the options set: RenderOptions itself, and the paths, which are made
        absolute only once the current folder is known to exist.
    */
    struct Given
    {
        RenderOptions& options;
        std::string plot, outputFolder, module;
    };

    /** One option of the command line: its names, whether it takes a value ("--drive
        0.7" and "--drive=0.7" alike), and what it sets, returning its refusal of the
        value (empty when taken).
    */
    struct Option
    {
        const char* name;
        const char* shortName;  // nullptr: none
        bool takesValue;
        std::string (*take) (const std::string& value, Given& given);
    };

    std::string knob (const char* name, float& setting, const std::string& value)
    {
        return parseKnobValue (value, setting) ? std::string() : std::string (name) + " takes a number from 0 to 1, not '" + value + "'";
    }

    const Option optionTable[] {
        { "--help", "-h", false, [] (const std::string&, Given& given) { given.options.showHelp = true; return std::string(); } },
        { "--version", nullptr, false, [] (const std::string&, Given& given) { given.options.showVersion = true; return std::string(); } },
        { "--off", nullptr, false, [] (const std::string&, Given& given) { given.options.settings.effectOn = false; return std::string(); } },
        { "--accept-short", nullptr, false, [] (const std::string&, Given& given) { given.options.acceptShort = true; return std::string(); } },
        { "--drive", nullptr, true, [] (const std::string& value, Given& given) { return knob ("--drive", given.options.settings.drive, value); } },
        { "--tone", nullptr, true, [] (const std::string& value, Given& given) { return knob ("--tone", given.options.settings.tone, value); } },
        { "--level", nullptr, true, [] (const std::string& value, Given& given) { return knob ("--level", given.options.settings.level, value); } },
        { "--block", nullptr, true, [] (const std::string& value, Given& given) {
             return parseCount (value, 6, RenderOptions::maximumBlockSize, given.options.blockSize)
                        ? std::string()
                        : "--block takes a whole number of samples from 1 to " + std::to_string (RenderOptions::maximumBlockSize) + ", not '" + value + "'";
         } },
        { "--plot", nullptr, true, [] (const std::string& value, Given& given) {
             if (value.empty())
                 return std::string ("--plot needs a file name");

             if (auto refused = filepath::badOutputName (value); ! refused.empty())
                 return "--plot: " + refused;

             given.plot = value;
             return lowerCase (filepath::extension (value)) == ".png" ? std::string()
                                                                      : std::string ("--plot writes a PNG picture: give it a name ending in .png");
         } },
        { "--bits", nullptr, true, [] (const std::string& value, Given& given) {
             return parseBits (value, given.options.bits) ? std::string() : "--bits takes 8, 16, 24, 32, float or double, not '" + value + "'";
         } },
        { "--out-dir", nullptr, true, [] (const std::string& value, Given& given) {
             given.outputFolder = value;
             return value.empty() ? std::string ("--out-dir needs a folder") : std::string();
         } },
        { "--format", nullptr, true, [] (const std::string& value, Given& given) {
             auto extension = lowerCase (trim (value));
             extension.erase (0, extension.find_first_not_of ('.'));

             if (extension.empty() || ! containsOnly (extension, "abcdefghijklmnopqrstuvwxyz0123456789"))
                 return "--format takes a file extension such as wav or flac, not '" + value + "'";

             given.options.outputExtension = "." + extension;

             // Known before any work: every input would fail for it.
             if (brask::audiofile::containerForFileName ("x" + given.options.outputExtension) == 0)
                 return "--format cannot write '" + extension + "' files: give one of " + brask::audiofile::writableExtensions();

             return std::string();
         } },
        { "--jobs", nullptr, true, [] (const std::string& value, Given& given) {
             return parseCount (value, 3, RenderOptions::maximumJobs, given.options.jobs)
                        ? std::string()
                        : "--jobs takes a whole number from 1 to " + std::to_string (RenderOptions::maximumJobs) + ", not '" + value + "'";
         } },
        { "--plugin", nullptr, true, [] (const std::string& value, Given& given) {
             given.module = value;
             return value.empty() ? std::string ("--plugin needs the path of a .vst3 bundle") : std::string();
         } },
    };

    /** The paths given, made absolute: from the current folder, which must exist. */
    std::string takePaths (Given& given, const std::vector<std::string>& positional)
    {
        auto& options = given.options;

        for (const auto& argument : positional)
            if (argument.empty())
                return "file names must not be empty";

        // Relative names are taken from the current folder; once it is deleted there is
        // nowhere they could lead ("/" would be a guess).
        const auto relative = [] (const std::string& argument) { return ! argument.empty() && argument[0] != '/'; };
        auto needsCurrentFolder = std::any_of (positional.begin(), positional.end(), relative);

        for (const auto* path : { &given.plot, &given.outputFolder, &given.module })
            needsCurrentFolder = needsCurrentFolder || relative (*path);

        if (needsCurrentFolder && filepath::currentFolder().empty())
            return "the current folder no longer exists (deleted or moved): change to a folder that exists, or give full paths";

        if (! given.plot.empty())
            options.plot = filepath::absolute (given.plot);

        if (! given.outputFolder.empty())
            options.outputFolder = filepath::absolute (given.outputFolder);

        if (! given.module.empty())
            options.module = filepath::absolute (given.module);

        if (options.module.empty())
            options.module = RenderOptions::installedModule();

        return {};
    }

    /** INPUT... --out-dir DIR: every output named after its input. */
    std::string takeBatch (const std::vector<std::string>& positional, RenderOptions& options)
    {
        if (positional.empty())
            return "--out-dir needs at least one INPUT (try --help)";

        if (! options.plot.empty())
            return "--plot draws one render: use it with one INPUT and OUTPUT, without --out-dir";

        for (const auto& argument : positional)
            options.inputs.push_back (filepath::absolute (argument));

        // Two inputs of one name would overwrite each other's output.
        std::vector<std::string> outputs;

        for (const auto& input : options.inputs)
        {
            const auto output = options.outputFor (input);

            if (std::find (outputs.begin(), outputs.end(), output) != outputs.end())
                return "two inputs would both be written to '" + output + "'";

            outputs.push_back (output);
        }

        return {};
    }

    /** INPUT OUTPUT. */
    std::string takeSingleFile (const std::vector<std::string>& positional, RenderOptions& options)
    {
        if (! options.outputExtension.empty() || options.jobs != 0)
            return "--format and --jobs go with --out-dir";

        if (positional.size() != 2)
            return positional.size() < 2 ? "needs an INPUT and an OUTPUT file (try --help)"
                                         : "takes one INPUT and one OUTPUT file, not " + std::to_string (positional.size())
                                               + " (try --help)";

        if (auto refused = filepath::badOutputName (positional[1]); ! refused.empty())
            return refused;

        options.inputs.push_back (filepath::absolute (positional[0]));
        options.output = filepath::absolute (positional[1]);
        return {};
    }

    const Option* findOption (const std::string& name)
    {
        for (const auto& option : optionTable)
            if (name == option.name || (option.shortName != nullptr && name == option.shortName))
                return &option;

        return nullptr;
    }
}

//==============================================================================
std::vector<std::string> RenderOptions::moduleCandidates()
{
    // Installed as <prefix>/bin/brask-render, the module of the same install is in
    // <prefix>/lib/vst3: a system-wide or packaged copy then works as it stands.
    const auto prefix = filepath::parent (filepath::parent (filepath::executable()));

    return { filepath::join (prefix, "lib/vst3/" BRASK_VST3_BUNDLE_NAME),
             filepath::join (filepath::homeFolder(), ".vst3/" BRASK_VST3_BUNDLE_NAME) };
}

std::string RenderOptions::installedModule()
{
    const auto candidates = moduleCandidates();

    for (const auto& candidate : candidates)
        if (filepath::isDirectory (candidate))
            return candidate;

    // None is there: name the place a user is most likely to put it.
    return candidates.back();
}

std::string RenderOptions::outputFor (const std::string& input) const
{
    const auto name = filepath::fileName (input);
    return filepath::join (outputFolder, outputExtension.empty() ? name : filepath::withoutExtension (name) + outputExtension);
}

const char* RenderOptions::usage()
{
    return "Usage: brask-render [options] INPUT OUTPUT\n"
           "       brask-render [options] INPUT... --out-dir DIR [--format EXT] [--jobs N]\n"
           "\n"
           "Renders audio files (WAV, RF64, Wave64, AIFF, CAF, FLAC, Ogg Vorbis, Opus, MP3;\n"
           "mono or stereo) through the Brask Overdrive VST3 module. Each output is written\n"
           "in the format its extension names, with the input's sample rate and channels,\n"
           "and its sample format where that format holds it exactly; lossy ADPCM, GSM and\n"
           "G.72x inputs come out as 24-bit PCM.\n"
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
           "  --jobs N                         with --out-dir: files at once (default: cores)\n"
           "  --version                        say which version this is\n";
}

std::string RenderOptions::parse (const std::vector<std::string>& arguments, RenderOptions& options)
{
    std::vector<std::string> positional;
    Given given { options, {}, {}, {} };
    auto onlyPositionalFromHere = false;

    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const auto& argument = arguments[i];

        if (onlyPositionalFromHere || argument.empty() || argument[0] != '-' || argument == "-")
        {
            positional.push_back (argument);
            continue;
        }

        if (argument == "--")
        {
            onlyPositionalFromHere = true;
            continue;
        }

        // "--drive 0.7" and "--drive=0.7" alike; a switch takes no "=".
        const auto equals = argument.find ('=');
        const auto* option = findOption (argument.substr (0, equals));

        if (option == nullptr || (! option->takesValue && equals != std::string::npos))
            return "unknown option '" + argument + "' (try --help)";

        std::string value;

        if (option->takesValue && equals != std::string::npos)
            value = argument.substr (equals + 1);
        else if (option->takesValue && i + 1 >= arguments.size())
            return std::string (option->name) + " needs a value";
        else if (option->takesValue)
            value = arguments[++i];

        if (auto refused = option->take (value, given); ! refused.empty())
            return refused;

        // Help and version are all that is done, whatever else is given.
        if (options.showHelp || options.showVersion)
            return {};
    }

    if (auto refused = takePaths (given, positional); ! refused.empty())
        return refused;

    return options.isBatch() ? takeBatch (positional, options) : takeSingleFile (positional, options);
}
