#include "RenderPlotterEntry.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <vector>

#ifndef BRASK_RENDER_PLOT_DIR_FROM_BIN
#error "the build names the plot library's installed folder, relative to the tool's"
#endif

namespace
{
    /** The folder of the running program, as the system knows it (links resolved). */
    std::string executableFolder()
    {
        std::vector<char> path (PATH_MAX + 1, '\0');
        const auto length = ::readlink ("/proc/self/exe", path.data(), path.size() - 1);

        if (length <= 0)
            return ".";

        const std::string executable (path.data(), (size_t) length);
        const auto slash = executable.find_last_of ('/');
        return slash == std::string::npos ? std::string (".") : executable.substr (0, slash);
    }

    /** folder/relative, with each leading ".." taken off the folder, so that
        messages name /usr/lib/... rather than /usr/bin/../lib/...
    */
    std::string joined (std::string folder, std::string relative)
    {
        for (auto slash = folder.find_last_of ('/');
             relative.compare (0, 3, "../") == 0 && slash != std::string::npos && slash > 0;
             slash = folder.find_last_of ('/'))
        {
            folder.erase (slash);
            relative.erase (0, 3);
        }

        return folder + "/" + relative;
    }

    /** dlerror()'s words, without the path it starts with when the caller names it already. */
    std::string loaderError (const std::string& path)
    {
        const auto* reason = ::dlerror();
        std::string text = reason != nullptr ? reason : "unknown error";

        if (text.compare (0, path.size() + 2, path + ": ") == 0)
            text.erase (0, path.size() + 2);

        return text;
    }
}

std::unique_ptr<RenderPlotter> loadRenderPlotter (double sampleRate, std::int64_t totalFrames, int numChannels, std::string& error)
{
    // Beside the program in the build tree; under <prefix>/<libdir>/brask-overdrive
    // once installed. The library that is there is the one loaded; when neither
    // is, the installed place is the one to name.
    const auto folder = executableFolder();
    const auto beside = folder + "/" + renderPlotLibraryName;
    const auto installed = joined (folder, std::string (BRASK_RENDER_PLOT_DIR_FROM_BIN "/") + renderPlotLibraryName);
    const auto& path = ::access (beside.c_str(), F_OK) == 0 ? beside : installed;

    // Kept loaded until the program ends: plotters made from it may still be alive,
    // and a library carrying a framework is not made to be unloaded.
    auto* library = ::dlopen (path.c_str(), RTLD_NOW | RTLD_LOCAL);

    if (library == nullptr)
    {
        error = "cannot load '" + path + "': " + loaderError (path);
        return {};
    }

    auto* create = reinterpret_cast<CreateRenderPlotter> (::dlsym (library, renderPlotterEntryName));

    if (create == nullptr)
    {
        error = "'" + path + "' is not the plot library of this brask-render (" + loaderError (path) + ")";
        return {};
    }

    std::unique_ptr<RenderPlotter> plotter (create (sampleRate, totalFrames, numChannels));

    if (plotter == nullptr)
        error = "the plot library at '" + path + "' could not set up a plot (out of memory)";

    return plotter;
}
