#pragma once

#include "plugin/BraskOverdriveAudioProcessor.h"

#include <cstdint>

//==============================================================================
/**
    The `lv2:enabled` port's transition: LV2 asks for it to be click-free, so the
    pedal's output and its input cross-fade over fadeSeconds whenever the host
    enables or disables the plug-in. The port reads as on above 0, as LV2 says of
    every toggled port. The first value after a (re)start applies at once: there
    is nothing to fade from yet.
*/
class Lv2EnabledFade final
{
public:
    static constexpr double fadeSeconds = 0.01;

    explicit Lv2EnabledFade (double sampleRate) noexcept;

    /** The port's value for this run. */
    void setEnabled (bool shouldBeEnabled) noexcept;

    /** The next setEnabled applies at once. */
    void restart() noexcept;

    /** Settled with the pedal playing, or settled with the input passed through. */
    bool isOn() const noexcept { return position == length && target; }
    bool isOff() const noexcept { return position == 0 && ! target; }

    /** Samples left until the fade settles (0 when settled). */
    int remaining() const noexcept { return target ? length - position : position; }

    /** Blends `numSamples` (at most remaining()) of the pedal's output `wet` with
        the `dry` input, in place in `wet`, moving one step per sample.
    */
    void mix (float* const* wet, const float* const* dry, int numChannels, int numSamples) noexcept;

    int getLength() const noexcept { return length; }

private:
    const int length;
    int position = 0;  // 0: all input .. length: all pedal
    bool target = true;
    bool jumpNext = true;
};

//==============================================================================
/**
    The LV2 plug-in's audio path: the host's port buffers go straight to the
    pedal's processBlock, whatever the length of the run (the processor plays any
    length without allocating): no copy through a buffer of the wrapper's, no lock
    shared with the message thread, no allocation, no wait.

    The host may pass its buffers in place (an output on its input), shared, or
    crosswise (output left on input right): the inputs are brought to the outputs
    in an order that reads every input before it is overwritten, and the pedal
    then plays the outputs in place.

    Besides the audio it reads the `enabled` and `freeWheeling` ports (on above 0)
    and writes the latency port, 0, on every run including empty ones. While the
    host has the plug-in disabled the input passes and nothing in the pedal
    advances, as with the VST3's bypass. Enabled again, the pedal starts as from
    silence (BraskOverdriveAudioProcessor::settleAsAfterSilence): the filters do
    not bring back what played before the pedal was disabled, the DC blocker
    holds the offset of the unchanged bias (no thump), and the low cut and tone
    stages settle onto the signal within the fade's first milliseconds.

    Runs on the host's audio thread, except activate and deactivate, which LV2
    never calls during a run.
*/
class Lv2AudioPath final
{
public:
    Lv2AudioPath (BraskOverdriveAudioProcessor& pedal, double sampleRate) noexcept;

    static constexpr int maxChannels = 2;

    //==============================================================================
    void connectInput (int channel, const float* data) noexcept;
    void connectOutput (int channel, float* data) noexcept;
    void connectEnabled (const float* data) noexcept { enabled = data; }
    void connectFreeWheeling (const float* data) noexcept { freeWheeling = data; }
    void connectLatency (float* data) noexcept { latency = data; }

    //==============================================================================
    /** The first activate leaves the pedal as it was made; one after a deactivate
        starts it from silence (see BraskOverdriveAudioProcessor::settleAsAfterSilence),
        as LV2 asks of an activate. The bias ramp is not reset: it counts the
        samples the pedal has played, as it does in the VST3 across re-activation,
        so that both formats sound the same.
    */
    void activate() noexcept;
    void deactivate() noexcept;

    void run (uint32_t numSamples) noexcept;

    //==============================================================================
    /** Copies each input channel to its output channel, reading every input before
        any write can overwrite it: outputs may be their own inputs, another
        channel's input (crosswise, swapped), or the same buffer. A missing input
        is silence; a missing output is skipped.
    */
    static void bringInputsToOutputs (const float* const* inputs, float* const* outputs, int numChannels,
                                      size_t numSamples) noexcept;

private:
    //==============================================================================
    void play (float* const* outputs, int numSamples) noexcept;
    void playFading (float* const* outputs, int numSamples) noexcept;

    BraskOverdriveAudioProcessor& pedal;
    const int numChannels;

    const float* inputs[maxChannels] {};
    float* outputs[maxChannels] {};
    const float* enabled = nullptr;
    const float* freeWheeling = nullptr;
    float* latency = nullptr;

    Lv2EnabledFade fade;
    bool wasFreeWheeling = false;
    bool activatedBefore = false;
    bool deactivated = false;

    juce::MidiBuffer noMidi;

    // The input while a fade mixes it with the pedal's output, a stretch at a time.
    static constexpr int fadeStretch = 256;
    float dry[maxChannels][fadeStretch] {};
};
