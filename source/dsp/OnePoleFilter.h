#pragma once

//==============================================================================
/**
    A first-order low- or high-pass with one state, the analog RC section taken
    through the bilinear transform with its cut-off prewarped, in the
    topology-preserving form whose feedback path is one multiply-add:

        g = t / (1 + t),  t = tan (π·fc / fs)
        s' = a·s + b·x    with a = 1 − 2g, b = 2g
        low-pass  s + g·(x − s)     (the mean of s and s')
        high-pass c·(x − s)         with c = 1 − g (x minus the low-pass)

    Both halves of the pair meet at the cut-off, each 3.01 dB down, at every
    sample rate: the prewarp puts the analog corner exactly there. The kernel
    runs its low cut and its two tone filters on these coefficients, channels
    side by side in SIMD lanes; process* here is the same filter one sample at a
    time, in double precision.
*/
class OnePoleFilter final
{
public:
    //==============================================================================
    struct Coefficients
    {
        double feedback;        // a
        double input;           // b
        double highPassOutput;  // c
        double g;

        /** For a cut-off below half the sample rate. */
        static Coefficients design (double cutoffHz, double sampleRate) noexcept;
    };

    //==============================================================================
    OnePoleFilter (double cutoffHz, double sampleRate) noexcept;

    const Coefficients& getCoefficients() const noexcept { return coefficients; }

    void reset() noexcept { state = 0.0; }

    double processLowPass (double x) noexcept;
    double processHighPass (double x) noexcept;

private:
    //==============================================================================
    Coefficients coefficients;
    double state = 0.0;
};
