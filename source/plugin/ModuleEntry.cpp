#include "ModuleEntry.h"
#include "BraskOverdriveAudioProcessor.h"

namespace
{
    thread_local BraskOverdriveAudioProcessor* lastMade = nullptr;
}

BraskOverdriveAudioProcessor* ModuleEntry::lastMadeOnThisThread() noexcept
{
    return lastMade;
}

void ModuleEntry::forgetLastMadeOnThisThread() noexcept
{
    lastMade = nullptr;
}

//==============================================================================
// The framework's wrapper owns what this returns.
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    lastMade = new BraskOverdriveAudioProcessor();
    return lastMade;
}
