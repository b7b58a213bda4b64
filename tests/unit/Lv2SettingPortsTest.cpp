#include "lv2/Lv2SettingPorts.h"
#include "plugin/PedalSettings.h"

#include <gtest/gtest.h>

#include <limits>

// The rule between the LV2 setting ports and the pedal's store: a port reaches the
// store only when it changed since it was last seen (from the defaults on), so a
// restored state survives ports a host never touched; a port the host changes
// wins; and what the UI writes to the host never comes back as a change.

namespace
{
    using Lv2SettingPorts::Values;

    const PedalSettings restored { 0.9f, 0.2f, 0.7f, false };

    void restore (BraskOverdriveAudioProcessor& pedal, const PedalSettings& settings)
    {
        const auto blob = settings.toBytes();
        pedal.setStateInformation (blob.data(), (int) blob.size());
    }

    // The store, and what the chain plays from it (a knob reaches the sound only
    // through the pedal's operations or a restore, so both are checked).
    void expectPedalHolds (const BraskOverdriveAudioProcessor& pedal, const PedalSettings& settings)
    {
        EXPECT_EQ (pedal.drive.load(), settings.drive);
        EXPECT_EQ (pedal.tone.load(), settings.tone);
        EXPECT_EQ (pedal.level.load(), settings.level);
        EXPECT_EQ (pedal.effectOn.load(), settings.effectOn);
        EXPECT_EQ (pedal.getDriveGain(), BraskOverdriveAudioProcessor::driveGainFor (settings.drive));
        EXPECT_EQ (pedal.getToneCutoffHz(), BraskOverdriveAudioProcessor::toneCutoffFor (settings.tone));
        EXPECT_EQ (pedal.getLevelGain(), BraskOverdriveAudioProcessor::levelGainFor (settings.level));
    }

    // Ports as a host connects them: four floats it writes between runs.
    struct HostPorts
    {
        Values values = Lv2SettingPorts::defaults;

        std::array<const float*, Lv2SettingPorts::count> connected()
        {
            return { &values[0], &values[1], &values[2], &values[3] };
        }
    };
}

//==============================================================================
TEST (Lv2SettingPorts, FollowTheWrappersPortsAndStartAtTheStoresDefaults)
{
    BraskOverdriveAudioProcessor pedal;

    // Stereo in and out: audio 0-3, then the wrapper's atom in/out, latency,
    // free-wheeling and enabled (4-8); ours from 9 (drive, tone, level, effectOn).
    EXPECT_EQ (Lv2SettingPorts::firstIndex (pedal), 9u);
    EXPECT_EQ (Lv2SettingPorts::read (pedal), Lv2SettingPorts::defaults);
}

TEST (Lv2SettingPortsFollower, PortsAtTheirDefaultsNeverOverrideARestoredState)
{
    BraskOverdriveAudioProcessor pedal;
    HostPorts ports;
    Lv2SettingPorts::Follower follower;

    // An older session: the host restores the state, its ports stay at the defaults.
    restore (pedal, restored);

    for (auto run = 0; run < 3; ++run)
        follower.apply (pedal, ports.connected());

    expectPedalHolds (pedal, restored);
}

TEST (Lv2SettingPortsFollower, AChangedPortWinsOnceAndALaterRestoreStands)
{
    BraskOverdriveAudioProcessor pedal;
    HostPorts ports;
    Lv2SettingPorts::Follower follower;
    restore (pedal, restored);

    ports.values[Lv2SettingPorts::tone] = 0.3f;
    ports.values[Lv2SettingPorts::effectOn] = 1.0f;  // unchanged from its default: not applied
    follower.apply (pedal, ports.connected());

    auto expected = restored;
    expected.tone = 0.3f;
    expectPedalHolds (pedal, expected);

    // The port holds still: the next restore is what the pedal plays.
    const PedalSettings later { 0.1f, 0.8f, 0.4f, true };
    restore (pedal, later);
    follower.apply (pedal, ports.connected());
    expectPedalHolds (pedal, later);
}

TEST (Lv2SettingPortsFollower, AfterARestorePortsHoldingOtherValuesStayIgnoredUntilTheyChange)
{
    BraskOverdriveAudioProcessor pedal;
    HostPorts ports;
    Lv2SettingPorts::Follower follower;

    // A host whose ports went stale (a state-only preset loaded meanwhile) saved
    // them with the state; reloading, it restores the state and sets the ports.
    restore (pedal, restored);
    follower.restored();
    ports.values = { 0.1f, 0.1f, 0.1f, 1.0f };
    follower.apply (pedal, ports.connected());
    follower.apply (pedal, ports.connected());
    expectPedalHolds (pedal, restored);

    // A port the host changes afterwards wins, as ever.
    ports.values[Lv2SettingPorts::level] = 0.2f;
    follower.apply (pedal, ports.connected());
    auto expected = restored;
    expected.level = 0.2f;
    expectPedalHolds (pedal, expected);
}

TEST (Lv2SettingPortsFollower, TheFootswitchPortIsOnAboveZero)
{
    struct Case
    {
        float port;
        bool on;
    };

    // From a pedal switched on, the port moving away from its default of 1.
    for (const auto& c : { Case { 0.0f, false }, Case { -1.0f, false }, Case { 0.25f, true }, Case { 2.0f, true } })
    {
        BraskOverdriveAudioProcessor pedal;
        HostPorts ports;
        Lv2SettingPorts::Follower follower;
        pedal.setEffectOn (! c.on);

        ports.values[Lv2SettingPorts::effectOn] = c.port;
        follower.apply (pedal, ports.connected());
        EXPECT_EQ (pedal.effectOn.load(), c.on) << "port value " << c.port;
    }
}

TEST (Lv2SettingPortsFollower, OddPortValuesAreClampedOnceAndUnconnectedPortsIgnored)
{
    BraskOverdriveAudioProcessor pedal;
    HostPorts ports;
    Lv2SettingPorts::Follower follower;

    ports.values[Lv2SettingPorts::drive] = std::numeric_limits<float>::quiet_NaN();
    ports.values[Lv2SettingPorts::level] = 1.7f;
    follower.apply (pedal, ports.connected());
    EXPECT_EQ (pedal.drive.load(), 0.5f);  // NaN is the knob's middle
    EXPECT_EQ (pedal.level.load(), 1.0f);

    // A NaN that holds still is no change: a restore after it stands.
    restore (pedal, restored);
    auto connected = ports.connected();
    connected[Lv2SettingPorts::tone] = nullptr;
    ports.values[Lv2SettingPorts::tone] = 0.0f;  // not connected: never read
    follower.apply (pedal, connected);
    expectPedalHolds (pedal, restored);
}

//==============================================================================
TEST (Lv2SettingPortsMirror, APanelChangeIsWrittenOnceAsTheFourValuesAndItsEchoChangesNothing)
{
    BraskOverdriveAudioProcessor pedal;
    Lv2SettingPorts::Mirror mirror (pedal);
    EXPECT_FALSE (mirror.takeChanges (pedal).has_value());  // nothing changed yet

    pedal.setDrive (0.8f);      // a knob turn
    pedal.setEffectOn (false);  // the footswitch
    const auto written = mirror.takeChanges (pedal);
    ASSERT_TRUE (written.has_value());
    EXPECT_EQ (*written, (Values { 0.8f, 0.5f, 0.5f, 0.0f }));
    EXPECT_FALSE (mirror.takeChanges (pedal).has_value());

    // The host sends back what it was written: nothing to apply, nothing to write.
    for (auto setting = 0; setting < Lv2SettingPorts::count; ++setting)
        EXPECT_FALSE (mirror.receive (pedal, (Lv2SettingPorts::Setting) setting, (*written)[(size_t) setting]));

    EXPECT_FALSE (mirror.takeChanges (pedal).has_value());
    expectPedalHolds (pedal, { 0.8f, 0.5f, 0.5f, false });

    // Another turn, which this host does not echo: its ports hold what was
    // written, so a preset putting back the earlier values is a change.
    pedal.setDrive (0.6f);
    pedal.setEffectOn (true);
    ASSERT_TRUE (mirror.takeChanges (pedal).has_value());
    EXPECT_TRUE (mirror.receive (pedal, Lv2SettingPorts::drive, 0.8f));
    EXPECT_TRUE (mirror.receive (pedal, Lv2SettingPorts::effectOn, 0.0f));
    expectPedalHolds (pedal, { 0.8f, 0.5f, 0.5f, false });
    EXPECT_FALSE (mirror.takeChanges (pedal).has_value());
}

TEST (Lv2SettingPortsMirror, AHostPortChangeReachesTheStoreAndIsNotWrittenBack)
{
    BraskOverdriveAudioProcessor pedal;
    restore (pedal, restored);
    Lv2SettingPorts::Mirror mirror (pedal);

    // A UI opening on a restored pedal gets the host's ports, here at their
    // defaults (an older session): the restored state stands.
    for (auto setting = 0; setting < Lv2SettingPorts::count; ++setting)
        EXPECT_FALSE (mirror.receive (pedal, (Lv2SettingPorts::Setting) setting,
                                      Lv2SettingPorts::defaults[(size_t) setting]));

    expectPedalHolds (pedal, restored);
    EXPECT_FALSE (mirror.takeChanges (pedal).has_value());

    // A preset the host loads: each changed port reaches the store.
    EXPECT_TRUE (mirror.receive (pedal, Lv2SettingPorts::drive, 0.3f));
    EXPECT_TRUE (mirror.receive (pedal, Lv2SettingPorts::tone, 0.6f));
    expectPedalHolds (pedal, { 0.3f, 0.6f, 0.7f, false });
    EXPECT_FALSE (mirror.takeChanges (pedal).has_value());

    // The same value again changes nothing; a value the pedal clamps is not echoed.
    EXPECT_FALSE (mirror.receive (pedal, Lv2SettingPorts::drive, 0.3f));
    EXPECT_TRUE (mirror.receive (pedal, Lv2SettingPorts::level, 1.7f));
    EXPECT_EQ (pedal.level.load(), 1.0f);
    EXPECT_FALSE (mirror.takeChanges (pedal).has_value());
}

TEST (Lv2SettingPortsMirror, ARestoreWhileTheUiIsOpenIsWrittenToTheHost)
{
    BraskOverdriveAudioProcessor pedal;
    Lv2SettingPorts::Mirror mirror (pedal);

    restore (pedal, restored);
    const auto written = mirror.takeChanges (pedal);
    ASSERT_TRUE (written.has_value());
    EXPECT_EQ (*written, (Values { 0.9f, 0.2f, 0.7f, 0.0f }));

    // The host's ports now hold the restored values: a plug-in following them
    // applies what the store already holds.
    HostPorts ports;
    ports.values = *written;
    Lv2SettingPorts::Follower follower;
    follower.apply (pedal, ports.connected());
    expectPedalHolds (pedal, restored);
}
