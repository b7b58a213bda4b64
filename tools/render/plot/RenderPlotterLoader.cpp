#include "RenderPlotterEntry.h"

#include "FilePath.h"

#include <dlfcn.h>
#include <unistd.h>

#ifndef BRASK_RENDER_PLOT_DIR_FROM_BIN
#error "the build names the plot library's installed folder, relative to the tool's"
#endif

namespace
{
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
    // Beside the program in the build tree; in its private folder under
    // <prefix>/<libdir> once installed. The library that is there is the one
    // loaded; when neither is, the installed place is the one to name.
    const auto folder = filepath::parent (filepath::executable());
    const auto beside = filepath::join (folder, renderPlotLibraryName);
    const auto installed = filepath::absolute (folder + "/" BRASK_RENDER_PLOT_DIR_FROM_BIN "/" + renderPlotLibraryName);
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
