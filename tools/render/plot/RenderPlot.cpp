#include "RenderPlot.h"

#include <cmath>

namespace
{
    //==============================================================================
    // The page: light, like a printed data sheet, with the pedal's two voices in
    // two colours that stay apart for colour-blind readers (blue and orange).
    const juce::Colour pageColour (0xfff6f5f1);
    const juce::Colour panelColour (0xffffffff);
    const juce::Colour frameColour (0xffc9c6bd);
    const juce::Colour gridColour (0xffe6e3dc);
    const juce::Colour zeroLineColour (0xffbdb9ae);
    const juce::Colour textColour (0xff2b2a27);
    const juce::Colour quietTextColour (0xff6d6a62);
    const juce::Colour inputColour (0xff2f6db5);
    const juce::Colour outputColour (0xffe0662b);

    constexpr int pageWidth = 1600;
    constexpr int pageHeight = 1120;
    constexpr float margin = 40.0f;
    constexpr float axisGutter = 74.0f;  // room for the value labels left of a panel
    constexpr double closeUpSeconds = 0.03;

    juce::String fromUtf8 (const std::string& text)
    {
        return juce::String::fromUTF8 (text.data(), (int) text.size());
    }

    juce::Font uiFont (float height, bool bold = false)
    {
        return juce::Font (height, bold ? juce::Font::bold : juce::Font::plain);
    }

    //==============================================================================
    /** Maps values to pixels inside one panel. */
    struct Axes
    {
        juce::Rectangle<float> area;
        double xMin, xMax, yMin, yMax;
        bool logX = false;

        float x (double value) const
        {
            const auto proportion = logX ? std::log (value / xMin) / std::log (xMax / xMin)
                                         : (value - xMin) / (xMax - xMin);
            return area.getX() + (float) proportion * area.getWidth();
        }

        float y (double value) const
        {
            const auto proportion = (value - yMin) / (yMax - yMin);
            return area.getBottom() - (float) proportion * area.getHeight();
        }

        double valueAtX (float pixel) const
        {
            const auto proportion = (double) (pixel - area.getX()) / area.getWidth();
            return logX ? xMin * std::pow (xMax / xMin, proportion) : xMin + proportion * (xMax - xMin);
        }
    };

    /** A round step (1, 2 or 5 times a power of ten) that cuts a range into about `wanted` pieces. */
    double niceStep (double range, int wanted)
    {
        const auto raw = range / juce::jmax (1, wanted);
        const auto magnitude = std::pow (10.0, std::floor (std::log10 (raw)));

        for (auto factor : { 1.0, 2.0, 2.5, 5.0, 10.0 })
            if (raw <= factor * magnitude)
                return factor * magnitude;

        return 10.0 * magnitude;
    }

    juce::String numberText (double value, double step)
    {
        // As many decimals as the step needs to be written exactly (0.25 needs two).
        auto decimals = 0;

        while (decimals < 4 && std::abs (step * std::pow (10.0, decimals) - std::round (step * std::pow (10.0, decimals))) > 1.0e-6)
            ++decimals;
        auto text = juce::String (value, decimals);

        if (text.startsWith ("-") && text.removeCharacters ("-0.").isEmpty())
            text = text.substring (1);  // "-0.0" reads as 0

        return text;
    }

    juce::String frequencyText (double hz)
    {
        return hz >= 1000.0 ? juce::String (hz / 1000.0, hz < 10000.0 && std::fmod (hz, 1000.0) != 0.0 ? 1 : 0) + "k"
                            : juce::String ((int) hz);
    }

    //==============================================================================
    void drawPanel (juce::Graphics& g, const Axes& axes, const juce::String& heading, const juce::String& note)
    {
        g.setColour (panelColour);
        g.fillRect (axes.area);

        g.setColour (textColour);
        g.setFont (uiFont (19.0f, true));
        const auto headingArea = juce::Rectangle<float> (axes.area.getX(), axes.area.getY() - 32.0f, axes.area.getWidth(), 26.0f);
        g.drawText (heading, headingArea, juce::Justification::bottomLeft);

        if (note.isNotEmpty())
        {
            g.setColour (quietTextColour);
            g.setFont (uiFont (15.0f));
            g.drawText (note, headingArea, juce::Justification::bottomRight);
        }
    }

    void drawFrame (juce::Graphics& g, const Axes& axes)
    {
        g.setColour (frameColour);
        g.drawRect (axes.area.expanded (0.5f), 1.0f);
    }

    void drawLinearXGrid (juce::Graphics& g, const Axes& axes, double step, double labelScale, const juce::String& unit)
    {
        g.setFont (uiFont (14.0f));

        for (auto value = std::ceil (axes.xMin / step) * step; value <= axes.xMax + step * 1e-6; value += step)
        {
            const auto px = axes.x (value);
            g.setColour (gridColour);
            g.drawVerticalLine (juce::roundToInt (px), axes.area.getY(), axes.area.getBottom());
            g.setColour (quietTextColour);
            g.drawText (numberText (value * labelScale, step * labelScale),
                        juce::Rectangle<float> (px - 40.0f, axes.area.getBottom() + 4.0f, 80.0f, 18.0f),
                        juce::Justification::centredTop);
        }

        g.setColour (textColour);
        g.setFont (uiFont (15.0f));
        g.drawText (unit, juce::Rectangle<float> (axes.area.getX(), axes.area.getBottom() + 22.0f, axes.area.getWidth(), 20.0f),
                    juce::Justification::centredTop);
    }

    void drawYGrid (juce::Graphics& g, const Axes& axes, double step, const juce::String& unit, bool strongZero)
    {
        g.setFont (uiFont (14.0f));

        for (auto value = std::ceil (axes.yMin / step) * step; value <= axes.yMax + step * 1e-6; value += step)
        {
            const auto py = axes.y (value);
            const auto isZero = std::abs (value) < step * 1e-6;
            g.setColour (strongZero && isZero ? zeroLineColour : gridColour);
            g.drawHorizontalLine (juce::roundToInt (py), axes.area.getX(), axes.area.getRight());
            g.setColour (quietTextColour);
            g.drawText (numberText (value, step), juce::Rectangle<float> (axes.area.getX() - 62.0f, py - 9.0f, 56.0f, 18.0f),
                        juce::Justification::centredRight);
        }

        // The unit reads upwards along the left edge.
        g.saveState();
        g.setColour (textColour);
        g.setFont (uiFont (15.0f));
        const auto centre = juce::Point<float> (axes.area.getX() - axisGutter + 4.0f, axes.area.getCentreY());
        g.addTransform (juce::AffineTransform::rotation (-juce::MathConstants<float>::halfPi, centre.x, centre.y));
        g.drawText (unit, juce::Rectangle<float> (centre.x - 150.0f, centre.y - 10.0f, 300.0f, 20.0f), juce::Justification::centred);
        g.restoreState();
    }

    //==============================================================================
    void drawOverview (juce::Graphics& g, const Axes& axes, const RenderAnalysis& analysis, double closeUpFrom, double closeUpLength)
    {
        const auto columns = (int) analysis.getInputOverview().minimum.size();
        const auto seconds = (double) analysis.getTotalSamples() / analysis.getSampleRate();

        const auto drawEnvelope = [&] (const RenderAnalysis::Envelope& envelope, juce::Colour colour, float alpha) {
            juce::Path shape;

            for (int i = 0; i < columns; ++i)
            {
                const auto px = axes.x (seconds * (i + 0.5) / columns);
                const auto py = axes.y (envelope.maximum[(size_t) i]);
                i == 0 ? shape.startNewSubPath (px, py) : shape.lineTo (px, py);
            }

            for (int i = columns; --i >= 0;)
                shape.lineTo (axes.x (seconds * (i + 0.5) / columns), axes.y (envelope.minimum[(size_t) i]));

            shape.closeSubPath();
            g.setColour (colour.withAlpha (alpha));
            g.fillPath (shape);
        };

        g.saveState();
        g.reduceClipRegion (axes.area.toNearestInt());
        // The wider of the two goes behind, so that both stay in sight.
        const auto span = [] (const RenderAnalysis::Envelope& envelope) {
            auto sum = 0.0;

            for (size_t i = 0; i < envelope.minimum.size(); ++i)
                sum += envelope.maximum[i] - envelope.minimum[i];

            return sum;
        };

        const auto inputIsWider = span (analysis.getInputOverview()) > span (analysis.getOutputOverview());
        const auto& back = inputIsWider ? analysis.getInputOverview() : analysis.getOutputOverview();
        const auto& front = inputIsWider ? analysis.getOutputOverview() : analysis.getInputOverview();
        drawEnvelope (back, inputIsWider ? inputColour : outputColour, 0.45f);
        drawEnvelope (front, inputIsWider ? outputColour : inputColour, 0.85f);

        // Where the close-up below comes from.
        const auto marker = juce::Rectangle<float>::leftTopRightBottom (axes.x (closeUpFrom) - 2.0f, axes.area.getY(),
                                                                        axes.x (closeUpFrom + closeUpLength) + 2.0f, axes.area.getBottom());
        g.setColour (textColour.withAlpha (0.10f));
        g.fillRect (marker);
        g.setColour (textColour.withAlpha (0.6f));
        g.drawRect (marker, 1.0f);
        g.restoreState();
    }

    void drawCloseUp (juce::Graphics& g, const Axes& axes, const RenderAnalysis& analysis, int firstSample, int numSamples)
    {
        const auto drawTrace = [&] (const std::vector<float>& samples, juce::Colour colour, float thickness) {
            juce::Path trace;

            for (int i = 0; i < numSamples; ++i)
            {
                const auto px = axes.x (1000.0 * i / analysis.getSampleRate());
                const auto py = axes.y (samples[(size_t) (firstSample + i)]);
                i == 0 ? trace.startNewSubPath (px, py) : trace.lineTo (px, py);
            }

            g.setColour (colour);
            g.strokePath (trace, juce::PathStrokeType (thickness, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));
        };

        g.saveState();
        g.reduceClipRegion (axes.area.toNearestInt());
        drawTrace (analysis.getLoudestInput(), inputColour, 2.0f);
        drawTrace (analysis.getLoudestOutput(), outputColour, 2.4f);
        g.restoreState();
    }

    double spectrumDecibels (double power)
    {
        return 10.0 * std::log10 (juce::jmax (power, 1.0e-20));
    }

    void drawSpectrum (juce::Graphics& g, const Axes& axes, const RenderAnalysis& analysis)
    {
        const auto binHz = analysis.getSampleRate() / analysis.getFrameSize();

        // One value per pixel column: the strongest bin in the column, or, where
        // bins are wider than a pixel (the low end), the bins' values interpolated.
        const auto traceFor = [&] (const std::vector<double>& spectrum) {
            juce::Path trace;
            const auto left = (int) axes.area.getX();
            const auto right = (int) axes.area.getRight();

            for (auto px = left; px <= right; ++px)
            {
                const auto fromBin = axes.valueAtX ((float) px - 0.5f) / binHz;
                const auto toBin = axes.valueAtX ((float) px + 0.5f) / binHz;
                auto power = 0.0;

                if (std::floor (toBin) > std::floor (fromBin))
                {
                    for (auto bin = (int) std::ceil (fromBin); bin <= (int) std::floor (toBin) && bin < (int) spectrum.size(); ++bin)
                        power = std::max (power, spectrum[(size_t) bin]);
                }
                else
                {
                    const auto centre = (fromBin + toBin) / 2.0;
                    const auto lower = juce::jlimit (0, (int) spectrum.size() - 2, (int) std::floor (centre));
                    const auto fraction = centre - lower;
                    power = spectrum[(size_t) lower] * (1.0 - fraction) + spectrum[(size_t) lower + 1] * fraction;
                }

                const auto py = axes.y (juce::jlimit (axes.yMin - 10.0, axes.yMax + 10.0, spectrumDecibels (power)));
                px == left ? trace.startNewSubPath ((float) px, py) : trace.lineTo ((float) px, py);
            }

            return trace;
        };

        g.saveState();
        g.reduceClipRegion (axes.area.toNearestInt());

        for (auto [spectrum, colour] : { std::pair { &analysis.getInputSpectrum(), inputColour },
                                         std::pair { &analysis.getOutputSpectrum(), outputColour } })
        {
            auto trace = traceFor (*spectrum);

            auto fill = trace;
            fill.lineTo (axes.area.getRight(), axes.area.getBottom());
            fill.lineTo (axes.area.getX(), axes.area.getBottom());
            fill.closeSubPath();
            g.setColour (colour.withAlpha (0.16f));
            g.fillPath (fill);

            g.setColour (colour);
            g.strokePath (trace, juce::PathStrokeType (2.0f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));
        }

        g.restoreState();
    }

    void drawLogFrequencyGrid (juce::Graphics& g, const Axes& axes)
    {
        g.setFont (uiFont (14.0f));

        for (auto decade = 10.0; decade < axes.xMax; decade *= 10.0)
        {
            for (int multiple = 1; multiple < 10; ++multiple)
            {
                const auto hz = decade * multiple;

                if (hz < axes.xMin || hz > axes.xMax)
                    continue;

                const auto labelled = multiple == 1 || multiple == 2 || multiple == 5;
                const auto px = axes.x (hz);
                g.setColour (labelled ? gridColour.darker (0.08f) : gridColour);
                g.drawVerticalLine (juce::roundToInt (px), axes.area.getY(), axes.area.getBottom());

                if (labelled)
                {
                    g.setColour (quietTextColour);
                    g.drawText (frequencyText (hz), juce::Rectangle<float> (px - 30.0f, axes.area.getBottom() + 4.0f, 60.0f, 18.0f),
                                juce::Justification::centredTop);
                }
            }
        }

        g.setColour (textColour);
        g.setFont (uiFont (15.0f));
        g.drawText ("frequency (Hz)", juce::Rectangle<float> (axes.area.getX(), axes.area.getBottom() + 22.0f, axes.area.getWidth(), 20.0f),
                    juce::Justification::centredTop);
    }

    void drawLegend (juce::Graphics& g, juce::Rectangle<float> area, const PlotCaption& caption)
    {
        const auto drawEntry = [&] (juce::Rectangle<float> row, juce::Colour colour, const juce::String& name, const juce::String& levels) {
            g.setColour (colour);
            g.fillRoundedRectangle (row.removeFromLeft (30.0f).withSizeKeepingCentre (30.0f, 6.0f), 3.0f);
            row.removeFromLeft (10.0f);
            g.setColour (textColour);
            g.setFont (uiFont (17.0f, true));
            g.drawText (name, row.removeFromLeft (70.0f), juce::Justification::centredLeft);
            g.setColour (quietTextColour);
            g.setFont (uiFont (15.0f));
            g.drawText (levels, row, juce::Justification::centredLeft);
        };

        g.setColour (panelColour);
        g.fillRoundedRectangle (area, 6.0f);
        g.setColour (frameColour);
        g.drawRoundedRectangle (area, 6.0f, 1.0f);

        auto inner = area.reduced (16.0f, 10.0f);
        drawEntry (inner.removeFromTop (inner.getHeight() / 2.0f), inputColour, "Input", fromUtf8 (caption.inputLevels));
        drawEntry (inner, outputColour, "Output", fromUtf8 (caption.outputLevels));
    }
}

//==============================================================================
juce::Image drawRenderPlot (const RenderAnalysis& analysis, const PlotCaption& caption)
{
    juce::Image image (juce::Image::RGB, pageWidth, pageHeight, true);
    juce::Graphics g (image);
    g.setImageResamplingQuality (juce::Graphics::highResamplingQuality);
    g.fillAll (pageColour);

    //==============================================================================
    // Header: what was rendered, with which settings, and the legend.
    auto page = juce::Rectangle<float> (0.0f, 0.0f, (float) pageWidth, (float) pageHeight).reduced (margin);
    auto header = page.removeFromTop (96.0f);

    drawLegend (g, header.removeFromRight (520.0f).withTrimmedBottom (8.0f), caption);

    g.setColour (textColour);
    g.setFont (uiFont (28.0f, true));
    g.drawFittedText (fromUtf8 (caption.title), header.removeFromTop (38.0f).toNearestInt(), juce::Justification::centredLeft, 1);
    g.setFont (uiFont (17.0f));
    g.setColour (textColour);
    g.drawFittedText (fromUtf8 (caption.settings), header.removeFromTop (26.0f).toNearestInt(), juce::Justification::centredLeft, 1);
    g.setColour (quietTextColour);
    g.drawFittedText (fromUtf8 (caption.format), header.removeFromTop (26.0f).toNearestInt(), juce::Justification::centredLeft, 1);

    page.removeFromLeft (axisGutter - 10.0f);
    page.removeFromRight (10.0f);

    const auto sampleRate = analysis.getSampleRate();
    const auto seconds = juce::jmax (0.01, (double) analysis.getTotalSamples() / sampleRate);

    // The middle of the loudest frame, or of what there is of it in a file shorter than a frame.
    const auto frameSize = analysis.getFrameSize();
    const auto available = (int) juce::jlimit<juce::int64> (2, frameSize, analysis.getTotalSamples() - analysis.getLoudestStart());
    const auto shown = juce::jmin (available, juce::jmax (2, (int) std::lround (closeUpSeconds * sampleRate)));
    const auto firstShown = (available - shown) / 2;

    const auto closeUpStartSeconds = (double) (analysis.getLoudestStart() + firstShown) / sampleRate;

    //==============================================================================
    // The whole file.
    page.removeFromTop (44.0f);
    Axes overview { page.removeFromTop (170.0f), 0.0, seconds, -1.0, 1.0 };
    drawPanel (g, overview, "The whole file", "shaded: the close-up below");
    drawLinearXGrid (g, overview, niceStep (seconds, 10), 1.0, "time (s)");
    drawYGrid (g, overview, 0.5, "amplitude", true);
    drawOverview (g, overview, analysis, closeUpStartSeconds, shown / sampleRate);
    drawFrame (g, overview);

    //==============================================================================
    // The loudest moment of the input, and what the pedal made of it.
    auto loudest = 0.0f;

    for (int i = firstShown; i < firstShown + shown; ++i)
        loudest = std::max ({ loudest,
                              std::abs (analysis.getLoudestInput()[(size_t) i]),
                              std::abs (analysis.getLoudestOutput()[(size_t) i]) });

    const auto amplitudeStep = niceStep (juce::jmax (0.01, (double) loudest), 4);
    const auto amplitudeTop = juce::jmax (amplitudeStep, std::ceil (loudest * 1.05 / amplitudeStep) * amplitudeStep);
    const auto shownMilliseconds = 1000.0 * (shown - 1) / sampleRate;

    page.removeFromTop (84.0f);
    Axes closeUp { page.removeFromTop (300.0f), 0.0, shownMilliseconds, -amplitudeTop, amplitudeTop };
    drawPanel (g, closeUp, "Close-up of the loudest moment",
               "from " + juce::String (closeUpStartSeconds, 3) + " s" + (caption.numChannels > 1 ? ", both channels averaged" : ""));
    drawLinearXGrid (g, closeUp, niceStep (shownMilliseconds, 10), 1.0, "time (ms)");
    drawYGrid (g, closeUp, amplitudeStep, "amplitude", true);
    drawCloseUp (g, closeUp, analysis, firstShown, shown);
    drawFrame (g, closeUp);

    //==============================================================================
    // Average spectra: the harmonics the clipper adds, and the tone control's roll-off.
    auto strongest = -200.0;

    for (auto* spectrum : { &analysis.getInputSpectrum(), &analysis.getOutputSpectrum() })
        for (auto power : *spectrum)
            strongest = std::max (strongest, spectrumDecibels (power));

    const auto decibelTop = juce::jlimit (-60.0, 20.0, std::ceil ((strongest + 3.0) / 10.0) * 10.0);
    const auto nyquist = sampleRate / 2.0;

    page.removeFromTop (84.0f);
    Axes spectrum { page.withTrimmedBottom (46.0f), 20.0, juce::jmax (40.0, juce::jmin (nyquist, 24000.0)),
                    decibelTop - 100.0, decibelTop, true };
    const auto leftOut = analysis.getSamplesLeftOut();
    drawPanel (g, spectrum, "Average spectrum",
               "0 dB = a full-scale sine"
                   + (leftOut > 0 ? "; " + juce::String (leftOut) + (leftOut == 1 ? " sample" : " samples")
                                        + " NaN or infinite left out"
                                  : juce::String()));
    drawLogFrequencyGrid (g, spectrum);
    drawYGrid (g, spectrum, 10.0, "level (dB)", false);
    drawSpectrum (g, spectrum, analysis);
    drawFrame (g, spectrum);

    return image;
}
