#include "BraskOverdriveAudioProcessor.h"
#include "BraskOverdriveProcessorEditor.h"

namespace
{
    // The clipper: a plain function, so the wave shaper calls it through a pointer.
    float hyperbolicTangent (float x) noexcept
    {
        return std::tanh (x);
    }

    // The chain's fixed frequencies.
    constexpr float lowCutHz = 200.0f;
    constexpr double dcBlockerHz = 5.0;
    constexpr float wetProportion = 0.99f;

    // A one-pole filter turns unstable as its cutoff reaches half the sample rate;
    // the tone control's top end is held just below it at low sample rates.
    constexpr float toneCutoffCeilingRatio = 0.49f;

    // Incoming samples are held within ±1000 (+60 dBFS) and non-finite ones are
    // silenced: far beyond any real signal, yet enough to keep +48 dB of drive
    // and every filter state finite whatever a host sends.
    constexpr float inputCeiling = 1000.0f;

    void guardInput (juce::dsp::AudioBlock<float>& block) noexcept
    {
        for (size_t channel = 0; channel < block.getNumChannels(); ++channel)
        {
            auto* samples = block.getChannelPointer (channel);

            for (size_t i = 0; i < block.getNumSamples(); ++i)
            {
                const auto x = samples[i];
                samples[i] = (x == x) ? juce::jlimit (-inputCeiling, inputCeiling, x) : 0.0f;
            }
        }
    }
}

//==============================================================================
BraskOverdriveAudioProcessor::BraskOverdriveAudioProcessor()
    : AudioProcessor (BusesProperties()
                          .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                          .withOutput ("Output", juce::AudioChannelSet::stereo(), true))
{
    // New gains apply from the next sample: a pedal's knobs have no smoothing of their own.
    levelGain.setRampDurationSeconds (0.0);
    driveGain.setRampDurationSeconds (0.0);

    publishLevel (level.load());
    levelGain.setGainLinear (targetLevelGain.load());

    inputHighPass.setType (juce::dsp::FirstOrderTPTFilterType::highpass);
    inputHighPass.setCutoffFrequency (lowCutHz);

    publishTone (tone.load());
    for (auto* filter : { &toneFilter1, &toneFilter2 })
    {
        filter->setType (juce::dsp::FirstOrderTPTFilterType::lowpass);
        filter->setCutoffFrequency (targetToneCutoff.load());
    }

    // The same decibel mapping as the drive knob, so that opening the editor
    // (which re-applies the stored knobs) never changes the sound.
    publishDrive (drive.load());
    driveGain.setGainLinear (targetDriveGain.load());

    waveShaper.functionToUse = hyperbolicTangent;
    dcBlockerCoefficients = juce::dsp::IIR::Coefficients<double>::makeHighPass (48000.0, dcBlockerHz);
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
        preparedBlockSize = 0;
        preparedChannels = 0;
        return;
    }

    const juce::dsp::ProcessSpec processSpec { sampleRate,
                                        (juce::uint32) maximumExpectedSamplesPerBlock,
                                        (juce::uint32) numChannels };

    dryWetMixer.prepare (processSpec);
    dryWetMixer.setWetMixProportion (wetProportion);

    currentSampleRate.store ((float) sampleRate);
    waveShaper.functionToUse = hyperbolicTangent;

    dcBlockerCoefficients = juce::dsp::IIR::Coefficients<double>::makeHighPass (sampleRate, dcBlockerHz);

    driveGain.setGainLinear (targetDriveGain.load());
    driveGain.prepare (processSpec);

    if (dcBlockers.size() > numChannels)
        dcBlockers.removeRange (numChannels, dcBlockers.size() - numChannels);

    while (dcBlockers.size() < numChannels)
        dcBlockers.add (new juce::dsp::IIR::Filter<double> (dcBlockerCoefficients));

    for (auto* blocker : dcBlockers)
    {
        blocker->coefficients = dcBlockerCoefficients;
        blocker->reset();
    }

    levelGain.setGainLinear (targetLevelGain.load());
    levelGain.prepare (processSpec);

    inputHighPass.prepare (processSpec);
    toneFilter1.prepare (processSpec);
    toneFilter2.prepare (processSpec);
    applyToneCutoff (targetToneCutoff.load());

    dryBuffer.setSize (numChannels, maximumExpectedSamplesPerBlock, false, true, false);
    dcBlockerBuffer.setSize (1, maximumExpectedSamplesPerBlock, false, true, false);
    preparedBlockSize = maximumExpectedSamplesPerBlock;
    preparedChannels = numChannels;
}

void BraskOverdriveAudioProcessor::releaseResources()
{
}

void BraskOverdriveAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    if (! effectOn.load())
        return;

    // A host that processes before preparing gets its audio back as it was.
    if (preparedBlockSize <= 0)
        return;

    juce::ScopedNoDenormals noDenormals;

    const auto numInputChannels = getTotalNumInputChannels();
    const auto numOutputChannels = juce::jmin (getTotalNumOutputChannels(), buffer.getNumChannels());

    for (auto channel = numInputChannels; channel < numOutputChannels; ++channel)
        buffer.clear (channel, 0, buffer.getNumSamples());

    applyPublishedSettings();
    advanceBiasRamp();

    // Channels the chain was not prepared for have no filter state: they are left alone.
    const auto numChannels = (size_t) juce::jmin (buffer.getNumChannels(), preparedChannels);

    if (numChannels == 0)
        return;

    auto wholeBlock = juce::dsp::AudioBlock<float> (buffer).getSubsetChannelBlock (0, numChannels);
    const auto numSamples = wholeBlock.getNumSamples();
    const auto chunkSize = (size_t) preparedBlockSize;

    // A block longer than the host promised is processed in pieces the chain was sized for.
    for (size_t start = 0; start < numSamples; start += chunkSize)
        processChunk (wholeBlock.getSubBlock (start, juce::jmin (chunkSize, numSamples - start)));
}

void BraskOverdriveAudioProcessor::processChunk (juce::dsp::AudioBlock<float> block)
{
    const auto numChannels = block.getNumChannels();
    const auto numSamples = block.getNumSamples();

    guardInput (block);

    auto dryBlock = juce::dsp::AudioBlock<float> (dryBuffer)
                        .getSubsetChannelBlock (0, numChannels)
                        .getSubBlock (0, numSamples);
    dryBlock.copyFrom (block);

    // The dry path carries the drive but not the low cut, bias, clipper or DC blocker.
    driveGain.process (juce::dsp::ProcessContextReplacing<float> (dryBlock));

    // Low cut, drive, bias and clipper, one sample of every channel at a time: the
    // one-pole filters' feedback loops then overlap the clipper's work instead of
    // each waiting for its own last sample. Same arithmetic, a third less time.
    // The bias makes the clipper asymmetric, as a transistor stage biased off centre.
    const auto driveLinear = driveGain.getGainLinear();

    for (size_t i = 0; i < numSamples; ++i)
    {
        for (size_t channel = 0; channel < numChannels; ++channel)
        {
            auto& sample = block.getChannelPointer (channel)[i];
            sample = waveShaper.functionToUse (inputHighPass.processSample ((int) channel, sample) * driveLinear + bias);
        }
    }

    inputHighPass.snapToZero();

    // The 5 Hz high-pass removes the offset the bias leaves after the clipper.
    // It works on a double copy of each channel, in the framework's own block loop.
    auto wideBlock = juce::dsp::AudioBlock<double> (dcBlockerBuffer).getSubBlock (0, numSamples);
    auto* wide = wideBlock.getChannelPointer (0);

    for (size_t channel = 0; channel < numChannels; ++channel)
    {
        auto* samples = block.getChannelPointer (channel);
        std::copy (samples, samples + numSamples, wide);
        dcBlockers.getUnchecked ((int) channel)->process (juce::dsp::ProcessContextReplacing<double> (wideBlock));
        std::transform (wide, wide + numSamples, samples, [] (double x) { return (float) x; });
    }

    dryWetMixer.pushDrySamples (dryBlock);
    dryWetMixer.mixWetSamples (block);

    // The two tone filters and the level, again a sample of every channel at a time.
    const auto levelLinear = levelGain.getGainLinear();

    for (size_t i = 0; i < numSamples; ++i)
    {
        for (size_t channel = 0; channel < numChannels; ++channel)
        {
            auto& sample = block.getChannelPointer (channel)[i];
            sample = toneFilter2.processSample ((int) channel, toneFilter1.processSample ((int) channel, sample)) * levelLinear;
        }
    }

    toneFilter1.snapToZero();
    toneFilter2.snapToZero();
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

void BraskOverdriveAudioProcessor::applyPublishedSettings() noexcept
{
    driveGain.setGainLinear (targetDriveGain.load());
    levelGain.setGainLinear (targetLevelGain.load());
    applyToneCutoff (targetToneCutoff.load());
}

void BraskOverdriveAudioProcessor::applyToneCutoff (float requestedCutoff) noexcept
{
    const auto sampleRate = currentSampleRate.load();
    const auto cutoff = sampleRate > 0.0f ? juce::jmin (requestedCutoff, toneCutoffCeilingRatio * sampleRate)
                                          : requestedCutoff;

    if (cutoff != toneFilter1.getCutoffFrequency())
    {
        toneFilter1.setCutoffFrequency (cutoff);
        toneFilter2.setCutoffFrequency (cutoff);
    }
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

    juce::MemoryOutputStream stream (destData, true);
    stream.writeFloat (drive.load());
    stream.writeFloat (tone.load());
    stream.writeFloat (level.load());
    stream.writeFloat (effectOn.load() ? 1.0f : 0.0f);
}

void BraskOverdriveAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    // A negative size or a missing block is not a state at all: keep the current one.
    if (sizeInBytes < 0 || (data == nullptr && sizeInBytes > 0))
        return;

    const juce::ScopedLock lock (stateLock);

    // Fields cut off by the end of a short blob read as 0; bytes after the 16th are ignored.
    juce::MemoryInputStream stream (data, (size_t) sizeInBytes, false);
    const auto restoredDrive = sanitiseKnobValue (stream.readFloat());
    const auto restoredTone = sanitiseKnobValue (stream.readFloat());
    const auto restoredLevel = sanitiseKnobValue (stream.readFloat());
    const auto restoredOn = stream.readFloat() != 0.0f;

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
