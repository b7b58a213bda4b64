#pragma once

// Helpers shared by the renderer's tests: a scratch folder, test signals, audio
// files written and read back through the project's file layer, and brask-render
// run as a child process the way a shell runs it.

#include "AudioFile.h"
#include "BuiltPaths.h"
#include "plugin/PedalSettings.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <map>
#include <string>
#include <vector>

namespace RenderTest
{
    /** The bundle this build made, loaded by every render in these tests. */
    juce::File builtModule();

    //==============================================================================
    /** A fresh folder for one test, removed with everything in it afterwards. */
    class ScratchFolder final
    {
    public:
        ScratchFolder();
        ~ScratchFolder();

        const juce::File& get() const noexcept { return folder; }
        juce::File operator/ (const juce::String& name) const { return folder.getChildFile (name); }

        /** Every file below the folder, hidden ones included, with its contents. */
        std::map<juce::String, juce::MemoryBlock> snapshot() const;

    private:
        juce::File folder;

        JUCE_DECLARE_NON_COPYABLE (ScratchFolder)
    };

    //==============================================================================
    /** A few seconds of something guitar-like, different on each channel: decaying
        harmonic notes, a little noise, a stretch of silence and a full-scale burst,
        so that every stage of the pedal has something to do.
    */
    juce::AudioBuffer<float> makeTestSignal (int numChannels, double sampleRate, int numSamples, juce::int64 seed);

    /** How a test file is stored: a name ending and libsndfile's container | encoding. */
    struct FileFormat
    {
        juce::String extension;  // ".wav", ".flac" ...
        brask::audiofile::Format format;
    };

    /** Writes through the project's file layer; integers hold the nearest step (ties to even). */
    void writeAudioFile (const juce::File& file, const juce::AudioBuffer<float>& audio, double sampleRate, const FileFormat& format);

    /** A file as the file layer decodes it, with the properties the renderer must keep. */
    struct DecodedFile
    {
        juce::AudioBuffer<double> exact;  // as stored: every integer and float exactly
        juce::AudioBuffer<float> audio;   // as the pedal takes it
        double sampleRate = 0.0;
        brask::audiofile::Format format = 0;
    };

    DecodedFile readAudioFile (const juce::File& file);

    /** The first sample where two buffers differ in any bit, for samples as stored. */
    juce::String firstDifference (const juce::AudioBuffer<double>& a, const juce::AudioBuffer<double>& b);

    /** The first sample where two buffers differ in any bit, as "channel 1, sample 4410: 0.25 vs 0.2500001". */
    juce::String firstDifference (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b);

    //==============================================================================
    /** The pedal's own processor run here, as a user sets it up by hand: knobs turned,
        footswitch pressed, prepared for the block size it will get, and fed the
        input block by block (the last one short where the length says so).
    */
    juce::AudioBuffer<float> processInProcess (const juce::AudioBuffer<float>& input, double sampleRate,
                                               const PedalSettings& settings, int blockSize);

    //==============================================================================
    /** What a finished child process left behind. */
    struct ProcessResult
    {
        int exitStatus = -1;  // 128 + n when ended by signal n, as a shell reports it
        std::string out, err;
    };

    /** Runs brask-render with these arguments, stdin empty and stdout/stderr captured. */
    ProcessResult runRender (const std::vector<juce::String>& arguments);

    /** The same, with a copy of brask-render placed elsewhere. */
    ProcessResult runRender (const juce::File& executable, const std::vector<juce::String>& arguments);

    /** Starts brask-render without waiting for it; pid for kill(), then waitForRender. */
    int startRender (const std::vector<juce::String>& arguments, const juce::File& outputCapture, const juce::File& errorCapture,
                     const juce::File& executable = juce::File (brask::built::renderExecutable));
    int waitForRender (int pid);
}
