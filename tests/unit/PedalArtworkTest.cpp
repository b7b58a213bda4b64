#include "gui/EffectBaseImage.h"
#include "gui/FloorImage.h"
#include "SeeThroughPixels.h"

#include "BinaryData.h"

#include <gtest/gtest.h>

// The two picture layers under the panel's controls: the pedal body, fitted
// with its proportions into a box near the top of the panel, and the floor,
// stretched over everything.

namespace
{
    // The bounding box of everything a snapshot shows (alpha above zero).
    juce::Rectangle<int> drawnArea (const juce::Image& image)
    {
        const juce::Image::BitmapData pixels (image, juce::Image::BitmapData::readOnly);
        int left = pixels.width, top = pixels.height, right = -1, bottom = -1;

        for (int y = 0; y < pixels.height; ++y)
        {
            for (int x = 0; x < pixels.width; ++x)
            {
                if (pixels.getPixelColour (x, y).getAlpha() == 0)
                    continue;

                left = juce::jmin (left, x);
                right = juce::jmax (right, x);
                top = juce::jmin (top, y);
                bottom = juce::jmax (bottom, y);
            }
        }

        return right < 0 ? juce::Rectangle<int>() : juce::Rectangle<int>::leftTopRightBottom (left, top, right + 1, bottom + 1);
    }

    // The part of the body picture that is not fully transparent, scaled as it is drawn.
    juce::Rectangle<float> outlineOfBodyPicture()
    {
        const auto picture = PedalPictures::getShared()->get ({ BinaryData::BraskOverdriveOnRed_png, BinaryData::BraskOverdriveOnRed_pngSize });
        return drawnArea (picture).toFloat();
    }
}

//==============================================================================
TEST (PedalArtwork, TheBodyIsFittedIntoABoxNearTheTopOfThePanel)
{
    struct Case
    {
        int width, height;
        juce::Rectangle<int> box;
    };

    const Case cases[] = {
        { 350, 550, { 17, 33, 315, 495 } },
        { 400, 629, { 20, 37, 360, 566 } },
        { 245, 385, { 12, 23, 220, 346 } },
    };

    const auto outline = outlineOfBodyPicture();

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.width) + " x " + juce::String (c.height));

        EffectBaseImage body;
        body.setSize (c.width, c.height);
        EXPECT_EQ (body.getBodyBox(), c.box);

        // Drawn at the largest size that fits, proportions kept, centred in the box:
        // with the pedal's tall picture the height is what limits it.
        const auto scale = juce::jmin ((float) c.box.getWidth() / 556.0f, (float) c.box.getHeight() / 955.0f);
        const auto pictureLeft = (float) c.box.getX() + ((float) c.box.getWidth() - 556.0f * scale) * 0.5f;
        const auto pictureTop = (float) c.box.getY() + ((float) c.box.getHeight() - 955.0f * scale) * 0.5f;
        const auto expected = juce::Rectangle<float> (pictureLeft + outline.getX() * scale, pictureTop + outline.getY() * scale,
                                                      outline.getWidth() * scale, outline.getHeight() * scale);

        const auto drawn = drawnArea (body.createComponentSnapshot (body.getLocalBounds())).toFloat();

        EXPECT_TRUE (c.box.toFloat().contains (drawn)) << drawn.toString();
        EXPECT_NEAR (drawn.getX(), expected.getX(), 1.5f);
        EXPECT_NEAR (drawn.getY(), expected.getY(), 1.5f);
        EXPECT_NEAR (drawn.getRight(), expected.getRight(), 1.5f);
        EXPECT_NEAR (drawn.getBottom(), expected.getBottom(), 1.5f);
    }
}

TEST (PedalArtwork, TheBodyStartsLitAndSwitchesPicturesWithoutCopyingPixels)
{
    EffectBaseImage body;
    body.setSize (245, 385);

    const auto lit = PedalPictures::getShared()->get ({ BinaryData::BraskOverdriveOnRed_png, BinaryData::BraskOverdriveOnRed_pngSize });
    const auto dark = PedalPictures::getShared()->get ({ BinaryData::BraskOverdriveOff_png, BinaryData::BraskOverdriveOff_pngSize });

    ASSERT_TRUE (lit.isValid());
    ASSERT_TRUE (dark.isValid());
    EXPECT_EQ (body.getCurrentImage().getPixelData(), lit.getPixelData());

    body.showOff();
    EXPECT_EQ (body.getCurrentImage().getPixelData(), dark.getPixelData());
    body.showOff();
    EXPECT_EQ (body.getCurrentImage().getPixelData(), dark.getPixelData());

    body.showOn();
    EXPECT_EQ (body.getCurrentImage().getPixelData(), lit.getPixelData());
}

//==============================================================================
TEST (PedalArtwork, TheSixteenBitFloorDecodesAndFillsAnyShapeOfPanel)
{
    FloorImage floor;
    ASSERT_TRUE (floor.getFloorImage().isValid());
    EXPECT_EQ (floor.getFloorImage().getWidth(), 581);
    EXPECT_EQ (floor.getFloorImage().getHeight(), 777);

    for (auto size : { juce::Point<int> (245, 385), juce::Point<int> (400, 100), juce::Point<int> (60, 500) })
    {
        SCOPED_TRACE (size.toString().toStdString());
        floor.setSize (size.x, size.y);

        EXPECT_EQ (countSeeThroughPixels (floor), 0);
    }
}
