#pragma once

#include "RenderPlotter.h"

//==============================================================================
/*
    The one door between brask-render and its plot library: a C function the
    loader looks up by name. The name carries the interface's version, so that a
    library left over from another build is refused with a message rather than
    called with objects laid out differently. Change the number whenever
    RenderPlotter or PlotCaption changes.
*/
#define BRASK_RENDER_PLOTTER_ENTRY braskCreateRenderPlotter_1

#define BRASK_RENDER_PLOTTER_TEXT_OF(name) BRASK_RENDER_PLOTTER_TEXT (name)
#define BRASK_RENDER_PLOTTER_TEXT(name) #name

constexpr const char* renderPlotterEntryName = BRASK_RENDER_PLOTTER_TEXT_OF (BRASK_RENDER_PLOTTER_ENTRY);

/** The library's file name, beside brask-render or in its installed private folder. */
constexpr const char* renderPlotLibraryName = "brask-render-plot.so";

/** Makes a plotter the caller owns (and deletes through RenderPlotter's virtual
    destructor), or returns nullptr when it cannot.
*/
extern "C" RenderPlotter* BRASK_RENDER_PLOTTER_ENTRY (double sampleRate, std::int64_t totalFrames, int numChannels);

using CreateRenderPlotter = decltype (&BRASK_RENDER_PLOTTER_ENTRY);
