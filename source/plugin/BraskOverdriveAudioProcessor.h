#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include "dsp/BiasRamp.h"
#include "dsp/OverdriveKernel.h"
#include "PedalSettings.h"

#include <atomic>
#include <memory>

//==============================================================================
/**
    The overdrive pedal as the host sees it: identity, buses, the four settings
    the user makes on the pedal (three knobs and the footswitch), the saved
    state, and the signal chain that turns those settings into sound.

    Threads: the host's audio thread runs processBlock; the message thread
    constructs the processor and opens the editor. The knob operations are
    lock-free and may be called from any thread, the audio thread included: the
    editor calls them on the message thread, the LV2 layer on the audio thread
    from its setting ports, between blocks. The state calls may come from any
    thread but take a lock and post a message, so never from the audio thread.
    Settings reach the audio thread only through atomics, read once per block.
*/
class BraskOverdriveAudioProcessor final : public juce::AudioProcessor
{
public:
    //==============================================================================
    BraskOverdriveAudioProcessor();
    ~BraskOverdriveAudioProcessor() override;

    //==============================================================================
    const juce::String getName() const override;

    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;

    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    bool isMidiEffect() const override;

    //==============================================================================
    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;

    //==============================================================================
    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;

    //==============================================================================
    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    /** Leaves the chain as a long silence would: every filter at rest, the DC
        blocker settled on the offset the present bias gives, so that playing on
        from here starts clean and without a thump. The bias ramp stays where it
        is (it counts the samples played in the pedal's life). Not while a block
        is being processed.
    */
    void settleAsAfterSilence() noexcept;

    //==============================================================================
    /** The knob and footswitch operations of the pedal. They store and publish
        through atomics only (no lock, no allocation, no wait), so any thread may
        call them: the editor does on the message thread, the LV2 layer on the
        audio thread. Each knob value is taken as 0..1; anything outside is clamped
        (NaN counts as the knob's middle position) before it is stored and mapped
        to the chain.
    */
    void setDrive (float newDrive);
    void setTone (float newTone);
    void setLevel (float newLevel);
    void setEffectOn (bool shouldBeOn);

    //==============================================================================
    /** What the chain plays from the next block on, as derived from the knobs.
        These read the hand-over values, so they are safe from any thread.
    */
    float getDriveGain() const noexcept { return targetDriveGain.load(); }
    float getToneCutoffHz() const noexcept { return targetToneCutoff.load(); }
    float getLevelGain() const noexcept { return targetLevelGain.load(); }

    /** The bias ramp's progress. The audio thread owns these: read them only
        while no block is being processed.
    */
    float getBias() const noexcept { return biasRamp.getBias(); }
    float getBiasCounter() const noexcept { return biasRamp.getCounter(); }

    //==============================================================================
    /** The knob value a restored or passed-in value stands for: clamped to 0..1,
        with NaN taken as the middle position.
    */
    static float sanitiseKnobValue (float value) noexcept;

    /** Whether two store values are the same, bit for bit: a NaN someone stored
        equals itself, so a change of the store is never missed nor invented.
    */
    static bool isSameStoredValue (float a, float b) noexcept;

    /** Knob-to-sound mapping, shared by the knob operations, a restored state and
        construction, so that all three always agree.
    */
    static float driveGainFor (float drive) noexcept;
    static float toneCutoffFor (float tone) noexcept;
    static float levelGainFor (float level) noexcept;

    //==============================================================================
    // The parameter store: the single record of the pedal's settings.
    std::atomic<float> drive { PedalSettings {}.drive };
    std::atomic<float> tone { PedalSettings {}.tone };
    std::atomic<float> level { PedalSettings {}.level };
    std::atomic<bool> effectOn { PedalSettings {}.effectOn };

    /** Tells its listeners on the message thread, soon after a restore, that the
        store holds restored settings. A restore may come from any thread but the
        audio thread and never waits for the message: restores in quick succession
        may arrive as one message, which always comes after the last of them.
    */
    juce::ChangeBroadcaster restoreBroadcaster;

private:
    //==============================================================================
    // Publish what the store holds, checking that it held still meanwhile: a knob
    // turn and a restore may store and publish in any interleaving, and the last
    // publication must map the last stored value.
    void publishStoredDrive() noexcept;
    void publishStoredTone() noexcept;
    void publishStoredLevel() noexcept;

    void applyToneCutoff (float requestedCutoff) noexcept;

    //==============================================================================
    juce::CriticalSection stateLock;

    //==============================================================================
    // The signal chain: the kernel does the arithmetic; the bias ramp steps once
    // per sample played with the effect on and feeds the kernel's clipper.
    OverdriveKernel kernel;
    BiasRamp biasRamp;
    std::atomic<float> currentSampleRate { 0.0f };

    // Channels the chain is prepared for (0 until a usable prepare), and whether
    // one has happened yet: only the first lets the blend fade in.
    int preparedChannels = 0;
    bool hasBeenPrepared = false;

    // Settings derived by the knob operations on whichever thread calls them,
    // picked up by the audio thread at the start of each block.
    std::atomic<float> targetDriveGain { 1.0f };
    std::atomic<float> targetToneCutoff { 6000.0f };
    std::atomic<float> targetLevelGain { 0.5f };

    //==============================================================================
    // What the editor keeps decoded (its pictures) stays while any pedal lives, so
    // that reopening an editor after any pause costs no decoding; the last pedal
    // to go frees it. The editor side makes the handle (EditorSide.h); the pedal
    // only holds it.
    std::shared_ptr<void> editorResources;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BraskOverdriveAudioProcessor)
};
