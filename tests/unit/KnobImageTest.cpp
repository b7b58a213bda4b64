#include "gui/BraskOverdriveProcessorEditor.h"
#include "gui/KnobImage.h"

#include "BinaryData.h"

#include <gtest/gtest.h>

#include <limits>

// The filmstrip look of a knob: which frame a knob value shows, that the three
// knobs share one decoded filmstrip, and that a damaged frame only blanks the
// knob without keeping the pedal from opening.

namespace
{
    // Frame n of the filmstrip, found by its file name rather than through the knob's own table.
    juce::Image filmstripFrame (int n)
    {
        int size = 0;
        const auto name = "BraskOverdrive_" + juce::String (n) + "_png";
        const auto* data = BinaryData::getNamedResource (name.toRawUTF8(), size);
        return data == nullptr ? juce::Image() : PedalPictures::getShared()->get ({ data, size });
    }

    juce::Image knobSnapshot (KnobImage& look, int size = 60)
    {
        juce::Slider knob (juce::Slider::RotaryVerticalDrag, juce::Slider::NoTextBox);
        knob.setLookAndFeel (&look);
        knob.setSize (size, size);
        auto snapshot = knob.createComponentSnapshot (knob.getLocalBounds());
        knob.setLookAndFeel (nullptr);
        return snapshot;
    }

    int countDrawnPixels (const juce::Image& image)
    {
        const juce::Image::BitmapData pixels (image, juce::Image::BitmapData::readOnly);
        int drawn = 0;

        for (int y = 0; y < pixels.height; ++y)
            for (int x = 0; x < pixels.width; ++x)
                if (pixels.getPixelColour (x, y).getAlpha() != 0)
                    ++drawn;

        return drawn;
    }

    bool samePixels (const juce::Image& a, const juce::Image& b)
    {
        if (a.getBounds() != b.getBounds())
            return false;

        for (int y = 0; y < a.getHeight(); ++y)
            for (int x = 0; x < a.getWidth(); ++x)
                if (a.getPixelAt (x, y) != b.getPixelAt (x, y))
                    return false;

        return true;
    }

    // The embedded filmstrip with frame 150, the knob's middle, damaged beyond decoding.
    juce::Image filmstripWithoutItsMiddleFrame (int n)
    {
        return n == 150 ? juce::Image() : KnobImage::loadEmbeddedFrame (n);
    }
}

//==============================================================================
TEST (KnobImage, EachValueShowsItsShareOfTheFilmstrip)
{
    struct Case
    {
        float value;
        int frame;
    };

    const Case cases[] = {
        { 0.0f, 0 },
        { 0.1f, 30 },
        { 0.5f, 150 },
        { 0.99f, 297 },
        { 0.997f, 300 },
        { 1.0f, 300 },     // the top of the travel is held on the last frame
        { 0.9966f, 299 },  // just below 300/301
        { 0.9967f, 300 },  // just above it
        { -0.25f, 0 },
        { -1000.0f, 0 },
        { 1.25f, 300 },
        { 1.0e9f, 300 },
        { std::numeric_limits<float>::infinity(), 300 },
        { -std::numeric_limits<float>::infinity(), 0 },
    };

    KnobImage look;

    for (const auto& c : cases)
    {
        look.setKnobValue (c.value);
        EXPECT_EQ (look.getCurrentFrame().getPixelData(), filmstripFrame (c.frame).getPixelData())
            << "value " << c.value << " should show frame " << c.frame;
    }

    // Not a number still shows a frame of the filmstrip rather than reading outside it.
    look.setKnobValue (std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE (look.getCurrentFrame().isValid());
}

TEST (KnobImage, AllKnobsShareOneDecodedFilmstripButKeepTheirOwnFrame)
{
    KnobImage first, second, third;

    for (int n = 0; n < KnobImage::numFilmstripFrames; ++n)
    {
        const auto value = ((float) n + 0.5f) / (float) KnobImage::numFilmstripFrames;
        first.setKnobValue (value);
        second.setKnobValue (value);
        third.setKnobValue (value);

        ASSERT_TRUE (first.getCurrentFrame().isValid()) << "frame " << n;
        EXPECT_EQ (second.getCurrentFrame().getPixelData(), first.getCurrentFrame().getPixelData()) << "frame " << n;
        EXPECT_EQ (third.getCurrentFrame().getPixelData(), first.getCurrentFrame().getPixelData()) << "frame " << n;
    }

    first.setKnobValue (0.0f);
    third.setKnobValue (1.0f);

    EXPECT_EQ (first.getCurrentFrame().getPixelData(), filmstripFrame (0).getPixelData());
    EXPECT_EQ (second.getCurrentFrame().getPixelData(), filmstripFrame (300).getPixelData());
    EXPECT_EQ (third.getCurrentFrame().getPixelData(), filmstripFrame (300).getPixelData());
}

//==============================================================================
TEST (KnobImage, DrawsTheChosenFrameOverTheWholeKnob)
{
    KnobImage look;
    look.setKnobValue (0.5f);
    const auto middle = knobSnapshot (look, 253);

    // At the frame's own size the knob is the frame, pixel for pixel.
    const auto frame = filmstripFrame (150);
    int differing = 0;

    for (int y = 0; y < 253; ++y)
        for (int x = 0; x < 253; ++x)
            if (middle.getPixelAt (x, y) != frame.getPixelAt (x, y))
                ++differing;

    EXPECT_EQ (differing, 0);

    // Scaled down, the frame still fills the square: opaque in the middle, clear in the corners.
    const auto small = knobSnapshot (look, 46);
    EXPECT_EQ (small.getPixelAt (23, 23).getAlpha(), 255);
    EXPECT_EQ (small.getPixelAt (0, 0).getAlpha(), 0);
    EXPECT_EQ (small.getPixelAt (45, 45).getAlpha(), 0);

    look.setKnobValue (1.0f);
    EXPECT_FALSE (samePixels (knobSnapshot (look, 46), small));
}

TEST (KnobImage, TheKnobShowsOnlyWhatSetKnobValueChose)
{
    KnobImage look;
    look.setKnobValue (0.2f);

    juce::Slider knob (juce::Slider::RotaryVerticalDrag, juce::Slider::NoTextBox);
    knob.setRange (0.0, 1.0, 0.0);
    knob.setLookAndFeel (&look);
    knob.setSize (60, 60);

    const auto before = knob.createComponentSnapshot (knob.getLocalBounds());
    knob.setValue (0.9, juce::dontSendNotification);
    const auto after = knob.createComponentSnapshot (knob.getLocalBounds());

    EXPECT_TRUE (samePixels (before, after));
    knob.setLookAndFeel (nullptr);
}

//==============================================================================
TEST (KnobImage, AFrameThatDoesNotDecodeDrawsNothing)
{
    KnobImage look (filmstripWithoutItsMiddleFrame);

    look.setKnobValue (0.5f);
    EXPECT_TRUE (look.getCurrentFrame().isNull());
    EXPECT_EQ (countDrawnPixels (knobSnapshot (look)), 0);

    look.setKnobValue (0.1f);
    EXPECT_GT (countDrawnPixels (knobSnapshot (look)), 0);
}

TEST (KnobImage, ThePedalStillOpensOverADamagedFrame)
{
    BraskOverdriveAudioProcessor processor;
    BraskOverdriveProcessorEditor editor (processor, std::nullopt, filmstripWithoutItsMiddleFrame);

    EXPECT_EQ (editor.getWidth(), 245);
    EXPECT_EQ (editor.getHeight(), 385);

    auto* panel = editor.getChildComponent (0);
    ASSERT_NE (panel, nullptr);

    // All three knobs stand at the middle, the damaged frame: the knob squares
    // show the body under them exactly as a panel without knobs would.
    const auto withBlankKnobs = editor.createComponentSnapshot (editor.getLocalBounds());

    for (int i = 2; i <= 6; i += 2)
        panel->getChildComponent (i)->setVisible (false);

    const auto withoutKnobs = editor.createComponentSnapshot (editor.getLocalBounds());

    EXPECT_TRUE (samePixels (withBlankKnobs, withoutKnobs));
    EXPECT_GT (countDrawnPixels (withBlankKnobs), 0);
}
