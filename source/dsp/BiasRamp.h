#pragma once

//==============================================================================
/**
    The clipper's bias creeping up after power-on, like a coupling capacitor
    charging: one step per sample played, n·scale/fs after the n-th, until n
    reaches fs·lengthSeconds, where it stays (0.08 after the first 0.1 s). It
    runs in time, however the host cuts the audio into blocks.

    The count n is in samples and is never reset: a later prepare at another rate
    continues from it, with that rate's steps and end.

    Audio thread only; read the getters only while no block is being played.
*/
class BiasRamp final
{
public:
    //==============================================================================
    static constexpr float scale = 0.8f;
    static constexpr float lengthSeconds = 0.1f;

    /** Values one call gives at most: one of the kernel's stretches, so that the
        samples played while the bias rises go to the kernel in whole stretches.
    */
    static constexpr int maxStepsPerCall = 256;

    //==============================================================================
    /** Steps through up to `maxSamples` (at most maxStepsPerCall) samples at this
        rate, leaving each one's bias in getValues(); returns how many it stepped,
        0 once the ramp is over.
    */
    int advance (float sampleRate, int maxSamples) noexcept;

    const float* getValues() const noexcept { return values; }

    /** The bias the last sample stepped took (and every sample after the end). */
    float getBias() const noexcept { return bias; }

    /** Samples stepped so far. */
    float getCounter() const noexcept { return counter; }

private:
    //==============================================================================
    float counter = 0.0f;
    float bias = 0.0f;
    float values[maxStepsPerCall] {};
};
