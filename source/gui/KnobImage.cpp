#include "KnobImage.h"

#include "BinaryData.h"

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#if defined (__GLIBC__)
 #include <malloc.h>
#endif

namespace
{
    struct EmbeddedPicture
    {
        const char* data;
        int size;
    };

    // Every frame of the filmstrip by its generated name, in turning order, so
    // that no picture is ever looked up by a name built at run time.
   #define BRASK_FRAME(n)       EmbeddedPicture { BinaryData::BraskOverdrive_##n##_png, BinaryData::BraskOverdrive_##n##_pngSize },
   #define BRASK_TEN_FRAMES(t)  BRASK_FRAME (t##0) BRASK_FRAME (t##1) BRASK_FRAME (t##2) BRASK_FRAME (t##3) BRASK_FRAME (t##4) \
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

    const auto& picture = filmstrip[(size_t) frameIndex];
    return juce::ImageCache::getFromMemory (picture.data, picture.size);
}

namespace
{
    // The key under which the framework's image cache files a picture decoded from
    // memory: the address of its bytes (JUCE 7.0.5). The knob tests check that the
    // knobs share their frames with getFromMemory, so a change of key shows there.
    juce::int64 imageCacheKeyOf (const EmbeddedPicture& picture)
    {
        return (juce::int64) (juce::pointer_sized_int) picture.data;
    }

    // The first pedal opened in a process decodes the whole filmstrip: spread over
    // every core, it takes a fraction of the time. The framework's cache may not be
    // filled from several threads (in 7.0.5 it starts its expiry timer unguarded),
    // so the workers only decode and this thread files the pictures.
    void decodeFilmstripIntoImageCache()
    {
        std::vector<size_t> missing;

        for (size_t n = 0; n < filmstrip.size(); ++n)
            if (juce::ImageCache::getFromHashCode (imageCacheKeyOf (filmstrip[n])).isNull())
                missing.push_back (n);

        if (missing.empty())
            return;

        std::vector<juce::Image> decoded (missing.size());
        std::atomic<size_t> next { 0 };

        const auto decodeUntilDone = [&]
        {
            for (auto i = next++; i < missing.size(); i = next++)
            {
                const auto& picture = filmstrip[missing[i]];
                decoded[i] = juce::ImageFileFormat::loadFrom (picture.data, (size_t) picture.size);
            }
        };

        std::vector<std::thread> helpers;
        const auto numHelpers = juce::jlimit (0, 15, juce::SystemStats::getNumCpus() - 1);

        try
        {
            for (int i = 0; i < numHelpers; ++i)
                helpers.emplace_back (decodeUntilDone);
        }
        catch (const std::system_error&)
        {
            // A host short of threads: the helpers there are, and this thread, decode the rest.
        }

        decodeUntilDone();

        for (auto& helper : helpers)
            helper.join();

       #if defined (__GLIBC__)
        // Each helper leaves its decoding buffers in an allocation arena of its own;
        // hand them back, so that the pedal costs no more memory than on one core.
        malloc_trim (0);
       #endif

        for (size_t i = 0; i < missing.size(); ++i)
            juce::ImageCache::addImageToCache (decoded[i], imageCacheKeyOf (filmstrip[missing[i]]));
    }
}

//==============================================================================
KnobImage::KnobImage()
    : KnobImage (loadEmbeddedFrame)
{
}

KnobImage::KnobImage (FrameLoader loadFrame)
{
    if (loadFrame == loadEmbeddedFrame)
        decodeFilmstripIntoImageCache();

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
