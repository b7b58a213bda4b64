#include "BraskOverdriveAudioProcessor.h"
#include "BraskOverdriveProcessorEditor.h"
#include "PedalSettings.h"

namespace
{
    // A one-pole filter turns unstable as its cutoff reaches half the sample rate;
    // the tone control's top end is held just below it at low sample rates.
    constexpr float toneCutoffCeilingRatio = 0.49f;
}

//==============================================================================
BraskOverdriveAudioProcessor::BraskOverdriveAudioProcessor()
    : AudioProcessor (BusesProperties()
                          .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                          .withOutput ("Output", juce::AudioChannelSet::stereo(), true))
{
    // The same decibel mapping as the knobs, so that opening the editor (which
    // re-applies the stored knobs) never changes the sound.
    publishLevel (level.load());
    publishTone (tone.load());
    publishDrive (drive.load());
}

BraskOverdriveAudioProcessor::~BraskOverdriveAudioProcessor() = default;

//==============================================================================
const juce::String BraskOverdriveAudioProcessor::getName() const
{
    return "Brask Overdrive";
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

    advanceBiasRamp();

    // Channels the chain was not prepared for have no filter state: they are left
    // alone. A block of any length plays as if the host had split it.
    const auto numChannels = juce::jmin (buffer.getNumChannels(), preparedChannels);

    if (numChannels > 0)
        kernel.process (buffer.getArrayOfWritePointers(), numChannels, buffer.getNumSamples(),
                        driveGain, bias, levelGain);
}

void BraskOverdriveAudioProcessor::advanceBiasRamp() noexcept
{
    // The bias creeps up over the first sampleRate × biasRampLength blocks, like a
    // coupling capacitor charging after power-on, and then stays.
    const auto sampleRate = currentSampleRate.load();

    if (biasCounter < sampleRate * biasRampLength.load())
    {
        biasCounter = biasCounter + 1.0f;
        bias = biasCounter / sampleRate * biasScale.load();
    }
}

void BraskOverdriveAudioProcessor::applyToneCutoff (float requestedCutoff) noexcept
{
    const auto sampleRate = currentSampleRate.load();
    kernel.setToneCutoff (sampleRate > 0.0f ? juce::jmin (requestedCutoff, toneCutoffCeilingRatio * sampleRate)
                                            : requestedCutoff);
}

//==============================================================================
double BraskOverdriveAudioProcessor::getTailLengthSeconds() const { return 0.0; }
bool BraskOverdriveAudioProcessor::acceptsMidi() const            { return false; }
bool BraskOverdriveAudioProcessor::producesMidi() const           { return false; }
bool BraskOverdriveAudioProcessor::isMidiEffect() const           { return false; }

//==============================================================================
juce::AudioProcessorEditor* BraskOverdriveAudioProcessor::createEditor()
{
    return new BraskOverdriveProcessorEditor (*this);
}

bool BraskOverdriveAudioProcessor::hasEditor() const
{
    return true;
}

//==============================================================================
int BraskOverdriveAudioProcessor::getNumPrograms()                            { return 1; }
int BraskOverdriveAudioProcessor::getCurrentProgram()                         { return 0; }
void BraskOverdriveAudioProcessor::setCurrentProgram (int)                    {}
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
    // not anyone opens the pedal.
    publishDrive (restoredDrive);
    publishTone (restoredTone);
    publishLevel (restoredLevel);
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
    publishDrive (drive.load());
}

void BraskOverdriveAudioProcessor::setTone (float newTone)
{
    tone.store (sanitiseKnobValue (newTone));
    publishTone (tone.load());
}

void BraskOverdriveAudioProcessor::setLevel (float newLevel)
{
    level.store (sanitiseKnobValue (newLevel));
    publishLevel (level.load());
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

void BraskOverdriveAudioProcessor::publishDrive (float driveValue) noexcept
{
    targetDriveGain.store (driveGainFor (driveValue));
}

void BraskOverdriveAudioProcessor::publishTone (float toneValue) noexcept
{
    targetToneCutoff.store (toneCutoffFor (toneValue));
}

void BraskOverdriveAudioProcessor::publishLevel (float levelValue) noexcept
{
    targetLevelGain.store (levelGainFor (levelValue));
}

//==============================================================================
// The module entry: the framework's wrapper owns what this returns.
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new BraskOverdriveAudioProcessor();
}
