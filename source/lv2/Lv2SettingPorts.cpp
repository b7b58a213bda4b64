#include "Lv2SettingPorts.h"

namespace Lv2SettingPorts
{
    namespace
    {
        // The wrapper's ports that are not audio: atom input, atom output, latency,
        // free-wheeling, enabled.
        constexpr uint32_t wrapperControlPorts = 5;

        bool isSame (float a, float b) noexcept
        {
            return BraskOverdriveAudioProcessor::isSameStoredValue (a, b);
        }
    }

    uint32_t firstIndex (const juce::AudioProcessor& processor) noexcept
    {
        return (uint32_t) (processor.getTotalNumInputChannels() + processor.getTotalNumOutputChannels())
               + wrapperControlPorts;
    }

    Values read (const BraskOverdriveAudioProcessor& processor) noexcept
    {
        return { processor.drive.load(), processor.tone.load(), processor.level.load(),
                 processor.effectOn.load() ? 1.0f : 0.0f };
    }

    void apply (BraskOverdriveAudioProcessor& processor, Setting setting, float value) noexcept
    {
        switch (setting)
        {
            case drive: processor.setDrive (value); break;
            case tone: processor.setTone (value); break;
            case level: processor.setLevel (value); break;
            case effectOn: processor.setEffectOn (value > 0.0f); break;
            case count: break;
        }
    }

    //==============================================================================
    void Follower::apply (BraskOverdriveAudioProcessor& processor,
                          const std::array<const float*, count>& connected) noexcept
    {
        const auto afterRestore = seeAgain.exchange (false);

        for (auto setting = 0; setting < count; ++setting)
        {
            if (connected[(size_t) setting] == nullptr)
                continue;

            const auto value = *connected[(size_t) setting];
            auto& seen = lastSeen[(size_t) setting];

            if (isSame (value, seen))
                continue;

            seen = value;

            if (! afterRestore)
                Lv2SettingPorts::apply (processor, (Setting) setting, value);
        }
    }

    void Follower::restored() noexcept
    {
        seeAgain.store (true);
    }

    //==============================================================================
    Mirror::Mirror (const BraskOverdriveAudioProcessor& processor) noexcept
        : lastWritten (read (processor))
    {
    }

    bool Mirror::receive (BraskOverdriveAudioProcessor& processor, Setting setting, float value) noexcept
    {
        if (setting < 0 || setting >= count)
            return false;

        auto& fromHost = lastFromHost[(size_t) setting];

        if (isSame (value, fromHost))
            return false;

        fromHost = value;
        const auto before = read (processor)[(size_t) setting];
        Lv2SettingPorts::apply (processor, setting, value);
        const auto after = read (processor)[(size_t) setting];

        // What the host sent is in the store now (clamped, where it had to be):
        // not a change of the panel's to write back.
        lastWritten[(size_t) setting] = after;
        return ! isSame (before, after);
    }

    std::optional<Values> Mirror::takeChanges (const BraskOverdriveAudioProcessor& processor) noexcept
    {
        const auto now = read (processor);
        auto moved = false;

        for (auto setting = 0; setting < count; ++setting)
            moved = moved || ! isSame (now[(size_t) setting], lastWritten[(size_t) setting]);

        if (! moved)
            return std::nullopt;

        lastWritten = now;
        lastFromHost = now;
        return now;
    }
}
