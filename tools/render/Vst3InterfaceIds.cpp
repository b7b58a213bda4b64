// The identifiers of the VST3 interfaces this host asks a module for. The SDK
// declares each one in its header and leaves the definition to one unit of the
// program (the base interfaces come with the SDK's own coreiids.cpp).

#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivsthostapplication.h>

namespace Steinberg::Vst
{
    DEF_CLASS_IID (IComponent)
    DEF_CLASS_IID (IAudioProcessor)
    DEF_CLASS_IID (IHostApplication)
}
