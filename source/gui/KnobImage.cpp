#include "KnobImage.h"

#include "BinaryData.h"

#include <array>

namespace
{
    using EmbeddedPicture = PedalPictures::Embedded;

    // Every frame of the filmstrip by its generated name, in turning order, so
    // that no picture is ever looked up by a name built at run time.
#define BRASK_FRAME(n) EmbeddedPicture { BinaryData::BraskOverdrive_##n##_png, BinaryData::BraskOverdrive_##n##_pngSize },
#define BRASK_TEN_FRAMES(t) BRASK_FRAME (t##0) BRASK_FRAME (t##1) BRASK_FRAME (t##2) BRASK_FRAME (t##3) BRASK_FRAME (t##4) \
    BRASK_FRAME (t##5) BRASK_FRAME (t##6) BRASK_FRAME (t##7) BRASK_FRAME (t##8) BRASK_FRAME (t##9)

    const std::array<EmbeddedPicture, KnobImage::numFilmstripFrames> filmstrip {
        BRASK_FRAME (0) BRASK_FRAME (1) BRASK_FRAME (2) BRASK_FRAME (3) BRASK_FRAME (4)
            BRASK_FRAME (5) BRASK_FRAME (6) BRASK_FRAME (7) BRASK_FRAME (8) BRASK_FRAME (9)
                BRASK_TEN_FRAMES (1) BRASK_TEN_FRAMES (2) BRASK_TEN_FRAMES (3) BRASK_TEN_FRAMES (4) BRASK_TEN_FRAMES (5)
                    BRASK_TEN_FRAMES (6) BRASK_TEN_FRAMES (7) BRASK_TEN_FRAMES (8) BRASK_TEN_FRAMES (9)
                        BRASK_TEN_FRAMES (10) BRASK_TEN_FRAMES (11) BRASK_TEN_FRAMES (12) BRASK_TEN_FRAMES (13) BRASK_TEN_FRAMES (14)
                            BRASK_TEN_FRAMES (15) BRASK_TEN_FRAMES (16) BRASK_TEN_FRAMES (17) BRASK_TEN_FRAMES (18) BRASK_TEN_FRAMES (19)
                                BRASK_TEN_FRAMES (20) BRASK_TEN_FRAMES (21) BRASK_TEN_FRAMES (22) BRASK_TEN_FRAMES (23) BRASK_TEN_FRAMES (24)
                                    BRASK_TEN_FRAMES (25) BRASK_TEN_FRAMES (26) BRASK_TEN_FRAMES (27) BRASK_TEN_FRAMES (28) BRASK_TEN_FRAMES (29)
                                        BRASK_FRAME (300)
    };

#undef BRASK_TEN_FRAMES
#undef BRASK_FRAME
}

//==============================================================================
juce::Image KnobImage::loadEmbeddedFrame (int frameIndex)
{
    if (! juce::isPositiveAndBelow (frameIndex, numFilmstripFrames))
        return {};

    return PedalPictures::getShared()->get (filmstrip[(size_t) frameIndex]);
}

//==============================================================================
KnobImage::KnobImage()
    : KnobImage (loadEmbeddedFrame)
{
}

KnobImage::KnobImage (FrameLoader loadFrame)
    : pictures (PedalPictures::getShared())
{
    if (loadFrame == loadEmbeddedFrame)
        pictures->decodeAll (filmstrip.data(), filmstrip.size());

    for (size_t n = 0; n < frames.size(); ++n)
        frames[n] = loadFrame ((int) n);
}

KnobImage::~KnobImage() = default;

//==============================================================================
void KnobImage::setKnobValue (float value) noexcept
{
    // Each frame covers an equal share of the travel; the top of the travel
    // lands one past the last frame and is held on it. Comparisons rather than
    // a cast decide the ends, so that even a non-finite value picks a frame.
    const auto range = maxValue - minValue;
    const auto position = (numFrames / range) * (value - minValue);
    const auto lastFrame = (int) frames.size() - 1;

    int index = 0;

    if (position >= (float) lastFrame)
        index = lastFrame;
    else if (position > 0.0f)
        index = (int) position;

    currentFrame = frames[(size_t) index];
}

//==============================================================================
void KnobImage::drawRotarySlider (juce::Graphics& g, int, int, int width, int height,
                                  float, float, float, juce::Slider&)
{
    if (currentFrame.isNull())
        return;

    // The knob's square bounds start at the slider's origin (it has no text box),
    // so the whole frame is scaled onto the whole slider.
    g.drawImage (currentFrame,
                 0, 0, width, height,
                 0, 0, currentFrame.getWidth(), currentFrame.getHeight(),
                 false);
}
