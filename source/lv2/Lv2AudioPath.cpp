#include "Lv2AudioPath.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

//==============================================================================
Lv2EnabledFade::Lv2EnabledFade (double sampleRate) noexcept
    : length (std::max (1, (int) std::lround (sampleRate * fadeSeconds)))
{
    position = length;
}

void Lv2EnabledFade::setEnabled (bool shouldBeEnabled) noexcept
{
    target = shouldBeEnabled;

    if (jumpNext)
        position = shouldBeEnabled ? length : 0;

    jumpNext = false;
}

void Lv2EnabledFade::restart() noexcept
{
    jumpNext = true;
}

void Lv2EnabledFade::mix (float* const* wet, const float* const* dry, int numChannels, int numSamples) noexcept
{
    const auto step = target ? 1 : -1;
    const auto scale = 1.0f / (float) length;

    for (int i = 0; i < numSamples && remaining() > 0; ++i)
    {
        position += step;
        const auto gain = (float) position * scale;

        for (int channel = 0; channel < numChannels; ++channel)
            wet[channel][i] = dry[channel][i] + gain * (wet[channel][i] - dry[channel][i]);
    }
}

//==============================================================================
Lv2AudioPath::Lv2AudioPath (BraskOverdriveAudioProcessor& pedalIn, double sampleRate) noexcept
    : pedal (pedalIn)
    , numChannels (juce::jlimit (0, maxChannels, pedalIn.getTotalNumOutputChannels()))
    , fade (sampleRate)
{
}

void Lv2AudioPath::connectInput (int channel, const float* data) noexcept
{
    if (channel >= 0 && channel < maxChannels)
        inputs[channel] = data;
}

void Lv2AudioPath::connectOutput (int channel, float* data) noexcept
{
    if (channel >= 0 && channel < maxChannels)
        outputs[channel] = data;
}

void Lv2AudioPath::activate() noexcept
{
    if (deactivated)
        pedal.settleAsAfterSilence();

    deactivated = false;
    fade.restart();
}

void Lv2AudioPath::deactivate() noexcept
{
    deactivated = true;
}

void Lv2AudioPath::run (uint32_t numSamples) noexcept
{
    // Written on every run, empty ones too, so that a host never reads what it left there.
    if (latency != nullptr)
        *latency = 0.0f;

    const auto isFreeWheeling = freeWheeling != nullptr && *freeWheeling > 0.0f;

    if (isFreeWheeling != wasFreeWheeling)
        pedal.setNonRealtime (isFreeWheeling);

    wasFreeWheeling = isFreeWheeling;

    // Coming back from fully disabled, the pedal starts as from silence: its filters
    // still hold whatever played before it was disabled, which would come back as
    // a ghost of that sound. The fade-in covers the filters settling onto the signal.
    const auto wasOff = fade.isOff();
    fade.setEnabled (enabled == nullptr || *enabled > 0.0f);

    if (wasOff && ! fade.isOff())
        pedal.settleAsAfterSilence();

    // The buffer the pedal plays counts its samples in an int.
    constexpr uint32_t longestPiece = 1u << 30;

    for (uint32_t done = 0; done < numSamples;)
    {
        const auto length = std::min (numSamples - done, longestPiece);
        const float* in[maxChannels] {};
        float* out[maxChannels] {};
        auto everyOutput = true;

        for (int channel = 0; channel < numChannels; ++channel)
        {
            in[channel] = inputs[channel] != nullptr ? inputs[channel] + done : nullptr;
            out[channel] = outputs[channel] != nullptr ? outputs[channel] + done : nullptr;
            everyOutput = everyOutput && out[channel] != nullptr;
        }

        bringInputsToOutputs (in, out, numChannels, length);

        // A host that left an output unconnected gets no sound from the pedal.
        if (everyOutput && ! fade.isOff())
        {
            if (fade.isOn())
                play (out, (int) length);
            else
                playFading (out, (int) length);
        }

        done += length;
    }
}

void Lv2AudioPath::play (float* const* channels, int numSamples) noexcept
{
    // Refers to the host's buffers: the constructor keeps the pointers in the
    // buffer's own space and allocates nothing.
    juce::AudioBuffer<float> buffer (channels, numChannels, numSamples);
    pedal.processBlock (buffer, noMidi);
}

void Lv2AudioPath::playFading (float* const* channels, int numSamples) noexcept
{
    float* at[maxChannels] {};
    const float* dryAt[maxChannels] {};

    for (int done = 0; done < numSamples;)
    {
        if (fade.isOff())
            return;  // the rest is the input, already in place

        if (fade.isOn())
        {
            for (int channel = 0; channel < numChannels; ++channel)
                at[channel] = channels[channel] + done;

            play (at, numSamples - done);
            return;
        }

        const auto length = std::min ({ numSamples - done, fade.remaining(), fadeStretch });

        for (int channel = 0; channel < numChannels; ++channel)
        {
            at[channel] = channels[channel] + done;
            dryAt[channel] = dry[channel];
            std::copy (at[channel], at[channel] + length, dry[channel]);
        }

        play (at, length);
        fade.mix (at, dryAt, numChannels, length);
        done += length;
    }
}

//==============================================================================
void Lv2AudioPath::bringInputsToOutputs (const float* const* inputs, float* const* outputs, int numChannels,
                                         size_t numSamples) noexcept
{
    numChannels = juce::jlimit (0, maxChannels, numChannels);

    const auto copy = [&] (int channel) {
        auto* to = outputs[channel];
        const auto* from = inputs[channel];

        if (to == nullptr || to == from)
            return;

        if (from == nullptr)
            std::fill (to, to + numSamples, 0.0f);
        else
            std::memmove (to, from, numSamples * sizeof (float));
    };

    // Crosswise (each output the other channel's input): a swap moves both at once.
    if (numChannels == 2 && outputs[0] != nullptr && outputs[1] != nullptr && outputs[0] != outputs[1]
        && outputs[0] == inputs[1] && outputs[1] == inputs[0])
    {
        std::swap_ranges (outputs[0], outputs[0] + numSamples, outputs[1]);
        return;
    }

    // Otherwise first the outputs that are no other channel's input still to be read.
    bool done[maxChannels] {};

    for (int pass = 0; pass < numChannels; ++pass)
    {
        for (int channel = 0; channel < numChannels; ++channel)
        {
            if (done[channel])
                continue;

            auto overwritesAnInput = false;

            for (int other = 0; other < numChannels; ++other)
                overwritesAnInput = overwritesAnInput
                                    || (other != channel && ! done[other] && outputs[channel] != nullptr
                                        && inputs[other] == outputs[channel]);

            if (! overwritesAnInput)
            {
                copy (channel);
                done[channel] = true;
            }
        }
    }
}
