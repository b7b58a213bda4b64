#include "gui/PedalPictures.h"

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace
{
    std::atomic<int> numDecodedInProcess { 0 };

    juce::Image decode (PedalPictures::Embedded picture)
    {
        ++numDecodedInProcess;
        return juce::ImageFileFormat::loadFrom (picture.data, (size_t) picture.size);
    }
}

//==============================================================================
std::shared_ptr<PedalPictures> PedalPictures::getShared()
{
    // Held weakly here: the pedals and their editors keep the set alive, not the module.
    static std::mutex sharedLock;
    static std::weak_ptr<PedalPictures> shared;

    const std::lock_guard<std::mutex> guard (sharedLock);
    auto set = shared.lock();

    if (set == nullptr)
    {
        set = std::make_shared<PedalPictures>();
        shared = set;
    }

    return set;
}

PedalPictures::PedalPictures() = default;
PedalPictures::~PedalPictures() = default;

int PedalPictures::getNumDecodedInProcess() noexcept
{
    return numDecodedInProcess.load();
}

//==============================================================================
juce::Image PedalPictures::get (Embedded picture)
{
    const std::lock_guard<std::mutex> guard (lock);
    const auto found = decoded.find (picture.data);

    if (found != decoded.end())
        return found->second;

    return decoded[picture.data] = decode (picture);
}

void PedalPictures::decodeAll (const Embedded* pictures, size_t count)
{
    const std::lock_guard<std::mutex> guard (lock);
    std::vector<Embedded> missing;

    for (size_t n = 0; n < count; ++n)
        if (decoded.count (pictures[n].data) == 0)
            missing.push_back (pictures[n]);

    if (missing.empty())
        return;

    // The first pedal opened in a process decodes the whole filmstrip: spread over
    // every core it takes a fraction of the time. The helpers only decode; this
    // thread files the pictures once they have all ended.
    std::vector<juce::Image> results (missing.size());
    std::atomic<size_t> next { 0 };

    const auto decodeUntilDone = [&] {
        for (auto i = next++; i < missing.size(); i = next++)
            results[i] = decode (missing[i]);
    };

    std::vector<std::thread> helpers;
    const auto numHelpers = juce::jlimit (0, 15, juce::SystemStats::getNumCpus() - 1);

    try
    {
        for (int i = 0; i < numHelpers; ++i)
            helpers.emplace_back (decodeUntilDone);
    }
    catch (const std::system_error&)
    {
        // A host short of threads: the helpers there are, and this thread, decode the rest.
    }

    decodeUntilDone();

    for (auto& helper : helpers)
        helper.join();

    for (size_t i = 0; i < missing.size(); ++i)
        decoded[missing[i].data] = std::move (results[i]);
}
