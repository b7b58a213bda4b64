#pragma once

#include "RenderAnalysis.h"

#include <juce_graphics/juce_graphics.h>

//==============================================================================
/** The words around the plot: what was rendered, and how loud it came out. */
struct PlotCaption
{
    juce::String title;         // e.g. "riff.wav  →  riff-crunch.wav"
    juce::String settings;      // knobs and footswitch
    juce::String format;        // sample rate, channels, bit depth, length
    juce::String inputLevels;
    juce::String outputLevels;
    int numChannels = 1;        // stereo pictures show the mean of the two channels
};

//==============================================================================
/**
    Draws input and output of a render side by side, for people who would rather
    look than read: the whole file's waveform, a close-up of its loudest moment
    (where the clipping shows), and both average spectra on a log-frequency axis.
*/
juce::Image drawRenderPlot (const RenderAnalysis& analysis, const PlotCaption& caption);
