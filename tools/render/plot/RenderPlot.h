#pragma once

#include "RenderAnalysis.h"
#include "RenderPlotter.h"

#include <juce_graphics/juce_graphics.h>

//==============================================================================
/**
    Draws input and output of a render side by side, for people who would rather
    look than read: the whole file's waveform, a close-up of its loudest moment
    (where the clipping shows), and both average spectra on a log-frequency axis.
*/
juce::Image drawRenderPlot (const RenderAnalysis& analysis, const PlotCaption& caption);
