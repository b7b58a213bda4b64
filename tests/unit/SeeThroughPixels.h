#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** How many pixels of a component, drawn as it is now, would let what lies behind
    it show through. The framework's resampler leaves the outermost column of a
    shrunk picture a shade short of opaque (253 of 255), which still hides what is
    behind, so "see-through" means an alpha below 250.
*/
inline int countSeeThroughPixels (juce::Component& component)
{
    constexpr juce::uint8 nearlyOpaque = 250;
    const auto snapshot = component.createComponentSnapshot (component.getLocalBounds());
    const juce::Image::BitmapData pixels (snapshot, juce::Image::BitmapData::readOnly);
    int seeThrough = 0;

    for (int y = 0; y < pixels.height; ++y)
        for (int x = 0; x < pixels.width; ++x)
            if (pixels.getPixelColour (x, y).getAlpha() < nearlyOpaque)
                ++seeThrough;

    return seeThrough;
}
