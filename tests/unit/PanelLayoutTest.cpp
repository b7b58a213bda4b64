#include "gui/AppGUI.h"
#include "SeeThroughPixels.h"

#include <gtest/gtest.h>
#include "PanelChildren.h"

// Where the pedal panel puts each control, so that the controls stay over
// their spots on the artwork, and what its read-outs say for a knob value.

namespace
{
    using namespace brask::test;
    using Child = PanelChild;

    struct ExpectedLayout
    {
        int width, height;
        juce::Rectangle<int> bounds[numChildren];
    };

    void expectLayout (const ExpectedLayout& expected)
    {
        SCOPED_TRACE (juce::String (expected.width) + " x " + juce::String (expected.height));

        BraskOverdriveAudioProcessor processor;
        AppGUI panel (processor);
        panel.setSize (expected.width, expected.height);

        ASSERT_EQ (panel.getNumChildComponents(), (int) numChildren);

        for (int i = 0; i < numChildren; ++i)
            EXPECT_EQ (panel.getChildComponent (i)->getBounds(), expected.bounds[i]) << "child " << i;
    }
}

//==============================================================================
TEST (PanelLayout, ChildrenTakeTheBoundsOfTheWorkedExamples)
{
    expectLayout ({ 245, 385, {
                                  { 0, 0, 245, 385 },     // floor
                                  { 0, 0, 245, 385 },     // body
                                  { 39, 34, 46, 46 },     // knob 1, drive
                                  { 33, 94, 61, 15 },     // read-out 1
                                  { 96, 53, 46, 46 },     // knob 2, tone
                                  { 89, 111, 61, 15 },    // read-out 2
                                  { 156, 34, 46, 46 },    // knob 3, level
                                  { 149, 94, 61, 15 },    // read-out 3
                                  { 35, 223, 173, 107 },  // footswitch
                                  { 61, 365, 122, 19 },   // link
                              } });

    expectLayout ({ 430, 676, {
                                  { 0, 0, 430, 676 },
                                  { 0, 0, 430, 676 },
                                  { 70, 60, 81, 81 },
                                  { 58, 165, 107, 26 },
                                  { 169, 94, 81, 81 },
                                  { 156, 196, 107, 26 },
                                  { 275, 60, 81, 81 },
                                  { 262, 165, 107, 26 },
                                  { 62, 392, 305, 189 },
                                  { 107, 642, 215, 33 },
                              } });
}

TEST (PanelLayout, ReadOutFontsScaleWithThePanel)
{
    BraskOverdriveAudioProcessor processor;
    AppGUI panel (processor);

    for (auto size : { juce::Point<int> (245, 385), juce::Point<int> (430, 676) })
    {
        panel.setSize (size.x, size.y);

        for (auto index : { readOut1, readOut2, readOut3 })
        {
            auto* label = dynamic_cast<juce::Label*> (panel.getChildComponent (index));
            ASSERT_NE (label, nullptr);
            EXPECT_FLOAT_EQ (label->getFont().getHeight(), (float) (size.y * 0.03));
            EXPECT_FALSE (label->getFont().isBold());
        }
    }
}

TEST (PanelLayout, FloorAndBodyCoverThePanelAtEverySize)
{
    BraskOverdriveAudioProcessor processor;
    AppGUI panel (processor);

    for (auto size : { juce::Point<int> (200, 314), juce::Point<int> (245, 385), juce::Point<int> (517, 813),
                       juce::Point<int> (893, 1404), juce::Point<int> (300, 300) })
    {
        SCOPED_TRACE (size.toString().toStdString());
        panel.setSize (size.x, size.y);

        EXPECT_EQ (panel.getChildComponent (floorChild)->getBounds(), panel.getLocalBounds());
        EXPECT_EQ (panel.getChildComponent (bodyChild)->getBounds(), panel.getLocalBounds());

        // The floor is opaque, so no pixel of the panel is left see-through.
        EXPECT_EQ (countSeeThroughPixels (panel), 0);
    }
}

//==============================================================================
TEST (PanelReadOut, ShowsTheKnobOnAScaleOfElevenCutToOneDecimal)
{
    struct Case
    {
        double value;
        const char* text;
    };

    const Case cases[] = {
        { 0.0, "0.0" },
        { 0.5, "5.5" },
        { 0.123, "1.3" },   // 1.353: cut, not rounded up
        { 0.999, "10.9" },  // 10.989
        { 1.0, "11.0" },
        { 0.2, "2.2" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (AppGUI::readOutText (c.value), juce::String (c.text)) << "value " << c.value;
}
