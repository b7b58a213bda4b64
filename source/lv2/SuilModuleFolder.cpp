#include "SuilModuleFolder.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

namespace
{
    bool holdsX11Embedding (const std::filesystem::path& folder)
    {
        std::error_code error;

        for (const auto* module : { "libsuil_x11_in_gtk3.so", "libsuil_x11_in_gtk2.so", "libsuil_x11_in_qt5.so" })
            if (std::filesystem::is_regular_file (folder / module, error))
                return true;

        return false;
    }
}

/*  A host that shows an LV2 UI of another toolkit (ours is X11) inside its own
    window asks suil to embed it, and suil loads the module that does so from
    the folder SUIL_MODULE_DIR names. Audacity 3.2 sets that variable to a
    folder of its own, which Debian's package leaves empty (suil then looks for
    "/libsuil_x11_in_gtk3.so"), so every X11 UI falls back to the plain dialog.

    suil reads the variable each time it embeds a UI, after asking the UI's
    library for its descriptor: here. When the variable names a folder without
    the embedding modules and the suil library the host has loaded keeps them
    in its own folder, the variable is pointed there. Nothing changes for a
    host that does not use suil, sets no folder, or sets one that works; and
    once pointed at a folder that works, a second call changes nothing.
    It is a process-wide change in the host's environment, kept because
    nothing else gets the pedal's UI into Audacity's window: suil reads no
    other setting, and Audacity offers none.
*/
void repairSuilModuleFolder()
{
    const auto* named = std::getenv ("SUIL_MODULE_DIR");

    if (named == nullptr || holdsX11Embedding (named))
        return;

    // Only a suil the host already loaded: RTLD_NOLOAD never loads one.
    auto* suil = dlopen ("libsuil-0.so.0", RTLD_LAZY | RTLD_NOLOAD);

    if (suil == nullptr)
        return;

    Dl_info info {};
    const auto* symbol = dlsym (suil, "suil_instance_new");
    const auto found = symbol != nullptr && dladdr (symbol, &info) != 0 && info.dli_fname != nullptr;
    const auto modules = found ? std::filesystem::path (info.dli_fname).parent_path() / "suil-0"
                               : std::filesystem::path();
    dlclose (suil);

    if (found && holdsX11Embedding (modules))
        setenv ("SUIL_MODULE_DIR", modules.c_str(), 1);
}
