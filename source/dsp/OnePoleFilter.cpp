#include "OnePoleFilter.h"

#include <juce_core/juce_core.h>

#include <cmath>

OnePoleFilter::Coefficients OnePoleFilter::Coefficients::design (double cutoffHz, double sampleRate) noexcept
{
    Coefficients c;
    const auto t = std::tan (juce::MathConstants<double>::pi * cutoffHz / sampleRate);
    c.g = t / (1.0 + t);
    c.feedback = 1.0 - 2.0 * c.g;
    c.input = 2.0 * c.g;
    c.highPassOutput = 1.0 - c.g;
    return c;
}

OnePoleFilter::OnePoleFilter (double cutoffHz, double sampleRate) noexcept
    : coefficients (Coefficients::design (cutoffHz, sampleRate))
{
}

double OnePoleFilter::processLowPass (double x) noexcept
{
    const auto output = state + coefficients.g * (x - state);
    state = coefficients.feedback * state + coefficients.input * x;
    return output;
}

double OnePoleFilter::processHighPass (double x) noexcept
{
    const auto output = coefficients.highPassOutput * (x - state);
    state = coefficients.feedback * state + coefficients.input * x;
    return output;
}
