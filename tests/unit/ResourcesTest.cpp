#include "BinaryData.h"

#include <gtest/gtest.h>
#include <juce_graphics/juce_graphics.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

// The pictures the editor draws, checked as the panel uses them: the formats
// the decoder must accept, a filmstrip that turns the right way, a body whose
// lamp is the only thing the footswitch changes, and surfaces under the
// panel's text that keep that text readable.

namespace
{
    constexpr int numKnobFrames = 301;
    constexpr int knobFrameSize = 253;
    constexpr int bodyWidth = 556;
    constexpr int bodyHeight = 955;
    constexpr int floorWidth = 581;
    constexpr int floorHeight = 777;

    // PNG colour type 6: red, green, blue and alpha
    constexpr int pngColourTypeRgba = 6;

    struct Resource
    {
        const char* data = nullptr;
        int size = 0;
    };

    Resource findResource (const juce::String& fileName)
    {
        Resource r;
        r.data = BinaryData::getNamedResource (fileName.replaceCharacter ('.', '_').toRawUTF8(), r.size);
        return r;
    }

    juce::Image decode (const juce::String& fileName)
    {
        auto r = findResource (fileName);
        return r.data == nullptr ? juce::Image() : juce::ImageCache::getFromMemory (r.data, r.size);
    }

    juce::String knobFrameName (int n)
    {
        return "BraskOverdrive_" + juce::String (n) + ".png";
    }

    //==========================================================================
    // The header as the file carries it: the decoder converts 16-bit pictures
    // to 8 bits, so depth and colour type can only be checked on the bytes.
    struct PngHeader
    {
        bool valid = false;
        int width = 0, height = 0, bitDepth = 0, colourType = 0, interlace = -1;
    };

    PngHeader readHeader (const Resource& r)
    {
        static const unsigned char signature[] = { 0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a };
        PngHeader h;

        if (r.data == nullptr || r.size < 33)
            return h;

        auto bytes = reinterpret_cast<const unsigned char*> (r.data);
        auto bigEndian = [bytes] (int at) {
            return (int) ((unsigned) bytes[at] << 24 | (unsigned) bytes[at + 1] << 16
                          | (unsigned) bytes[at + 2] << 8 | (unsigned) bytes[at + 3]);
        };

        h.valid = std::equal (std::begin (signature), std::end (signature), bytes)
                  && bigEndian (8) == 13
                  && std::memcmp (bytes + 12, "IHDR", 4) == 0;
        h.width = bigEndian (16);
        h.height = bigEndian (20);
        h.bitDepth = bytes[24];
        h.colourType = bytes[25];
        h.interlace = bytes[28];
        return h;
    }

    //==========================================================================
    double linearChannel (juce::uint8 v)
    {
        auto c = v / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow ((c + 0.055) / 1.055, 2.4);
    }

    double relativeLuminance (juce::Colour c)
    {
        return 0.2126 * linearChannel (c.getRed()) + 0.7152 * linearChannel (c.getGreen())
               + 0.0722 * linearChannel (c.getBlue());
    }

    double contrastRatio (double lighter, double darker)
    {
        return (lighter + 0.05) / (darker + 0.05);
    }

    bool isTransparent (const juce::Image& image, int x, int y)
    {
        return image.getPixelAt (x, y).getAlpha() == 0;
    }

    bool isOpaque (const juce::Image& image, int x, int y)
    {
        return image.getPixelAt (x, y).getAlpha() == 255;
    }

    bool borderIsTransparent (const juce::Image& image)
    {
        auto w = image.getWidth(), h = image.getHeight();

        for (int x = 0; x < w; ++x)
            if (! isTransparent (image, x, 0) || ! isTransparent (image, x, h - 1))
                return false;

        for (int y = 0; y < h; ++y)
            if (! isTransparent (image, 0, y) || ! isTransparent (image, w - 1, y))
                return false;

        return true;
    }
}

//==============================================================================
TEST (Resources, EveryCataloguedPictureIsEmbeddedInItsStatedFormat)
{
    struct Entry
    {
        juce::String file;
        int width, height, bitDepth;
    };

    std::vector<Entry> catalogue;

    for (int n = 0; n < numKnobFrames; ++n)
        catalogue.push_back ({ knobFrameName (n), knobFrameSize, knobFrameSize, 8 });

    catalogue.push_back ({ "BraskOverdriveOnRed.png", bodyWidth, bodyHeight, 8 });
    catalogue.push_back ({ "BraskOverdriveOff.png", bodyWidth, bodyHeight, 8 });
    catalogue.push_back ({ "Floor.png", floorWidth, floorHeight, 16 });

    // nothing beyond the catalogue rides along in the module
    EXPECT_EQ (BinaryData::namedResourceListSize, (int) catalogue.size());

    for (const auto& entry : catalogue)
    {
        SCOPED_TRACE (entry.file);
        auto resource = findResource (entry.file);
        ASSERT_NE (resource.data, nullptr);

        auto header = readHeader (resource);
        EXPECT_TRUE (header.valid);
        EXPECT_EQ (header.width, entry.width);
        EXPECT_EQ (header.height, entry.height);
        EXPECT_EQ (header.bitDepth, entry.bitDepth);
        EXPECT_EQ (header.colourType, pngColourTypeRgba);
        EXPECT_EQ (header.interlace, 0);

        auto image = juce::ImageCache::getFromMemory (resource.data, resource.size);
        ASSERT_TRUE (image.isValid());
        EXPECT_EQ (image.getWidth(), entry.width);
        EXPECT_EQ (image.getHeight(), entry.height);
        EXPECT_TRUE (image.hasAlphaChannel());
    }
}

//==============================================================================
class ResourcesKnobFrames : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        frames = new std::vector<juce::Image>();

        for (int n = 0; n < numKnobFrames; ++n)
            frames->push_back (decode (knobFrameName (n)));
    }

    static void TearDownTestSuite()
    {
        delete frames;
        frames = nullptr;
    }

    // Where the white pointer line crosses the knob's skirt, in degrees
    // clockwise from twelve o'clock (-180 .. 180): the brightest spot on a
    // band of rings around the centre. The black knob has no other mark that
    // bright there.
    static double pointerAngle (const juce::Image& frame)
    {
        const auto centre = knobFrameSize / 2.0;
        double brightest = -1.0, angle = 0.0;

        for (int radius = 74; radius <= 84; ++radius)
        {
            for (int step = 0; step < 720; ++step)
            {
                auto a = juce::degreesToRadians (step * 0.5);
                auto x = (int) (centre + radius * std::sin (a));
                auto y = (int) (centre - radius * std::cos (a));
                auto c = frame.getPixelAt (x, y);
                auto light = relativeLuminance (c) * c.getFloatAlpha();

                if (light > brightest)
                {
                    brightest = light;
                    angle = step * 0.5;
                }
            }
        }

        return angle > 180.0 ? angle - 360.0 : angle;
    }

    static std::vector<juce::Image>* frames;
};

std::vector<juce::Image>* ResourcesKnobFrames::frames = nullptr;

TEST_F (ResourcesKnobFrames, AreOpaqueKnobsWhoseShadowEndsInsideTheFrame)
{
    const auto centre = knobFrameSize / 2;

    for (int n = 0; n < numKnobFrames; ++n)
    {
        SCOPED_TRACE ("frame " + juce::String (n));
        const auto& frame = (*frames)[(size_t) n];
        ASSERT_TRUE (frame.isValid());

        EXPECT_TRUE (isOpaque (frame, centre, centre));
        EXPECT_TRUE (isOpaque (frame, centre + 60, centre - 20));
        // the frame is drawn over the body: its edge must not show a cut shadow
        EXPECT_TRUE (borderIsTransparent (frame));
        EXPECT_TRUE (isTransparent (frame, 12, 12));
        EXPECT_TRUE (isTransparent (frame, knobFrameSize - 13, knobFrameSize - 13));
    }
}

TEST_F (ResourcesKnobFrames, ConsecutiveFramesShowADifferentPosition)
{
    for (int n = 1; n < numKnobFrames; ++n)
    {
        SCOPED_TRACE ("frames " + juce::String (n - 1) + " and " + juce::String (n));
        const auto& before = (*frames)[(size_t) n - 1];
        const auto& after = (*frames)[(size_t) n];
        int changed = 0;

        for (int y = 0; y < knobFrameSize; ++y)
            for (int x = 0; x < knobFrameSize; ++x)
                if (before.getPixelAt (x, y) != after.getPixelAt (x, y))
                    ++changed;

        EXPECT_GT (changed, 50);
    }
}

TEST_F (ResourcesKnobFrames, PointerTurnsClockwiseFromSevenToFiveOClock)
{
    // 300 degrees of travel in 300 steps: frame n points n - 150 degrees from twelve o'clock
    constexpr double tolerance = 3.0;
    double previous = -1000.0;

    for (int n = 0; n < numKnobFrames; ++n)
    {
        SCOPED_TRACE ("frame " + juce::String (n));
        auto angle = pointerAngle ((*frames)[(size_t) n]);
        EXPECT_NEAR (angle, n - 150.0, tolerance);

        if (n % 10 == 0)
        {
            EXPECT_GT (angle, previous);
            previous = angle;
        }
    }
}

//==============================================================================
class ResourcesBody : public ::testing::Test
{
protected:
    void SetUp() override
    {
        lit = decode ("BraskOverdriveOnRed.png");
        dark = decode ("BraskOverdriveOff.png");
        ASSERT_TRUE (lit.isValid());
        ASSERT_TRUE (dark.isValid());
    }

    // The lamp's free area between the outer knobs, above the tone knob, in
    // body pixels; the red glow must not spill past it.
    const juce::Rectangle<int> lampArea { 180, 0, 190, 90 };

    juce::Image lit, dark;
};

TEST_F (ResourcesBody, PedalStandsOnTransparentSurroundings)
{
    // Everything the panel lays over the body must land on the pedal, and the
    // picture's edge must be clear so the floor shows around it.
    const juce::Rectangle<int> onThePedal[] = {
        { 104, 85, 20, 20 },   // drive knob centre
        { 261, 138, 20, 20 },  // tone knob centre
        { 426, 85, 20, 20 },   // level knob centre
        { 32, 196, 170, 43 },  // read-outs
        { 186, 243, 171, 44 },
        { 352, 196, 170, 43 },
        { 38, 552, 481, 299 },  // footswitch
    };

    for (auto* picture : { &lit, &dark })
    {
        EXPECT_TRUE (borderIsTransparent (*picture));

        for (auto area : onThePedal)
            for (int y = area.getY(); y < area.getBottom(); y += 3)
                for (int x = area.getX(); x < area.getRight(); x += 3)
                    ASSERT_TRUE (isOpaque (*picture, x, y)) << "at " << x << ", " << y;
    }
}

TEST_F (ResourcesBody, LitAndDarkDifferOnlyAtTheLamp)
{
    int outsideDifferences = 0;
    int insideDifferences = 0;
    juce::Point<int> strongest;
    int strongestRedGain = 0;

    for (int y = 0; y < bodyHeight; ++y)
    {
        for (int x = 0; x < bodyWidth; ++x)
        {
            auto on = lit.getPixelAt (x, y);
            auto off = dark.getPixelAt (x, y);

            if (on == off)
                continue;

            if (! lampArea.contains (x, y))
            {
                ++outsideDifferences;
                continue;
            }

            ++insideDifferences;
            auto redGain = (int) on.getRed() - (int) off.getRed();

            if (redGain > strongestRedGain)
            {
                strongestRedGain = redGain;
                strongest = { x, y };
            }
        }
    }

    EXPECT_EQ (outsideDifferences, 0);
    EXPECT_GT (insideDifferences, 100);

    // where the two differ most the lit lamp glows red, the dark one does not
    auto on = lit.getPixelAt (strongest.x, strongest.y);
    auto off = dark.getPixelAt (strongest.x, strongest.y);
    EXPECT_GT (strongestRedGain, 120);
    EXPECT_GT (on.getRed(), on.getGreen() + 60);
    EXPECT_LT (relativeLuminance (off), relativeLuminance (on));
}

TEST_F (ResourcesBody, ReadOutsSitOnDarkFieldsForTheirWhiteText)
{
    // Read-out centres and heights in body pixels; the longest text, "11.0",
    // spans about 80 px at the read-out font, so 45 px either side is covered.
    struct Field
    {
        int centreX, top, bottom;
    };

    const Field fields[] = { { 116, 196, 238 }, { 271, 243, 286 }, { 436, 196, 238 } };
    const auto white = relativeLuminance (juce::Colours::white);

    for (const auto& f : fields)
    {
        SCOPED_TRACE ("read-out at x " + juce::String (f.centreX));
        double lightest = 0.0;

        for (auto* picture : { &lit, &dark })
            for (int y = f.top; y <= f.bottom; ++y)
                for (int x = f.centreX - 45; x <= f.centreX + 45; ++x)
                    lightest = std::max (lightest, relativeLuminance (picture->getPixelAt (x, y)));

        // seven to one: the strictest common rule for small text
        EXPECT_GE (contrastRatio (white, lightest), 7.0);
    }
}

//==============================================================================
TEST (Resources, FloorIsOpaqueAndLightEnoughForTheLink)
{
    auto floor = decode ("Floor.png");
    ASSERT_TRUE (floor.isValid());

    for (int y = 0; y < floor.getHeight(); ++y)
        for (int x = 0; x < floor.getWidth(); ++x)
            ASSERT_TRUE (isOpaque (floor, x, y)) << "at " << x << ", " << y;

    // The panel stretches the floor over its whole area and writes the link,
    // bold, across the middle half of its bottom twentieth.
    const auto linkColour = relativeLuminance (juce::Colour (0xff526d82));
    double sum = 0.0;
    int count = 0;

    for (int y = floorHeight * 95 / 100; y < floorHeight; ++y)
        for (int x = floorWidth / 4; x < floorWidth * 3 / 4; ++x, ++count)
            sum += relativeLuminance (floor.getPixelAt (x, y));

    // three to one: the common rule for large or bold text
    EXPECT_GE (contrastRatio (sum / count, linkColour), 3.0);
}
