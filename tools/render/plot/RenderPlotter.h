#pragma once

#include <cstdint>
#include <memory>
#include <string>

//==============================================================================
/** The words around the plot: what was rendered, and how loud it came out (UTF-8). */
struct PlotCaption
{
    std::string title;     // e.g. "riff.wav  →  Brask Overdrive  →  riff-crunch.wav"
    std::string settings;  // knobs and footswitch
    std::string format;    // sample rate, channels, encoding, length, block size
    std::string inputLevels;
    std::string outputLevels;
    int numChannels = 1;  // stereo pictures show the mean of the two channels
};

//==============================================================================
/**
    The picture of a render, for people who would rather look than read. It
    watches the audio stream past (input as the pedal took it, output as it gave
    it) and draws the picture once the file is done.

    Drawing needs a graphics framework a plain render has no use for, so the
    plotter lives in a library of its own that brask-render loads only when a
    plot is asked for.
*/
class RenderPlotter
{
public:
    virtual ~RenderPlotter() = default;

    /** One stretch of the file, in order, with every channel of input and output. */
    virtual void add (const float* const* input, const float* const* output, int numSamples) = 0;

    /** Finishes the analysis and writes the picture as a PNG file at path.
        On failure returns false and says why in error.
    */
    virtual bool write (const PlotCaption& caption, const std::string& path, std::string& error) = 0;
};

/** Loads the plot library and makes a plotter for a file of this rate, length
    (in frames, as expected from its header) and channel count. Returns nullptr
    and says why in error when the library cannot be loaded.
*/
std::unique_ptr<RenderPlotter> loadRenderPlotter (double sampleRate, std::int64_t totalFrames, int numChannels, std::string& error);
