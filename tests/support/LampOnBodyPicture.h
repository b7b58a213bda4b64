#pragma once

#include <juce_graphics/juce_graphics.h>

#include <cmath>

/** Where the lamp lies on the pedal's body pictures: the pixel at which the picture
    with the lamp lit and the one with it dark differ most. Tests that look for the
    lamp on screen or in a snapshot map this point through the body's box.
*/
inline juce::Point<int> lampOnBodyPicture (const juce::Image& lit, const juce::Image& dark)
{
    juce::Point<int> lamp;
    float largest = -1.0f;

    for (int y = 0; y < lit.getHeight(); ++y)
    {
        for (int x = 0; x < lit.getWidth(); ++x)
        {
            const auto difference = std::abs (lit.getPixelAt (x, y).getBrightness() - dark.getPixelAt (x, y).getBrightness());

            if (difference > largest)
            {
                largest = difference;
                lamp = { x, y };
            }
        }
    }

    return lamp;
}
