#include "BraskOverdriveAudioProcessor.h"
#include "EditorSide.h"
#include "PedalSettings.h"

#include <cstring>

namespace
{
    // A one-pole filter turns unstable as its cutoff reaches half the sample rate;
    // the tone control's top end is held just below it at low sample rates.
    constexpr float toneCutoffCeilingRatio = 0.49f;

    /*  Publishes the setting a knob's stored value maps to, checking that the store
        held still meanwhile. Every writer of a knob's store publishes after its
        write, so the writer whose publication comes last either read the last
        stored value or, on re-checking, sees it and publishes again: once all
        calls have returned, the chain plays the mapping of what the store holds,
        whatever the interleaving. No lock: a turn never waits on a restore.
    */
    void publishFromStore (const std::atomic<float>& stored, std::atomic<float>& setting,
                           float (*mapping) (float) noexcept) noexcept
    {
        for (auto value = stored.load();;)
        {
            setting.store (mapping (value));
            const auto now = stored.load();

            if (BraskOverdriveAudioProcessor::isSameStoredValue (now, value))
                return;

            value = now;
        }
    }
}

//==============================================================================
BraskOverdriveAudioProcessor::BraskOverdriveAudioProcessor()
    : AudioProcessor (BusesProperties()
                          .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                          .withOutput ("Output", juce::AudioChannelSet::stereo(), true))
    , editorResources (EditorSide::keepResourcesAlive())
{
    // The same decibel mapping as the knobs, so that opening the editor (which
    // re-applies the stored knobs) never changes the sound.
    publishStoredLevel();
    publishStoredTone();
    publishStoredDrive();
}

BraskOverdriveAudioProcessor::~BraskOverdriveAudioProcessor() = default;

//==============================================================================
const juce::String BraskOverdriveAudioProcessor::getName() const
{
    return JucePlugin_Name;
}

void BraskOverdriveAudioProcessor::prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock)
{
    const auto numChannels = getTotalNumOutputChannels();

    if (sampleRate <= 0.0 || maximumExpectedSamplesPerBlock <= 0 || numChannels <= 0)
    {
        // Nothing sensible can be prepared; blocks pass through untouched until a proper prepare.
        preparedChannels = 0;
        return;
    }

    currentSampleRate.store ((float) sampleRate);
    kernel.prepare (sampleRate, numChannels);

    // The blend fades in from fully wet once in the pedal's life; a later
    // prepare starts at the final weights.
    if (! hasBeenPrepared)
        kernel.startBlendFade();

    hasBeenPrepared = true;
    applyToneCutoff (targetToneCutoff.load());
    preparedChannels = juce::jmin (numChannels, OverdriveKernel::maxChannels);
}

void BraskOverdriveAudioProcessor::releaseResources()
{
}

void BraskOverdriveAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    if (! effectOn.load())
        return;

    // A host that processes before preparing gets its audio back as it was.
    if (preparedChannels <= 0)
        return;

    juce::ScopedNoDenormals noDenormals;

    const auto numInputChannels = getTotalNumInputChannels();
    const auto numOutputChannels = juce::jmin (getTotalNumOutputChannels(), buffer.getNumChannels());

    for (auto channel = numInputChannels; channel < numOutputChannels; ++channel)
        buffer.clear (channel, 0, buffer.getNumSamples());

    // The knobs' settings, read once for the whole block.
    const auto driveGain = targetDriveGain.load();
    const auto levelGain = targetLevelGain.load();
    applyToneCutoff (targetToneCutoff.load());

    // Channels the chain was not prepared for have no filter state: they are left
    // alone. A block of any length plays as if the host had split it.
    const auto numChannels = juce::jmin (buffer.getNumChannels(), preparedChannels);
    const auto numSamples = buffer.getNumSamples();
    const auto sampleRate = currentSampleRate.load();
    auto* const* channels = buffer.getArrayOfWritePointers();
    float* from[OverdriveKernel::maxChannels] {};
    int done = 0;

    // The chain: the bias ramp gives the clipper its bias; the kernel plays the
    // low cut, drive, biased clipper, DC blocker, blend, tone and level.
    auto play = [&] (int length, const float* biasPerSample) {
        for (int c = 0; c < numChannels; ++c)
            from[c] = channels[c] + done;

        kernel.process (from, numChannels, length, driveGain, biasRamp.getBias(), levelGain, biasPerSample);
        done += length;
    };

    // While the bias still rises, each sample takes its own step; after that the
    // whole rest of the block plays with the bias where it stopped.
    // The rising samples reach the kernel in whole stretches, as BiasRamp promises:
    // the output is the same bit for bit however the block is cut only while one
    // step of the loop below fills exactly one stretch.
    static_assert (BiasRamp::maxStepsPerCall == OverdriveKernel::stretchLength,
                   "one call of the bias ramp must fill exactly one of the kernel's stretches");

    while (done < numSamples)
    {
        const auto rising = biasRamp.advance (sampleRate, juce::jmin (numSamples - done, BiasRamp::maxStepsPerCall));

        if (rising == 0)
            break;

        play (rising, biasRamp.getValues());
    }

    if (done < numSamples)
        play (numSamples - done, nullptr);
}

void BraskOverdriveAudioProcessor::settleAsAfterSilence() noexcept
{
    if (preparedChannels > 0)
        kernel.settleForSilence (biasRamp.getBias());
}

void BraskOverdriveAudioProcessor::applyToneCutoff (float requestedCutoff) noexcept
{
    const auto sampleRate = currentSampleRate.load();
    kernel.setToneCutoff (sampleRate > 0.0f ? juce::jmin (requestedCutoff, toneCutoffCeilingRatio * sampleRate)
                                            : requestedCutoff);
}

//==============================================================================
double BraskOverdriveAudioProcessor::getTailLengthSeconds() const { return 0.0; }
bool BraskOverdriveAudioProcessor::acceptsMidi() const { return false; }
bool BraskOverdriveAudioProcessor::producesMidi() const { return false; }
bool BraskOverdriveAudioProcessor::isMidiEffect() const { return false; }

//==============================================================================
juce::AudioProcessorEditor* BraskOverdriveAudioProcessor::createEditor()
{
    return EditorSide::createEditor (*this);
}

bool BraskOverdriveAudioProcessor::hasEditor() const
{
    return true;
}

//==============================================================================
int BraskOverdriveAudioProcessor::getNumPrograms() { return 1; }
int BraskOverdriveAudioProcessor::getCurrentProgram() { return 0; }
void BraskOverdriveAudioProcessor::setCurrentProgram (int) {}
void BraskOverdriveAudioProcessor::changeProgramName (int, const juce::String&) {}

const juce::String BraskOverdriveAudioProcessor::getProgramName (int index)
{
    // The VST3 wrapper publishes the single program in a list, and hosts reject
    // a program without a name.
    return index == 0 ? "Default" : juce::String();
}

//==============================================================================
void BraskOverdriveAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    const juce::ScopedLock lock (stateLock);

    PedalSettings { drive.load(), tone.load(), level.load(), effectOn.load() }.appendTo (destData);
}

void BraskOverdriveAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    // A negative size or a missing block is not a state at all: keep the current one.
    if (sizeInBytes < 0 || (data == nullptr && sizeInBytes > 0))
        return;

    const juce::ScopedLock lock (stateLock);

    // Fields cut off by the end of a short blob read as 0; bytes after the 16th are ignored.
    const auto stored = PedalSettings::fromBlob (data, (size_t) sizeInBytes);
    const auto restoredDrive = sanitiseKnobValue (stored.drive);
    const auto restoredTone = sanitiseKnobValue (stored.tone);
    const auto restoredLevel = sanitiseKnobValue (stored.level);
    const auto restoredOn = stored.effectOn;

    drive.store (restoredDrive);
    tone.store (restoredTone);
    level.store (restoredLevel);
    effectOn.store (restoredOn);

    // A reloaded project plays its own settings from the next block, whether or
    // not anyone opens the pedal, and an open pedal shows them soon after.
    publishStoredDrive();
    publishStoredTone();
    publishStoredLevel();
    restoreBroadcaster.sendChangeMessage();
}

bool BraskOverdriveAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto output = layouts.getMainOutputChannelSet();

    if (output != juce::AudioChannelSet::mono() && output != juce::AudioChannelSet::stereo())
        return false;

    return layouts.getMainInputChannelSet() == output;
}

//==============================================================================
void BraskOverdriveAudioProcessor::setDrive (float newDrive)
{
    drive.store (sanitiseKnobValue (newDrive));
    publishStoredDrive();
}

void BraskOverdriveAudioProcessor::setTone (float newTone)
{
    tone.store (sanitiseKnobValue (newTone));
    publishStoredTone();
}

void BraskOverdriveAudioProcessor::setLevel (float newLevel)
{
    level.store (sanitiseKnobValue (newLevel));
    publishStoredLevel();
}

void BraskOverdriveAudioProcessor::setEffectOn (bool shouldBeOn)
{
    effectOn.store (shouldBeOn);
}

//==============================================================================
float BraskOverdriveAudioProcessor::sanitiseKnobValue (float value) noexcept
{
    if (std::isnan (value))
        return 0.5f;

    return juce::jlimit (0.0f, 1.0f, value);
}

bool BraskOverdriveAudioProcessor::isSameStoredValue (float a, float b) noexcept
{
    return std::memcmp (&a, &b, sizeof (float)) == 0;
}

float BraskOverdriveAudioProcessor::driveGainFor (float driveValue) noexcept
{
    // 0 to +48 dB across the knob's travel.
    return juce::Decibels::decibelsToGain (sanitiseKnobValue (driveValue) * 48.0f);
}

float BraskOverdriveAudioProcessor::toneCutoffFor (float toneValue) noexcept
{
    // 1 kHz (dark) to 11 kHz (bright).
    return sanitiseKnobValue (toneValue) * 10000.0f + 1000.0f;
}

float BraskOverdriveAudioProcessor::levelGainFor (float levelValue) noexcept
{
    // Linear in the knob, with everything at or below -100 dB as true silence.
    return juce::Decibels::decibelsToGain (juce::Decibels::gainToDecibels (sanitiseKnobValue (levelValue)));
}

void BraskOverdriveAudioProcessor::publishStoredDrive() noexcept
{
    publishFromStore (drive, targetDriveGain, driveGainFor);
}

void BraskOverdriveAudioProcessor::publishStoredTone() noexcept
{
    publishFromStore (tone, targetToneCutoff, toneCutoffFor);
}

void BraskOverdriveAudioProcessor::publishStoredLevel() noexcept
{
    publishFromStore (level, targetLevelGain, levelGainFor);
}
