#include "vst3host/Vst3Module.h"

#include <pluginterfaces/base/funknown.h>
#include <public.sdk/source/vst/hosting/hostclasses.h>

#include <algorithm>
#include <cctype>
#include <dlfcn.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

using namespace Steinberg;

namespace
{
    // The folder of a Linux bundle that holds the shared object for this machine,
    // named as the VST3 module layout names architectures.
#if defined(__x86_64__)
    constexpr auto architectureFolder = "x86_64-linux";
#elif defined(__aarch64__)
    constexpr auto architectureFolder = "aarch64-linux";
#elif defined(__i386__)
    constexpr auto architectureFolder = "i386-linux";
#elif defined(__arm__)
    constexpr auto architectureFolder = "armv7l-linux";
#else
#error "No VST3 bundle architecture folder is known for this processor"
#endif

    /** The host as a module sees it: the SDK's host application (it makes the
        messages and attribute lists a module may ask for), under the tool's name.
    */
    class RenderHostApplication final : public Vst::HostApplication
    {
    public:
        tresult PLUGIN_API getName (Vst::String128 name) override
        {
            static constexpr char hostName[] = "brask-render";
            std::copy (std::begin (hostName), std::end (hostName), name);
            return kResultOk;
        }
    };

    /** One for the whole process, made on first use and never released: every module
        keeps it, and modules are never unloaded.
    */
    Vst::IHostApplication& hostApplication()
    {
        static auto* host = new RenderHostApplication();
        return *host;
    }

    bool hasVst3Extension (const std::filesystem::path& path)
    {
        auto extension = path.extension().string();
        std::transform (extension.begin(), extension.end(), extension.begin(),
                        [] (unsigned char c) { return (char) std::tolower (c); });
        return extension == ".vst3";
    }

    std::string lastLoaderError()
    {
        const auto* error = dlerror();
        return error != nullptr ? std::string (": ") + error : std::string();
    }
}

//==============================================================================
Vst3Module::Vst3Module (void* sharedObject, IPluginFactory* moduleFactory) noexcept
    : handle (sharedObject)
    , factory (moduleFactory)
{
}

FUnknown* Vst3Module::getHostContext() const noexcept
{
    return &hostApplication();
}

Vst3Module::Opened Vst3Module::open (const std::string& bundlePath)
{
    namespace fs = std::filesystem;

    // "Name.vst3/" as a shell completes it is still the bundle.
    auto bundle = fs::path (bundlePath);

    while (bundle.has_relative_path() && ! bundle.has_filename())
        bundle = bundle.parent_path();

    std::error_code ignored;

    if (! fs::exists (bundle, ignored))
        return { nullptr, "cannot find the pedal's module '" + bundlePath + "' (run scripts/demo to install it, or pass --plugin)" };

    if (! hasVst3Extension (bundle))
        return { nullptr, "'" + bundlePath + "' is not a VST3 module (a .vst3 bundle)" };

    const auto cannotLoad = "cannot load the VST3 module '" + bundlePath + "'";
    const auto sharedObject = bundle / "Contents" / architectureFolder / (bundle.stem().string() + ".so");

    // RTLD_LOCAL: the module's symbols stay its own, whatever this process carries.
    auto* handle = dlopen (sharedObject.c_str(), RTLD_NOW | RTLD_LOCAL);

    if (handle == nullptr)
        return { nullptr, cannotLoad + lastLoaderError() };

    static std::mutex lock;
    static std::vector<std::unique_ptr<Vst3Module>> openModules;
    const std::lock_guard<std::mutex> guard (lock);

    // Another path to a shared object already open (a link, "..") is the same module:
    // its entry point has run, so drop the extra reference this dlopen took.
    for (auto& module : openModules)
    {
        if (module->handle == handle)
        {
            dlclose (handle);
            return { module.get(), {} };
        }
    }

    using EntryFunction = bool (*) (void*);
    using ExitFunction = bool (*)();
    using FactoryFunction = IPluginFactory* (*) ();

    auto* entry = reinterpret_cast<EntryFunction> (dlsym (handle, "ModuleEntry"));
    auto* exit = reinterpret_cast<ExitFunction> (dlsym (handle, "ModuleExit"));
    auto* getFactory = reinterpret_cast<FactoryFunction> (dlsym (handle, "GetPluginFactory"));

    if (entry == nullptr || getFactory == nullptr)
    {
        dlclose (handle);
        return { nullptr, cannotLoad + ": it has no VST3 entry point" };
    }

    if (! entry (handle))
    {
        dlclose (handle);
        return { nullptr, cannotLoad + ": its entry point failed" };
    }

    auto* factory = getFactory();

    if (factory == nullptr)
    {
        if (exit != nullptr)
            exit();

        dlclose (handle);
        return { nullptr, cannotLoad + ": it has no plug-in factory" };
    }

    // As a DAW does: a factory that can take the host's context gets it before any instance exists.
    if (FUnknownPtr<IPluginFactory3> factory3 (factory); factory3 != nullptr)
        factory3->setHostContext (&hostApplication());

    openModules.push_back (std::unique_ptr<Vst3Module> (new Vst3Module (handle, factory)));
    return { openModules.back().get(), {} };
}
