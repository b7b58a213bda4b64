#pragma once

#include "plugin/PedalSettings.h"

#include <array>
#include <memory>
#include <string>

class Vst3Module;

//==============================================================================
/**
    The pedal as a DAW has it: the VST3 module loaded and one instance of the
    effect made from it through the plug-in interfaces, the settings handed over
    as its saved state, and audio streamed through it block by block.

    load(), prepare() and release() run on the process's main thread, which
    plays the host's UI thread; process() may run on another thread, one thread
    per pedal. Rendering is offline: the module may take its time over a block.
*/
class HostedPedal final
{
public:
    HostedPedal();
    ~HostedPedal();

    /** Loads the bundle (a .vst3 folder) and makes one instance of the pedal from it.
        Returns an empty string on success, else the one-line message for the user.
    */
    std::string load (const std::string& bundlePath);

    /** Mono or stereo at the file's rate, the settings given as a host restores a
        project (into the component's state), prepared for blocks of at most
        maximumBlockSize samples, offline. An instance that has played before is
        replaced by a fresh one first, so that every file starts from a pedal just
        switched on, as a render of that file alone would. Empty string on
        success, else the message.
    */
    std::string prepare (int numChannels, double sampleRate, int maximumBlockSize, const PedalSettings& settings);

    /** One block, in place: channels[c][0 .. numSamples) in, the pedal's output out.
        False when the module refused it (the block is then silent).
    */
    bool process (float* const* channels, int numSamples);

    void release();

private:
    //==============================================================================
    struct Instance;

    std::string createInstance();
    void destroyInstance();
    std::string applySettings (const PedalSettings& settings);
    std::string cannotStart() const;

    std::string bundlePath;
    Vst3Module* module = nullptr;
    std::array<char, 16> effectClassId {};
    std::unique_ptr<Instance> instance;

    HostedPedal (const HostedPedal&) = delete;
    HostedPedal& operator= (const HostedPedal&) = delete;
};
