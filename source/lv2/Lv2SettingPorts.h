#pragma once

#include "Lv2SettingPortTable.h"
#include "plugin/BraskOverdriveAudioProcessor.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

//==============================================================================
/**
    The pedal's four settings as LV2 control input ports, for hosts that keep an
    effect's settings as port values only (Audacity applies an effect, and keeps
    its presets, that way).

    The store stays the one record of the settings and the saved state stays the
    one thing a host restores; the ports are only how such a host reads and writes
    that record. They follow one rule on both sides of the plug-in: a port's value
    reaches the store only when it differs from the last value seen on that port,
    and "last seen" starts at the port's default (and, after the host restores a
    saved state, is whatever the ports then hold). So a host that never touches
    the ports (or restores an older session, whose ports sit at their defaults, or
    one whose ports went stale) keeps whatever state it restored, while a port the
    host changes wins.

    The bundle's data declares the ports after the wrapper's own, as the table in
    Lv2SettingPortTable.h gives them; firstIndex is checked against the data when
    the bundle is written. The "Default" preset sets the ports to the defaults.
*/
namespace Lv2SettingPorts
{
    /** The index of the first setting port: the wrapper's ports come first (audio
        inputs, audio outputs, then its atom input and output, latency, free-wheeling
        and enabled ports), ours after them.
    */
    uint32_t firstIndex (const juce::AudioProcessor& processor) noexcept;

    /** The store as the ports carry it: the knobs as they are, the footswitch as 1 or 0. */
    Values read (const BraskOverdriveAudioProcessor& processor) noexcept;

    /** Writes one port value into the store through the pedal's own operations,
        which are safe on the audio thread. A toggled port is on above 0, as LV2 says.
    */
    void apply (BraskOverdriveAudioProcessor& processor, Setting setting, float value) noexcept;

    //==============================================================================
    /**
        The plug-in's side: at the start of each run, the ports the host changed
        since the last run are applied to the store. Runs on the audio thread;
        never allocates or locks.
    */
    class Follower final
    {
    public:
        /** Applies each connected port whose value changed since it was last seen. */
        void apply (BraskOverdriveAudioProcessor& processor,
                    const std::array<const float*, count>& connected) noexcept;

        /** The host restored a saved state: whatever the ports hold at the next
            run counts as seen, so the restored state stands until the host changes
            a port. (Hosts connect and set their ports around a restore in either
            order; Ardour sets them after it.) Safe from any thread.
        */
        void restored() noexcept;

    private:
        Values lastSeen = defaults;
        std::atomic<bool> seeAgain { false };
    };

    //==============================================================================
    /**
        The UI's side, on the host's UI thread (the framework's message thread while
        a UI is open): a port event the host sends is applied to the store when that
        port changed, and every change of the store that the panel made (a knob,
        the footswitch, a restore) is handed back as the four values to write to the
        host. Nothing the host sent, and nothing written back to it, is written
        again: a value coming back as a port event does not re-trigger a write.
    */
    class Mirror final
    {
    public:
        /** Starts from the store as it is: the panel has changed nothing yet. */
        explicit Mirror (const BraskOverdriveAudioProcessor& processor) noexcept;

        /** A port event from the host. Returns whether the store changed. */
        bool receive (BraskOverdriveAudioProcessor& processor, Setting setting, float value) noexcept;

        /** The four values to write to the host when the store moved since it was
            last written or received; nothing otherwise. Once handed out, they count
            as the host's.
        */
        std::optional<Values> takeChanges (const BraskOverdriveAudioProcessor& processor) noexcept;

    private:
        Values lastFromHost = defaults;
        Values lastWritten;
    };
}
