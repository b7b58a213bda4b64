#pragma once

#include <pluginterfaces/base/ipluginbase.h>

#include <string>

//==============================================================================
/**
    A VST3 module loaded into this process as a DAW loads it: the bundle's shared
    object opened, its entry point run, its factory at hand, and the host context
    every instance made from it is initialised with.

    A module once opened stays loaded and entered for the life of the process.
    Every instance made from it (several at once when many files render side by
    side) can rely on that without counting, and a module that starts threads of
    its own is never unloaded under them, as DAWs also avoid.
*/
class Vst3Module final
{
public:
    /** What open() gives: the module, or nullptr and the one-line message for the user. */
    struct Opened
    {
        Vst3Module* module = nullptr;
        std::string error;
    };

    /** The module in this bundle (a .vst3 folder), opened and entered on first use;
        later calls that reach the same shared object give the same module.
    */
    static Opened open (const std::string& bundlePath);

    Steinberg::IPluginFactory& getFactory() const noexcept { return *factory; }

    /** The host application given to every instance's initialize(). */
    Steinberg::FUnknown* getHostContext() const noexcept;

private:
    Vst3Module (void* sharedObject, Steinberg::IPluginFactory* moduleFactory) noexcept;

    void* handle;
    Steinberg::IPluginFactory* factory;

    Vst3Module (const Vst3Module&) = delete;
    Vst3Module& operator= (const Vst3Module&) = delete;
};
