#pragma once

class BraskOverdriveAudioProcessor;

//==============================================================================
/**
    The module's entry (createPluginFilter), through which every format wrapper
    makes its pedal, and the hand-over our LV2 layer needs from it: the framework's
    LV2 wrapper makes the pedal inside its own instantiate and gives no way to
    reach it, so the entry leaves the pedal it made where the caller, on the same
    thread, can pick it up right after.
*/
namespace ModuleEntry
{
    /** The pedal the entry last made on the calling thread, or null. One record per
        thread, so that instances made on different threads never mix.
    */
    BraskOverdriveAudioProcessor* lastMadeOnThisThread() noexcept;

    /** Clears what lastMadeOnThisThread gives, so that a wrapper that made no pedal
        is never mistaken for one that made the pedal a former instance still owns
        (or one already deleted).
    */
    void forgetLastMadeOnThisThread() noexcept;
}
